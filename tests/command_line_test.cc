#include <gtest/gtest.h>

#include "fakes/fake_capture.h"
#include "recorder/recorder_cli.h"
#include "support/child_process.h"

using testing_support::ChildResult;
using testing_support::kBodyReturned;
using testing_support::runInChild;
using testing_support::runProgram;

namespace {

// Parses arguments in a child; a recording run prints what was stored instead of recording.
ChildResult parse(std::vector<std::string> arguments) {
  return runInChild([arguments] {
    fakes::FakeCaptureService service;
    auto recorder = RecorderCLI::init(arguments, service);
    std::printf("path=%s filename=%s\n", recorder->recordingPath().value_or("<none>").c_str(),
                recorder->recordingFilename().value_or("<none>").c_str());
  });
}

}  // namespace

TEST(CommandLine, StoresDirectoryAndFileName) {
  struct Case {
    std::vector<std::string> arguments;
    std::string stored;
  };
  const Case cases[] = {
      {{"prog", "--record", "DIR"}, "path=DIR filename=<none>"},
      {{"prog", "--record", "DIR", "--filename", "NAME"}, "path=DIR filename=NAME"},
      {{"prog", "--filename", "NAME", "--record", "DIR"}, "path=DIR filename=NAME"},
      {{"prog", "--record", "--filename", "NAME"}, "path=--filename filename=NAME"},
      {{"prog", "--record", ""}, "path= filename=<none>"},
      {{"prog", "--record", "A", "--record", "B"}, "path=A filename=<none>"},
      {{"prog", "--record", "DIR", "--check-permissions"}, "path=DIR filename=<none>"},
      {{"prog", "--record", "DIR", "--filename"}, "path=DIR filename=<none>"},
      {{"prog", "--record", "DIR", "--filname", "x", "-r"}, "path=DIR filename=<none>"},
      {{"--record", "DIR"}, "path=DIR filename=<none>"},  // element 0 is searched too
  };
  for (const Case& c : cases) {
    ChildResult result = parse(c.arguments);
    EXPECT_EQ(result.exitStatus, kBodyReturned) << c.stored;
    EXPECT_EQ(result.out, c.stored + "\n");
  }
}

TEST(CommandLine, ErrorsEndTheProcessWithOneLine) {
  struct Case {
    std::vector<std::string> arguments;
    std::string line;
  };
  const Case cases[] = {
      {{"prog"}, R"({"code":"INVALID_ARGUMENTS"})"},
      {{}, R"({"code":"INVALID_ARGUMENTS"})"},
      {{"prog", "--filename", "NAME"}, R"({"code":"INVALID_ARGUMENTS"})"},
      {{"prog", "--Record", "DIR"}, R"({"code":"INVALID_ARGUMENTS"})"},
      {{"prog", "--record=DIR"}, R"({"code":"INVALID_ARGUMENTS"})"},
      {{"prog", "--record"}, R"({"code":"NO_PATH_SPECIFIED"})"},
      {{"prog", "DIR", "--filename", "N", "--record"}, R"({"code":"NO_PATH_SPECIFIED"})"},
  };
  for (const Case& c : cases) {
    ChildResult result = parse(c.arguments);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0) << c.line;
    EXPECT_EQ(result.out, c.line + "\n");
  }
}

// The real program, as a controlling program starts it.
TEST(CommandLine, ProgramAnswersOnStandardOutputOnly) {
  const std::map<std::string, std::string> nowhere = {{"PULSE_SERVER", "unix:/nonexistent/socket"}};
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
  };
  const Case cases[] = {
      {{SAR_PROGRAM}, "{\"code\":\"INVALID_ARGUMENTS\"}\n"},
      {{SAR_PROGRAM, "--record"}, "{\"code\":\"NO_PATH_SPECIFIED\"}\n"},
      {{SAR_PROGRAM, "--check-permissions"}, "{\"code\":\"PERMISSION_DENIED\"}\n"},
  };
  for (const Case& c : cases) {
    auto started = std::chrono::steady_clock::now();
    ChildResult result = runProgram(c.arguments, nowhere);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << c.out;
    EXPECT_TRUE(result.exited) << c.out;
    EXPECT_EQ(result.exitStatus, 0) << c.out;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
  }
}
