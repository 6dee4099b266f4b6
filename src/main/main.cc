// The process entry: one recorder for the whole process.
#include <csignal>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/library_log.h"
#include "recorder/recorder_cli.h"
#include "response/response_handler.h"

namespace {
std::shared_ptr<RecorderCLI> app;
}

int main(int argc, char** argv) {
  // A file-size limit shows as a failed write of the recording, never as a kill (libpulse's
  // shared memory meets it first, at start).
  std::signal(SIGXFSZ, SIG_IGN);
  platform::keepLibraryLogsOffStandardError();

  // First, before any thread starts, so that pause, resume and stop keep their order.
  platform::receiveSignalsOnOneThread({SIGINT, SIGUSR1, SIGUSR2});
  app = RecorderCLI::init(std::vector<std::string>(argv, argv + argc));
  app->executeRecordingProcess();
  // The stream failed and the recording was torn down: end with status 0, flushing the output
  // but without static destructors, since the capture service's threads still run.
  ResponseHandler::exitProcess();
}
