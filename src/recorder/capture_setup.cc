// Capture setup: the content query, the content filter, the stream's start and the output file.
#include "recorder/recorder_cli.h"
#include "response/response_handler.h"

using namespace platform;

void RecorderCLI::updateAvailableContent() {
  std::weak_ptr<RecorderCLI> weakRecorder = weak_from_this();
  captureService_.getShareableContent(
      true, true, [weakRecorder](SCShareableContentRef content, std::optional<Error> /*error*/) {
        auto recorder = weakRecorder.lock();
        if (!recorder) return;
        recorder->setContentEligibleForSharing(std::move(content));
        recorder->setupRecordingEnvironment();
      });
}

void RecorderCLI::setupRecordingEnvironment() {
  SCShareableContentRef content = contentEligibleForSharing();
  if (!content || content->displays().empty()) {
    ResponseHandler::returnResponse({{"code", "NO_DISPLAY_FOUND"}});
    return;
  }
  SCContentFilter filter(content->displays().front(), {}, {});
  detachTask(initiateRecording(std::move(filter)));
}

Task<> RecorderCLI::initiateRecording(SCContentFilter filter) {
  auto self = shared_from_this();  // the task keeps the recorder until it ends
  SCStreamConfiguration configuration;
  configureStream(configuration);
  setScreenCaptureStream(captureService_.makeStream(filter, configuration, weak_from_this()));

  std::optional<Error> failure = addAudioOutput();
  SCStreamRef stream = failure ? nullptr : screenCaptureStream();
  if (stream) {
    // No temporaries in the co_await expression: g++ 12 may destroy them twice.
    Task<std::optional<Error>> started = startCapture(stream);
    failure = co_await std::move(started);
  }
  if (failure) ResponseHandler::returnResponse({{"code", "CAPTURE_FAILED"}});
}

std::optional<Error> RecorderCLI::addAudioOutput() {
  SCStreamRef stream = screenCaptureStream();
  if (!stream) return std::nullopt;
  Error error;
  if (stream->addStreamOutput(weak_from_this(), SCStreamOutputType::audio, &DispatchQueue::global(),
                              &error)) {
    return std::nullopt;
  }
  return error;
}

Task<std::optional<Error>> RecorderCLI::startCapture(SCStreamRef stream) {
  std::function<void(Completion)> start = [stream](Completion completion) {
    stream->startCapture(completion);
  };
  Task<std::optional<Error>> completed = awaitCompletion(std::move(start));
  co_return co_await std::move(completed);
}

void RecorderCLI::configureStream(SCStreamConfiguration& configuration) {
  configuration.setWidth(2);
  configuration.setHeight(2);
  configuration.setMinimumFrameInterval(CMTimeMake(1, 2147483647));
  configuration.setShowsCursor(false);
  configuration.setCapturesAudio(true);
  configuration.setSampleRate(48000);
  configuration.setChannelCount(2);
}

std::optional<Error> RecorderCLI::prepareAudioFile(const std::string& path) {
  const AVAudioSettings settings = {
      {AVSampleRateKey, 48000},
      {AVNumberOfChannelsKey, 2},
      {AVFormatIDKey, kAudioFormatMPEG4AAC},
      {AVEncoderBitRateKey, 128000},
  };
  Error error;
  AVAudioFileRef file = AVAudioFile::initForWriting(std::filesystem::path(path), settings,
                                                    AVAudioPCMFormatFloat32, false, &error);
  if (!file) {
    ResponseHandler::printLine("Error creating audio file: " + error.description());
    return error;
  }
  setAudioFileForRecording(std::move(file));
  return std::nullopt;
}
