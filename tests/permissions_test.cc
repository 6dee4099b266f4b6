// The permission check against private PulseAudio and PipeWire servers, and against servers that
// are absent or never answer.
#include "platform/permissions.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <future>

#include "support/sound_server.h"

namespace {

using namespace std::chrono_literals;
using testsupport::SoundServer;
using testsupport::SoundServerKind;

struct Answers {
  bool preflight;
  bool request;
};

// Both answers, or none when either call hangs.
std::optional<Answers> askBoth() {
  auto answers = std::async(std::launch::async, [] {
    return Answers{platform::CGPreflightScreenCaptureAccess(), platform::CGRequestScreenCaptureAccess()};
  });
  if (answers.wait_for(30s) != std::future_status::ready) return std::nullopt;
  return answers.get();
}

class PermissionTest : public testing::TestWithParam<SoundServerKind> {
 protected:
  SoundServer server_;
};

TEST_P(PermissionTest, GrantedWhenAnOutputCanBeRecorded) {
  ASSERT_TRUE(server_.start(GetParam(), 1));
  server_.setProcessEnvironment();
  auto answers = askBoth();
  ASSERT_TRUE(answers);
  EXPECT_TRUE(answers->preflight);
  EXPECT_TRUE(answers->request);
}

TEST_P(PermissionTest, DeniedWithoutOutputs) {
  ASSERT_TRUE(server_.start(GetParam(), 0));
  server_.setProcessEnvironment();
  auto answers = askBoth();
  ASSERT_TRUE(answers);
  EXPECT_FALSE(answers->preflight);
  EXPECT_FALSE(answers->request);
}

INSTANTIATE_TEST_SUITE_P(Servers, PermissionTest,
                         testing::Values(SoundServerKind::pulse, SoundServerKind::pipewire),
                         [](const auto& info) { return testsupport::toString(info.param); });

// A socket that accepts connections (the kernel's backlog does) and never says a word.
class SilentServer {
 public:
  SilentServer() {
    char pattern[] = "/tmp/sar-silent-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    path_ = dir_ + "/native";
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 16) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~SilentServer() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  bool listening() const { return fd_ >= 0; }
  std::string pulseServer() const { return "unix:" + path_; }

 private:
  std::string dir_;
  std::string path_;
  int fd_ = -1;
};

TEST(PermissionWithoutServer, DeniedWhenNothingListensOrTheServerHangs) {
  SilentServer silent;
  ASSERT_TRUE(silent.listening());
  const struct {
    const char* name;
    std::string server;
  } cases[] = {{"nothing listens", testsupport::unreachablePulseServer()},
               {"never answers", silent.pulseServer()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::setPulseServerEnvironment(c.server);
    auto answers = askBoth();
    ASSERT_TRUE(answers) << "the check did not return";
    EXPECT_FALSE(answers->preflight);
    EXPECT_FALSE(answers->request);
  }
}

}  // namespace
