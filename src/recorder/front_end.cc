// The recorder's state and start-up, and the command line.
#include <algorithm>

#include "permissions/permissions_requester.h"
#include "recorder/recorder_cli.h"
#include "response/response_handler.h"

using namespace platform;

std::mutex RecorderCLI::streamMutex_;
SCStreamRef RecorderCLI::screenCaptureStream_;
std::mutex RecorderCLI::fileMutex_;
AVAudioFileRef RecorderCLI::audioFileForRecording_;
std::mutex RecorderCLI::sharedMutex_;
std::shared_ptr<RecorderCLI> RecorderCLI::shared_;
std::mutex RecorderCLI::lifecycleMutex_;
bool RecorderCLI::recordingEnded_ = false;

RecorderCLI::RecorderCLI(std::vector<std::string> arguments, ScreenCaptureService& captureService)
    : contentEligibleForSharing_(nullptr),
      semaphoreRecordingStopped_(0),
      recordingPath_(std::nullopt),
      recordingFilename_(std::nullopt),
      streamFunctionCalled_(false),
      streamFunctionTimeout_(0.5),
      isPaused_(false),
      arguments_(std::move(arguments)),
      captureService_(captureService) {}

std::shared_ptr<RecorderCLI> RecorderCLI::init(std::vector<std::string> arguments,
                                               ScreenCaptureService& captureService) {
  std::shared_ptr<RecorderCLI> recorder(new RecorderCLI(std::move(arguments), captureService));
  recorder->processCommandLineArguments();
  setShared(recorder);
  recorder->setupPauseResumeSignalHandler();
  return recorder;
}

SCShareableContentRef RecorderCLI::contentEligibleForSharing() const { return contentEligibleForSharing_; }
void RecorderCLI::setContentEligibleForSharing(SCShareableContentRef content) {
  contentEligibleForSharing_ = std::move(content);
}
DispatchSemaphore& RecorderCLI::semaphoreRecordingStopped() { return semaphoreRecordingStopped_; }
std::optional<std::string> RecorderCLI::recordingPath() const { return recordingPath_; }
void RecorderCLI::setRecordingPath(std::optional<std::string> path) { recordingPath_ = std::move(path); }
std::optional<std::string> RecorderCLI::recordingFilename() const { return recordingFilename_; }
void RecorderCLI::setRecordingFilename(std::optional<std::string> filename) {
  recordingFilename_ = std::move(filename);
}
bool RecorderCLI::streamFunctionCalled() const { return streamFunctionCalled_.load(); }
void RecorderCLI::setStreamFunctionCalled(bool called) { streamFunctionCalled_.store(called); }
double RecorderCLI::streamFunctionTimeout() const { return streamFunctionTimeout_; }
void RecorderCLI::setStreamFunctionTimeout(double seconds) { streamFunctionTimeout_ = seconds; }
bool RecorderCLI::isPaused() const { return isPaused_.load(); }
void RecorderCLI::setIsPaused(bool paused) { isPaused_.store(paused); }

SCStreamRef RecorderCLI::screenCaptureStream() {
  std::lock_guard lock(streamMutex_);
  return screenCaptureStream_;
}

void RecorderCLI::setScreenCaptureStream(SCStreamRef stream) {
  std::unique_lock lock(streamMutex_);
  std::swap(screenCaptureStream_, stream);
  lock.unlock();  // the earlier stream is released outside the lock
}

AVAudioFileRef RecorderCLI::audioFileForRecording() {
  std::lock_guard lock(fileMutex_);
  return audioFileForRecording_;
}

void RecorderCLI::setAudioFileForRecording(AVAudioFileRef file) {
  std::unique_lock lock(fileMutex_);
  std::swap(audioFileForRecording_, file);
  lock.unlock();  // finishing the earlier file does not hold up deliveries
}

std::shared_ptr<RecorderCLI> RecorderCLI::shared() {
  std::lock_guard lock(sharedMutex_);
  return shared_;
}

void RecorderCLI::setShared(std::shared_ptr<RecorderCLI> recorder) {
  std::lock_guard lock(sharedMutex_);
  shared_ = std::move(recorder);
}

void RecorderCLI::processCommandLineArguments() {
  const std::vector<std::string>& arguments = arguments_;
  auto position = [&](const char* option) { return std::find(arguments.begin(), arguments.end(), option); };

  if (auto record = position("--record"); record != arguments.end()) {
    if (record + 1 == arguments.end()) {
      ResponseHandler::returnResponse({{"code", "NO_PATH_SPECIFIED"}});
    }
    setRecordingPath(*(record + 1));
    if (auto filename = position("--filename");
        filename != arguments.end() && filename + 1 != arguments.end()) {
      setRecordingFilename(*(filename + 1));
    }
    return;
  }
  if (position("--check-permissions") != arguments.end()) {
    PermissionsRequester::requestScreenCaptureAccess([](bool granted) {
      ResponseHandler::returnResponse({{"code", granted ? "PERMISSION_GRANTED" : "PERMISSION_DENIED"}});
    });
    return;
  }
  ResponseHandler::returnResponse({{"code", "INVALID_ARGUMENTS"}});
}

void RecorderCLI::executeRecordingProcess() {
  updateAvailableContent();
  setupInterruptSignalHandler();
  setupStreamFunctionTimeout();
  semaphoreRecordingStopped().wait();
}
