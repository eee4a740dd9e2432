#include "child/launch.h"

#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

class LaunchRunTest : public LogFixture {
 protected:
  int call(int (*handler)(int, char**), std::vector<std::string> words) {
    words.insert(words.begin(), {"launcher.exe", "subcommand"});
    return callWithArgs(handler, words);
  }
};

// A child that never starts a real process; its exit code comes from a
// script of answers, one per query.
std::vector<uint32_t> exitCodeScript;
size_t queries = 0;

int fakeCreate(char*, int, uint32_t, const StartupInfo*, ProcessInformation* info) {
  info->process = reinterpret_cast<Handle>(0x4321);
  info->processId = 77;
  return 1;
}

int scriptedExitCode(Handle, uint32_t* code) {
  size_t i = queries < exitCodeScript.size() ? queries : exitCodeScript.size() - 1;
  queries++;
  *code = exitCodeScript[i];
  return 1;
}

int failingExitCode(Handle, uint32_t*) { return 0; }

class RunBudgetTest : public LaunchRunTest {
 protected:
  void SetUp() override {
    LaunchRunTest::SetUp();
    queries = 0;
  }
  ScopedOverride<decltype(os.CreateProcessA)> create_{os.CreateProcessA, fakeCreate};
  ScopedOverride<decltype(os.GetExitCodeProcess)> query_{os.GetExitCodeProcess, scriptedExitCode};
  ScopedOverride<decltype(os.Sleep)> sleep_{os.Sleep, recordSleep};
};

// The child's answers to run's queries decide its result, how often it is
// queried and how long run sleeps: a pass sleeps even when its query saw
// the child end, and the wait ends after 61 passes.
TEST_F(RunBudgetTest, TheChildsAnswersDecideResultQueriesAndSleeps) {
  const struct {
    std::vector<uint32_t> answers;
    int result;
    size_t queries;
    size_t sleeps;
  } cases[] = {
      {{kStillActive}, 259, 62, 61},
      {{kStillActive, kStillActive, 7}, 7, 3, 2},
      {{3}, 3, 1, 0},
  };
  for (const auto& c : cases) {
    exitCodeScript = c.answers;
    queries = 0;
    recordedSleeps.clear();
    EXPECT_EQ(call(runCommand, {"server"}), c.result) << "result " << c.result;
    EXPECT_EQ(queries, c.queries) << "result " << c.result;
    EXPECT_EQ(recordedSleeps, std::vector<uint32_t>(c.sleeps, 500)) << "result " << c.result;
  }
}

TEST_F(RunBudgetTest, AFailedFirstQueryGivesMinusOne) {
  ScopedOverride<decltype(os.GetExitCodeProcess)> failing(os.GetExitCodeProcess, failingExitCode);
  EXPECT_EQ(call(runCommand, {"server"}), -1);
  EXPECT_TRUE(recordedSleeps.empty());
}

TEST_F(LaunchRunTest, RunReturnsTheChildsExitCode) {
  const struct {
    const char* exit;
    int expected;
  } cases[] = {
      {"--exit=0", 0},
      {"--exit=5", 5},
#ifdef _WIN32
      {"--exit=-1", -1},
#else
      {"--exit=-1", 255},  // a POSIX exit status keeps 8 bits
#endif
  };
  for (const auto& c : cases) {
    EXPECT_EQ(call(runCommand, {helperPath("probe"), c.exit}), c.expected) << c.exit;
  }
}

TEST_F(LaunchRunTest, LaunchReturnsTheChildsPidAtOnce) {
  std::string report = joinPath(makeScratchDir("launch"), "report.txt");
  std::string probe = helperPath("probe");
  int pid = call(launchCommand, {probe, report, "a b"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(waitForFile(report, 20000));
  EXPECT_EQ(reportValue(readFile(report), "pid"), std::to_string(pid));
  std::string line = probe + " " + report + " \"a b\"";
  EXPECT_EQ(logMessages().back(), "Successfully launched the child process '" + line + "'.");
}

TEST_F(LaunchRunTest, LaunchOfACommandThatCannotStart) {
  EXPECT_EQ(call(launchCommand, {"no-such-program-for-launcher-tests"}), -1);
  std::vector<std::string> messages = logMessages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[messages.size() - 3],
            "ERROR:  createChildProcess: Failed to create child process 'no-such-program-for-launcher-tests'.  Last "
            "error = 2.");
  EXPECT_EQ(messages[messages.size() - 2], "ERROR:  Could not get the PID of the spawned process.");
  EXPECT_EQ(messages.back(), "ERROR:  Failed to launch the child process 'no-such-program-for-launcher-tests'.");
}

TEST_F(LaunchRunTest, RunOfACommandThatCannotStartGivesMinusOneWithoutAMessageOfItsOwn) {
  EXPECT_EQ(call(runCommand, {"no-such-program-for-launcher-tests"}), -1);
  EXPECT_EQ(logMessages().back(),
            "ERROR:  createChildProcess: Failed to create child process 'no-such-program-for-launcher-tests'.  Last "
            "error = 2.");
}

TEST_F(LaunchRunTest, ACommandLineTooLongForTheBuffer) {
  std::string word(2100, 'w');
  EXPECT_EQ(call(launchCommand, {word}), -1);
  EXPECT_EQ(logMessages().back(),
            "ERROR:  Couldn't launch the child process because the full command line could not be constructed.");
  EXPECT_EQ(call(runCommand, {word}), -1);
  EXPECT_EQ(logMessages().back(),
            "ERROR:  Failed to construct the full commandline because the buffer wasn't big enough.");
}

std::vector<std::string> createdLines;
int recordCreation(char* commandLine, int inherit, uint32_t flags, const StartupInfo* startup,
                   ProcessInformation* info) {
  createdLines.push_back(commandLine);
  return fakeCreate(commandLine, inherit, flags, startup, info);
}

// Both handlers compose into a buffer of 2100 bytes: a joined command line
// of 2099 characters is created as it is, one of 2100 creates nothing.
TEST_F(LaunchRunTest, TheJoinedCommandLineHoldsUpTo2099Characters) {
  ScopedOverride<decltype(os.CreateProcessA)> create(os.CreateProcessA, recordCreation);
  ScopedOverride<decltype(os.GetExitCodeProcess)> query(os.GetExitCodeProcess, scriptedExitCode);
  exitCodeScript = {0};
  const struct {
    const char* name;
    int (*handler)(int, char**);
    size_t length;
    int result;
  } cases[] = {
      {"launch", launchCommand, 2099, 77},
      {"launch", launchCommand, 2100, -1},
      {"run", runCommand, 2099, 0},
      {"run", runCommand, 2100, -1},
  };
  for (const auto& c : cases) {
    createdLines.clear();
    std::string word(c.length - 5, 'w');
    std::string where = std::string(c.name) + " " + std::to_string(c.length);
    EXPECT_EQ(call(c.handler, {"prog", word}), c.result) << where;
    std::vector<std::string> expected;
    if (c.result != -1) expected.push_back("prog " + word);
    EXPECT_EQ(createdLines, expected) << where;
  }
}

}  // namespace
