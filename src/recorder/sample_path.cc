// The sample path: each delivered buffer marks the stream as working and is written to the file.
#include "media/conversions.h"
#include "recorder/recorder_cli.h"
#include "response/response_handler.h"

using namespace platform;

void RecorderCLI::stream(SCStream& /*stream*/, const CMSampleBufferRef& sampleBuffer,
                         SCStreamOutputType /*type*/) {
  setStreamFunctionCalled(true);

  AVAudioPCMBufferRef pcmBuffer = sampleBuffer ? media::asPCMBuffer(*sampleBuffer) : nullptr;
  if (!pcmBuffer || !sampleBuffer->isValid()) {
    ResponseHandler::printLine("Invalid sample buffer");
    return;
  }
  // Audio captured while paused (before the stream existed, or still in flight when it stopped)
  // is what the controlling program asked not to record; what was captured before the pause
  // and arrives after it is the end of what it asked for.
  if (isPaused()) {
    const CMTime captured = sampleBuffer->presentationTimeStamp();
    if (!captured.isValid() || !(captured.seconds() < pausedAt_)) return;
  }

  Error error;
  {
    std::lock_guard lock(fileMutex_);
    AVAudioFileRef file = audioFileForRecording_;
    if (!file || file->writeFromBuffer(*pcmBuffer, &error)) return;
  }
  ResponseHandler::printLine("Error writing audio buffer: " + error.description());
  terminateRecording();  // keeps what was written playable
  ResponseHandler::returnResponse({{"code", "AUDIO_BUFFER_WRITE_FAILED"}});
}
