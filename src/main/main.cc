// The process entry: one recorder for the whole process.
#include <csignal>
#include <string>
#include <vector>

#include "platform/library_log.h"
#include "platform/signals.h"
#include "recorder/recorder_cli.h"
#include "response/response_handler.h"

namespace {
std::shared_ptr<RecorderCLI> app;
}

int main(int argc, char** argv) {
  // A file-size limit shows as a failed write of the recording, never as a kill (libpulse's
  // shared memory meets it first, at start).
  std::signal(SIGXFSZ, SIG_IGN);
  // A write to a controlling program that has gone fails with EPIPE instead of killing the
  // process mid-recording; the recording is then stopped and its file finished.
  std::signal(SIGPIPE, SIG_IGN);
  platform::keepLibraryLogsOffStandardError();
  // First, before any thread starts, so that pause, resume and stop keep their order.
  platform::receiveSignalsOnOneThread({SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2});
  app = RecorderCLI::init(std::vector<std::string>(argv, argv + argc));
  app->executeRecordingProcess();
  // The stream failed and the recording was torn down: end with status 0, flushing the output
  // but without static destructors, since the capture service's threads still run.
  ResponseHandler::exitProcess();
}
