#include "app/launcher.h"

#include <string>
#include <vector>

#include "log/log.h"
#include "testing/test_support.h"

namespace {

class LauncherTest : public LogFixture {
 protected:
  int run(std::vector<std::string> words) {
    testing::internal::CaptureStderr();
    int result = callWithArgs(runLauncher, words);
    stderr_ = testing::internal::GetCapturedStderr();
    return result;
  }
  std::string stderr_;
};

TEST_F(LauncherTest, TooFewArgumentsAreRefusedBeforeTheSubcommandIsLookedAt) {
  struct Case {
    std::vector<std::string> words;
    int count;
  } cases[] = {{{"launcher.exe"}, 0}, {{"launcher.exe", "stop"}, 1}};
  for (const Case& c : cases) {
    resetLogForTesting();
    std::remove(logFile().c_str());
    EXPECT_EQ(run(c.words), -1);
    std::string message = "Expected command line args of [subcommand], but got " + std::to_string(c.count) +
                          " arguments.\n";
    EXPECT_EQ(stderr_, message);
    std::string trace = "main called.\n";
    for (size_t i = 0; i < c.words.size(); i++)
      trace += "  argv[" + std::to_string(i) + "] = '" + c.words[i] + "'\n";
    EXPECT_EQ(logText(), trace + "ERROR:  " + message + "\n") << "no closing line on this path";
  }
}

TEST_F(LauncherTest, SubcommandsMatchExactly) {
  const char* unknown[] = {"Start", "START", " stop", "stop ", "laun", "runs", ""};
  for (const char* name : unknown) {
    resetLogForTesting();
    std::remove(logFile().c_str());
    EXPECT_EQ(run({"launcher.exe", name, "x", "extra"}), -1) << name;
    std::string message = std::string("Unknown subcommand: [") + name + "]\n";
    EXPECT_EQ(stderr_, message);
    EXPECT_EQ(logText(), std::string("main called.\n  argv[0] = 'launcher.exe'\n  argv[1] = '") + name +
                             "'\n  argv[2] = 'x'\n  argv[3] = 'extra'\nERROR:  " + message +
                             "\nmain finished. Returning -1\n");
  }
}

}  // namespace
