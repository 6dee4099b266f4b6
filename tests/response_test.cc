#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "response/response_handler.h"
#include "support/child_process.h"

using testing_support::ChildResult;
using testing_support::kBodyReturned;
using testing_support::runInChild;

TEST(ResponseLine, EscapesAndParsesBack) {
  struct Case {
    const char* label;
    std::string value;
    const char* mustContain;
  };
  const Case cases[] = {
      {"slashes", "/tmp/dir/a b.m4a", R"(\/tmp\/dir\/a b.m4a)"},
      {"line feed", "one\ntwo", R"(one\ntwo)"},
      {"quote and backslash", "say \"hi\" \\ bye", R"(say \"hi\" \\ bye)"},
      {"non-ASCII as UTF-8", "Café 会議 🎙", "Café 会議 🎙"},
  };
  for (const Case& c : cases) {
    std::string line = ResponseHandler::serializedLine({{"code", "X"}, {"path", c.value}});
    EXPECT_EQ(line.find('\n'), std::string::npos) << c.label;
    EXPECT_NE(line.find(c.mustContain), std::string::npos) << c.label << ": " << line;
    auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["path"], c.value) << c.label;
    EXPECT_EQ(parsed["code"], "X") << c.label;
  }
  EXPECT_EQ(ResponseHandler::serializedLine({{"code", "RECORDING_STOPPED"}}),
            R"({"code":"RECORDING_STOPPED"})");
}

TEST(ResponseLine, InvalidUtf8GivesTheFallbackText) {
  for (std::string bad : {std::string("\xff"), std::string("ab\xc3"), std::string("\xed\xa0\x80")}) {
    EXPECT_EQ(ResponseHandler::serializedLine({{"code", "X"}, {"path", bad}}),
              R"({"code": "JSON_SERIALIZATION_FAILED"})");
  }
}

TEST(ResponseChannel, ExitsOrReturnsAsAsked) {
  ChildResult exiting = runInChild([] {
    ResponseHandler::printLine("Recording paused.");
    ResponseHandler::returnResponse({{"code", "A"}});
    ResponseHandler::printLine("never");
  });
  EXPECT_TRUE(exiting.exited);
  EXPECT_EQ(exiting.exitStatus, 0);
  EXPECT_EQ(exiting.out, "Recording paused.\n{\"code\":\"A\"}\n");

  ChildResult returning = runInChild([] {
    ResponseHandler::returnResponse({{"code", "B"}}, false);
    ResponseHandler::returnResponse({{"code", "\xff"}}, false);
    ResponseHandler::printLine("after");
  });
  EXPECT_EQ(returning.exitStatus, kBodyReturned);
  EXPECT_EQ(returning.out, "{\"code\":\"B\"}\n{\"code\": \"JSON_SERIALIZATION_FAILED\"}\nafter\n");
  EXPECT_EQ(returning.err, "");
}

TEST(ResponseChannel, LinesFromManyThreadsComeOutWhole) {
  constexpr int kThreads = 8, kLines = 200;
  ChildResult result = runInChild([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        const std::string padding(300, 'x');
        for (int i = 0; i < kLines; ++i) {
          if (i % 2) {
            ResponseHandler::printLine("plain " + std::to_string(t) + " " + padding);
          } else {
            ResponseHandler::returnResponse({{"code", "T"}, {"thread", std::to_string(t)}, {"pad", padding}},
                                            false);
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
  });
  auto lines = result.lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const auto& line : lines) {
    if (line.rfind("plain ", 0) == 0) {
      EXPECT_EQ(line.size(), 6 + 1 + 1 + 300u) << line;
    } else {
      auto parsed = nlohmann::json::parse(line);
      EXPECT_EQ(parsed["pad"].get<std::string>().size(), 300u);
    }
  }
}
