// Recording control: the stream-start watchdog, the stop (signals, the controller gone), stream failure,
// teardown, pause and resume.
#include <csignal>

#include "media/date_formatting.h"
#include "platform/signals.h"
#include "recorder/recorder_cli.h"
#include "response/response_handler.h"

using namespace platform;

void RecorderCLI::setupStreamFunctionTimeout() {
  auto delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(streamFunctionTimeout()));
  std::weak_ptr<RecorderCLI> weakRecorder = weak_from_this();
  DispatchQueue::global().asyncAfter(delay, [weakRecorder] {
    if (auto recorder = weakRecorder.lock()) recorder->streamFunctionTimeoutFired();
  });
}

void RecorderCLI::streamFunctionTimeoutFired() {
  // Held until the response: a stop that comes meanwhile either ended the recording before (and
  // reports the end itself) or waits, and finds the process ended.
  std::unique_lock lifecycle(lifecycleMutex_);
  if (recordingEnded_) return;  // stopped meanwhile; whoever stopped it reports the end

  if (!streamFunctionCalled()) {
    teardown();
    ResponseHandler::returnResponse({{"code", "STREAM_FUNCTION_NOT_CALLED"}}, true);
    return;
  }

  const auto startInstant = std::chrono::system_clock::now();
  const std::string timestamp = media::toISO8601Timestamp(startInstant);
  const std::string baseName =
      recordingFilename() ? *recordingFilename() : media::toFormattedFileName(startInstant);
  const std::string path = recordingPath().value_or("") + "/" + baseName + ".m4a";

  if (std::optional<Error> creationError = prepareAudioFile(path)) {
    // Reporting a start here would announce a recording that can never be written.
    teardown();
    ResponseHandler::returnResponse({{"code", "AUDIO_FILE_CREATION_FAILED"},
                                     {"path", path},
                                     {"error", creationError->localizedDescription()}});
    return;
  }
  ResponseHandler::returnResponse({{"code", "RECORDING_STARTED"}, {"path", path}, {"timestamp", timestamp}},
                                  false);
}

std::optional<RecorderCLI::FinishFailure> RecorderCLI::terminateRecording(bool awaitCapturedAudio) {
  std::lock_guard lifecycle(lifecycleMutex_);
  return teardown(awaitCapturedAudio);
}

std::optional<RecorderCLI::FinishFailure> RecorderCLI::teardown(bool awaitCapturedAudio) {
  recordingEnded_ = true;

  if (SCStreamRef stream = screenCaptureStream()) {
    if (awaitCapturedAudio) {
      // The stream completes the stop once what it captured before it has been delivered. A
      // stream that never answers costs the stop this much.
      auto stopped = std::make_shared<DispatchSemaphore>(0);
      stream->stopCapture([stopped](const std::optional<Error>&) { stopped->signal(); });
      stopped->wait(std::chrono::milliseconds(500));
    } else {
      stream->stopCapture();
    }
  }
  setScreenCaptureStream(nullptr);

  AVAudioFileRef file;
  {
    std::lock_guard lock(fileMutex_);  // waits for a write in progress
    std::swap(file, audioFileForRecording_);
  }
  if (!file) return std::nullopt;
  Error error;
  if (!file->finish(&error)) return FinishFailure{file->url().string(), error};
  // The file is complete and plays, only not in its plain form; the reason is worth a line.
  if (std::optional<Error> conversion = file->conversionError()) {
    ResponseHandler::printLine("Error converting audio file: " + conversion->description());
  }
  return std::nullopt;
}

