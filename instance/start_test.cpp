#include "instance/start.h"

#include <cstdio>
#include <string>
#include <vector>

#include "common/process_id.h"
#include "testing/test_support.h"

namespace {

class StartTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    instance_ = makeInstanceDir("start");
    pidFile_ = joinPath(joinPath(instance_, "logs"), "server.pid");
  }
  void TearDown() override {
    for (ProcessId pid : started_) {
      Handle process = hostPlatform().OpenProcess(kProcessTerminate | kProcessQueryInformation, 0, pid);
      if (process != nullptr) {
        hostPlatform().TerminateProcess(process, 1);
        waitForExit(process, 10000);
        hostPlatform().CloseHandle(process);
      }
    }
    LogFixture::TearDown();
  }
  int start(std::vector<std::string> words) {
    words.insert(words.begin(), {"launcher.exe", "start"});
    testing::internal::CaptureStderr();
    int result = callWithArgs(startCommand, words);
    stderr_ = testing::internal::GetCapturedStderr();
    if (result > 0) started_.push_back(result);
    return result;
  }
  std::string instance_, pidFile_, stderr_;
  std::vector<ProcessId> started_;
};

TEST_F(StartTest, StartsTheServerAndRecordsItsPid) {
  int pid = start({instance_, helperPath("probe"), "--sleep=60000"});
  ASSERT_GT(pid, 0);
  EXPECT_EQ(readFile(pidFile_), hostText(std::to_string(pid) + "\n"));
  EXPECT_EQ(logMessages().back(), "Successfully put pid=" + std::to_string(pid) + " in the pid file '" + pidFile_ +
                                      "'.");
}

TEST_F(StartTest, TwoStartsLeaveThePidOfTheSecond) {
  int first = start({instance_, helperPath("probe"), "--sleep=60000"});
  int second = start({instance_, helperPath("probe"), "--sleep=60000"});
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(readFile(pidFile_), hostText(std::to_string(second) + "\n"));
}

TEST_F(StartTest, WithoutALogsDirectoryTheServerStillStarts) {
  std::string bare = makeScratchDir("bare");
  int pid = start({bare, helperPath("probe"), "--sleep=60000"});
  EXPECT_GT(pid, 0);
  EXPECT_FALSE(pathExists(joinPath(joinPath(bare, "logs"), "server.pid")));
  EXPECT_NE(logText().find("because the file could not be opened."), std::string::npos);
}

TEST_F(StartTest, WithoutCommandWordsTheSpawnFails) {
  EXPECT_EQ(start({instance_}), -1);
  EXPECT_FALSE(pathExists(pidFile_));
  EXPECT_EQ(logMessages().back(), "ERROR:  Couldn't start the child process because the spawn failed.");
}

TEST_F(StartTest, ACommandLineTooLongStartsNothing) {
  EXPECT_EQ(start({instance_, std::string(2100, 'w')}), -1);
  EXPECT_EQ(logMessages().back(),
            "ERROR:  Couldn't start the child process because the full command line could not be constructed.");
}

std::vector<std::string> createdLines;
int recordCreation(char* commandLine, int, uint32_t, const StartupInfo*, ProcessInformation* info) {
  createdLines.push_back(commandLine);
  info->processId = 4321;
  return 1;
}

// The server's command line is composed into a buffer of 2100 bytes: 2099
// characters start the server (no real process: the creation is recorded),
// 2100 start nothing and write no PID file.
TEST_F(StartTest, TheJoinedCommandLineHoldsUpTo2099Characters) {
  ScopedOverride<decltype(os.CreateProcessA)> create(os.CreateProcessA, recordCreation);
  const struct {
    size_t length;
    int result;
  } cases[] = {{2099, 4321}, {2100, -1}};
  for (const auto& c : cases) {
    createdLines.clear();
    std::remove(pidFile_.c_str());
    std::string word(c.length - 5, 'w');
    EXPECT_EQ(callWithArgs(startCommand, {"launcher.exe", "start", instance_, "prog", word}), c.result) << c.length;
    std::vector<std::string> expected;
    if (c.result != -1) expected.push_back("prog " + word);
    EXPECT_EQ(createdLines, expected) << c.length;
    EXPECT_EQ(pathExists(pidFile_), c.result != -1) << c.length;
  }
}

TEST_F(StartTest, RefusedDirectoriesStartNothing) {
  const char* refused[] = {"C:", "no-such-directory-here"};
  for (const char* dir : refused) {
    EXPECT_EQ(start({dir, helperPath("probe")}), -1) << dir;
    EXPECT_EQ(stderr_, std::string("The instance directory '") + dir + "' is not valid.\n");
    EXPECT_EQ(logText().find("Constructing full command line"), std::string::npos);
  }
}

TEST_F(StartTest, ADirectoryWithTwoDotsStartsTheServerWithoutAPidFile) {
  std::string odd = makeScratchDir("x..y");
  hostPlatform().makeDirectory(joinPath(odd, "logs").c_str());
  int pid = start({odd, helperPath("probe"), "--sleep=60000"});
  EXPECT_GT(pid, 0);
  EXPECT_FALSE(pathExists(joinPath(joinPath(odd, "logs"), "server.pid")));
}

}  // namespace
