// The recorder: the state of one recording run and every step of it.
//
// Contexts: start-up runs on the main thread, which then only waits. The content query's
// completion runs on a thread of the capture service; stream start and resume run as tasks on
// the global queue; samples arrive on the global queue; the watchdog and the signal work run on
// the global queue (signals one at a time, in order); the stream's failure on a service thread.
// Shared state is guarded as each member says.
//
// Blocking: work on the global queue may wait, but never without a deadline, and only for one of
// two things, so that the pool (four threads or more) always has threads for samples and the
// watchdog: a capture stream's first start, which connects to the sound server (its control
// strand waits up to 5 s for the connection and 5 s for the stream), and the signal work, which
// waits for a restart under way (up to 2 s) so that requests act one at a time and a stop never
// cuts a restart short. Waits for the server that have no stream to hold them (the content
// query) run on a thread of their own. Pauses and resumes do not wait for the server.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/av_audio.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/screen_capture.h"

class RecorderCLI : public platform::SCStreamOutput,
                    public platform::SCStreamDelegate,
                    public std::enable_shared_from_this<RecorderCLI> {
 public:
  // Builds the one recorder: defaults, the command line (which ends the process unless it asks
  // for a recording), RecorderCLI.shared, then the pause/resume signals.
  static std::shared_ptr<RecorderCLI> init(
      std::vector<std::string> arguments,
      platform::ScreenCaptureService& captureService = platform::ScreenCaptureService::system());
  ~RecorderCLI() override = default;

  // Fields. The content is used on the query's completion thread only; the path, the name and
  // the timeout are written before any other context exists.
  virtual platform::SCShareableContentRef contentEligibleForSharing() const;
  virtual void setContentEligibleForSharing(platform::SCShareableContentRef content);
  virtual platform::DispatchSemaphore& semaphoreRecordingStopped();
  virtual std::optional<std::string> recordingPath() const;
  virtual void setRecordingPath(std::optional<std::string> path);
  virtual std::optional<std::string> recordingFilename() const;
  virtual void setRecordingFilename(std::optional<std::string> filename);
  virtual bool streamFunctionCalled() const;
  virtual void setStreamFunctionCalled(bool called);
  virtual double streamFunctionTimeout() const;
  virtual void setStreamFunctionTimeout(double seconds);
  virtual bool isPaused() const;
  virtual void setIsPaused(bool paused);

  // Steps of a run.
  virtual void processCommandLineArguments();
  virtual void executeRecordingProcess();
  virtual void setupInterruptSignalHandler();
  virtual void setupPauseResumeSignalHandler();
  virtual void setupStreamFunctionTimeout();
  virtual void updateAvailableContent();
  virtual void setupRecordingEnvironment();
  // Creates the output file; the creation error when it could not be made.
  virtual std::optional<platform::Error> prepareAudioFile(const std::string& path);
  virtual platform::Task<> initiateRecording(platform::SCContentFilter filter);
  virtual void configureStream(platform::SCStreamConfiguration& configuration);
  virtual void pauseRecording();
  virtual void resumeRecording();
  // A delivered sample buffer.
  void stream(platform::SCStream& stream, const platform::CMSampleBufferRef& sampleBuffer,
              platform::SCStreamOutputType type) override;
  // The service stopped the stream with an error.
  void stream(platform::SCStream& stream, const platform::Error& error) override;

  // A file whose audio did not all reach the disk when it was finished.
  struct FinishFailure {
    std::string path;
    platform::Error error;
  };
  // Stops and releases the stream, then releases and finishes the output file; waits for a
  // write in progress, and for a teardown under way on another thread. Safe at any time and
  // more than once. With awaitCapturedAudio, the audio captured before the call that is still on
  // its way is written first (bounded); not on the stream's output queue, which delivers it.
  static std::optional<FinishFailure> terminateRecording(bool awaitCapturedAudio = false);

  // Class members, each read and written under its own lock; readers keep their own reference.
  static platform::SCStreamRef screenCaptureStream();
  static void setScreenCaptureStream(platform::SCStreamRef stream);
  static platform::AVAudioFileRef audioFileForRecording();
  static void setAudioFileForRecording(platform::AVAudioFileRef file);
  static std::shared_ptr<RecorderCLI> shared();
  static void setShared(std::shared_ptr<RecorderCLI> recorder);

 protected:
  RecorderCLI(std::vector<std::string> arguments, platform::ScreenCaptureService& captureService);

 private:
  void streamFunctionTimeoutFired();
  // terminateRecording's work. REQUIRES: lifecycleMutex_ held.
  static std::optional<FinishFailure> teardown(bool awaitCapturedAudio = false);
  std::optional<platform::Error> addAudioOutput();
  // Starts (or restarts) capture and waits for the service's answer.
  static platform::Task<std::optional<platform::Error>> startCapture(platform::SCStreamRef stream);
  static platform::Task<> restartCapture(std::shared_ptr<RecorderCLI> recorder);
  // Waits until no restart is under way, so that pause and resume requests are handled one at a
  // time and a stop never cuts a restart short.
  void waitForRestarts();
  // The stop, the same for SIGINT, SIGTERM, SIGHUP and the controlling program gone.
  static void stopRecording();

  platform::SCShareableContentRef contentEligibleForSharing_;
  platform::DispatchSemaphore semaphoreRecordingStopped_;
  std::optional<std::string> recordingPath_;
  std::optional<std::string> recordingFilename_;
  std::atomic<bool> streamFunctionCalled_;
  double streamFunctionTimeout_;
  std::atomic<bool> isPaused_;
  // When the last accepted pause came, in host clock seconds: audio captured before it is still
  // recorded when it arrives after the pause.
  std::atomic<double> pausedAt_{0};
  std::mutex restartMutex_;
  std::condition_variable restartFinished_;
  int restartsUnderWay_ = 0;  // guarded by restartMutex_

  const std::vector<std::string> arguments_;
  platform::ScreenCaptureService& captureService_;

  static std::mutex streamMutex_;
  static platform::SCStreamRef screenCaptureStream_;  // guarded by streamMutex_
  // Held for a whole write and by whoever replaces the file, so that a file is never released
  // during a write and writes never overlap.
  static std::mutex fileMutex_;
  static platform::AVAudioFileRef audioFileForRecording_;  // guarded by fileMutex_
  static std::mutex sharedMutex_;
  static std::shared_ptr<RecorderCLI> shared_;  // guarded by sharedMutex_
  // Orders the teardown against the watchdog's file creation: once the recording has been torn
  // down, no file is created any more.
  static std::mutex lifecycleMutex_;
  static bool recordingEnded_;  // guarded by lifecycleMutex_
};