// The stop, the same for SIGINT, SIGTERM, SIGHUP and the controlling program gone: the file is
// finished first, then the line (which nobody receives once the reader has gone) ends the process.
void RecorderCLI::stopRecording() {
  // A stop does not cut short a restart under way, so that its line is written.
  if (std::shared_ptr<RecorderCLI> recorder = shared()) recorder->waitForRestarts();
  std::optional<FinishFailure> failure = terminateRecording(true);
  const std::string timestamp = media::toISO8601Timestamp(std::chrono::system_clock::now());
  if (failure) {
    ResponseHandler::returnResponse({{"code", "AUDIO_FILE_FINISH_FAILED"},
                                     {"path", failure->path},
                                     {"error", failure->error.localizedDescription()},
                                     {"timestamp", timestamp}});
  }
  ResponseHandler::returnResponse({{"code", "RECORDING_STOPPED"}, {"timestamp", timestamp}});
}

void RecorderCLI::setupInterruptSignalHandler() {
  auto stop = [](int) { stopRecording(); };
  handleSignal(SIGINT, stop);
  // A process manager's stop and a closed terminal; under nohup SIGHUP stays ignored.
  handleSignalUnlessIgnored(SIGTERM, stop);
  handleSignalUnlessIgnored(SIGHUP, stop);
  // Recording on for nobody would fill the disk.
  handleOutputReaderGone(stopRecording);
}

void RecorderCLI::stream(SCStream& /*stream*/, const Error& /*error*/) {
  ResponseHandler::returnResponse({{"code", "STREAM_ERROR"}}, false);
  if (std::optional<FinishFailure> failure = terminateRecording()) {
    ResponseHandler::printLine("Error finishing audio file: " + failure->error.description());
  }
  semaphoreRecordingStopped().signal();
}

void RecorderCLI::setupPauseResumeSignalHandler() {
  auto handler = [](int signo) {
    std::shared_ptr<RecorderCLI> recorder = shared();
    if (!recorder) return;
    if (signo == SIGUSR1) recorder->pauseRecording();
    if (signo == SIGUSR2) recorder->resumeRecording();
    recorder->waitForRestarts();
  };
  handleSignal(SIGUSR1, handler);
  handleSignal(SIGUSR2, handler);
}

void RecorderCLI::pauseRecording() {
  bool running = false;
  if (!isPaused_.compare_exchange_strong(running, true)) return;
  pausedAt_ = CMClockGetTime(CMClockGetHostTimeClock()).seconds();
  // A stream that has not delivered yet keeps running, or the start watchdog would take its
  // silence for a capture that never worked; what it captures from now on is dropped on arrival.
  SCStreamRef stream = streamFunctionCalled() ? screenCaptureStream() : nullptr;
  if (stream) stream->stopCapture();
  ResponseHandler::printLine("Recording paused.");
}

void RecorderCLI::resumeRecording() {
  bool paused = true;
  if (!isPaused_.compare_exchange_strong(paused, false)) return;
  {
    std::lock_guard lock(restartMutex_);
    ++restartsUnderWay_;
  }
  detachTask(restartCapture(shared_from_this()));
}

void RecorderCLI::waitForRestarts() {
  std::unique_lock lock(restartMutex_);
  // Bounded: a server that never answers must not hold back a stop.
  restartFinished_.wait_for(lock, std::chrono::seconds(2), [this] { return restartsUnderWay_ == 0; });
}

Task<> RecorderCLI::restartCapture(std::shared_ptr<RecorderCLI> recorder) {
  // Counts the restart as finished however the task ends.
  struct Finished {
    RecorderCLI& recorder;
    ~Finished() {
      std::lock_guard lock(recorder.restartMutex_);
      --recorder.restartsUnderWay_;
      recorder.restartFinished_.notify_all();
    }
  };
  Finished finished{*recorder};
  SCStreamRef stream = screenCaptureStream();
  if (stream) {
    Task<std::optional<Error>> started = startCapture(stream);
    std::optional<Error> error = co_await std::move(started);
    if (error) {
      ResponseHandler::printLine("Error resuming recording: " + error->description());
      terminateRecording();  // the recording so far stays a finished, playable file
      ResponseHandler::returnResponse({{"code", "RESUME_ERROR"}, {"error", error->localizedDescription()}});
      co_return;
    }
  }
  ResponseHandler::printLine("Recording resumed.");
}
