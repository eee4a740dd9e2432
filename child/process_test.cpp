#include "child/process.h"

#include <string>
#include <vector>

#include "child/command_line.h"
#include "testing/test_support.h"

namespace {

// What the fake CreateProcessA was asked, in call order with the handle
// calls.
struct CreateCall {
  std::string commandLine;
  int inheritHandles;
  uint32_t flags;
  StartupInfo startup;
};
std::vector<CreateCall> createCalls;
std::vector<std::string> callOrder;
uint32_t fakeProcessId = 4242;

int fakeCreateProcess(char* commandLine, int inheritHandles, uint32_t flags, const StartupInfo* startup,
                      ProcessInformation* info) {
  createCalls.push_back({commandLine, inheritHandles, flags, *startup});
  callOrder.push_back("CreateProcessA");
  info->process = reinterpret_cast<Handle>(0x1234);
  info->thread = reinterpret_cast<Handle>(0x1238);
  info->processId = fakeProcessId;
  info->threadId = 1;
  return 1;
}

Handle fakeStdHandle(uint32_t which) {
  callOrder.push_back("GetStdHandle(" + std::to_string(static_cast<int>(which)) + ")");
  return which == kStdErrorHandle ? nullptr : reinterpret_cast<Handle>(static_cast<intptr_t>(-static_cast<int>(which)));
}

int recordSetHandleInformation(Handle handle, uint32_t mask, uint32_t flags) {
  callOrder.push_back("SetHandleInformation(" + std::to_string(reinterpret_cast<intptr_t>(handle)) + "," +
                      std::to_string(mask) + "," + std::to_string(flags) + ")");
  return handle != nullptr;
}

class ChildProcessTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    createCalls.clear();
    callOrder.clear();
    fakeProcessId = 4242;
  }
};

TEST_F(ChildProcessTest, DetachesOnlyForBackgroundOne) {
  ScopedOverride<decltype(os.CreateProcessA)> fake(os.CreateProcessA, fakeCreateProcess);
  const struct {
    int background;
    uint32_t flags;
  } cases[] = {{1, kDetachedProcess}, {0, 0}, {2, 0}, {-1, 0}};
  for (const auto& c : cases) {
    char line[] = "prog arg";
    ProcessInformation info;
    EXPECT_EQ(createChildProcess(line, c.background, &info), 1);
    ASSERT_FALSE(createCalls.empty());
    EXPECT_EQ(createCalls.back().flags, c.flags) << c.background;
    EXPECT_EQ(createCalls.back().inheritHandles, 0);
    EXPECT_EQ(createCalls.back().startup.flags, kStartfUseStdHandles);
    EXPECT_EQ(createCalls.back().startup.size, sizeof(StartupInfo));
    EXPECT_EQ(createCalls.back().startup.stdInput, nullptr);
    EXPECT_EQ(createCalls.back().startup.stdOutput, nullptr);
    EXPECT_EQ(createCalls.back().startup.stdError, nullptr);
    EXPECT_EQ(info.processId, 4242u);
  }
  std::string log = logText();
  EXPECT_NE(log.find("createChildProcess: Attempting to create child process 'prog arg' background=-1.\n"
                     "createChildProcess: Successfully created child process 'prog arg'.\n"),
            std::string::npos)
      << log;
}

TEST_F(ChildProcessTest, StandardHandlesStopBeingInheritableBeforeTheChildIsCreated) {
  ScopedOverride<decltype(os.CreateProcessA)> fake(os.CreateProcessA, fakeCreateProcess);
  ScopedOverride<decltype(os.GetStdHandle)> std(os.GetStdHandle, fakeStdHandle);
  ScopedOverride<decltype(os.SetHandleInformation)> set(os.SetHandleInformation, recordSetHandleInformation);
  char line[] = "prog";
  EXPECT_EQ(spawnProcess(line, 1), 4242);
  // A missing standard handle (here standard error) is passed on as it is.
  std::vector<std::string> expected = {"GetStdHandle(-10)", "SetHandleInformation(10,1,0)",
                                       "GetStdHandle(-11)", "SetHandleInformation(11,1,0)",
                                       "GetStdHandle(-12)", "SetHandleInformation(0,1,0)",
                                       "CreateProcessA"};
  EXPECT_EQ(callOrder, expected);
}

TEST_F(ChildProcessTest, FailedCreationLogsTheErrorCode) {
  char line[] = "no-such-program-for-launcher-tests";
  ProcessInformation info;
  EXPECT_EQ(createChildProcess(line, 1, &info), 0);
  EXPECT_EQ(spawnProcess(line, 1), -1);
  const char* attempt =
      "createChildProcess: Attempting to create child process 'no-such-program-for-launcher-tests' background=1.\n";
  const char* failure =
      "ERROR:  createChildProcess: Failed to create child process 'no-such-program-for-launcher-tests'.  Last "
      "error = 2.\n";
  EXPECT_EQ(logText(), std::string(attempt) + failure + attempt + failure +
                           "ERROR:  Could not get the PID of the spawned process.\n");
}

TEST_F(ChildProcessTest, AProcessIdOfMinusOneCountsAsNoChild) {
  ScopedOverride<decltype(os.CreateProcessA)> fake(os.CreateProcessA, fakeCreateProcess);
  fakeProcessId = 0xFFFFFFFFu;
  char line[] = "prog";
  EXPECT_EQ(spawnProcess(line, 1), -1);
  EXPECT_EQ(logMessages().back(), "ERROR:  Could not get the PID of the spawned process.");
}

// A real child: it sees the composed command line, the launcher's directory
// and environment, and null standard handles.
TEST_F(ChildProcessTest, ChildStartsWithTheLaunchersDirectoryEnvironmentAndNullHandles) {
  setEnvironmentVariable("LAUNCHER_PROBE_VAR", "seen by the child");
  std::string report = joinPath(makeScratchDir("probe"), "report.txt");
  std::string probe = helperPath("probe");
  std::vector<std::string> words = {probe, report, "two words", "", "C:\\dir\\file", "last"};
  std::vector<const char*> list;
  for (const std::string& word : words) list.push_back(word.c_str());
  list.push_back(nullptr);
  char line[2100];
  ASSERT_EQ(buildCommandLine(list.data(), line, sizeof line), 1);
  ProcessId pid = spawnProcess(line, 1);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(waitForFile(report, 20000));
  std::string text = readFile(report);
  EXPECT_EQ(reportValue(text, "pid"), std::to_string(pid));
  EXPECT_EQ(reportValue(text, "argc"), std::to_string(words.size()));
  for (size_t i = 1; i < words.size(); i++) {
    EXPECT_EQ(reportValue(text, "argv[" + std::to_string(i) + "]"), escapeAsProbe(words[i])) << i;
  }
#ifdef _WIN32
  EXPECT_EQ(reportValue(text, "commandLine"), escapeAsProbe(line));
#endif
  char cwd[kMaxPath];
  testCurrentDirectory(kMaxPath, cwd);
  EXPECT_EQ(reportValue(text, "cwd"), escapeAsProbe(cwd));
  EXPECT_EQ(reportValue(text, "env"), "seen by the child");
  EXPECT_EQ(reportValue(text, "stdin"), "null");
  EXPECT_EQ(reportValue(text, "stdout"), "null");
  EXPECT_EQ(reportValue(text, "stderr"), "null");
}

}  // namespace
