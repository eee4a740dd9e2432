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

// Failures of the scripted CreateProcessA, one per call: 0 lets that call
// succeed as fakeCreateProcess does, any other value is the error it fails
// with. Calls beyond the script succeed.
std::vector<uint32_t> createFailures;
uint32_t scriptedError = 0;

int scriptedCreateProcess(char* commandLine, int inheritHandles, uint32_t flags, const StartupInfo* startup,
                          ProcessInformation* info) {
  size_t call = createCalls.size();
  uint32_t failure = call < createFailures.size() ? createFailures[call] : 0;
  if (failure == 0) return fakeCreateProcess(commandLine, inheritHandles, flags, startup, info);
  createCalls.push_back({commandLine, inheritHandles, flags, *startup});
  scriptedError = failure;
  return 0;
}

uint32_t scriptedLastError() { return scriptedError; }

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
  } cases[] = {{1, kDetachedProcess | kCreateBreakawayFromJob}, {0, 0}, {2, 0}, {-1, 0}};
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

// A job that does not allow breakaway refuses it with access denied (5):
// the child is then created inside the job, and a start that succeeds so
// logs as any other. When both attempts fail, the second one's error is
// logged.
TEST_F(ChildProcessTest, BreakawayRefusedByTheJobIsTriedAgainWithoutIt) {
  ScopedOverride<decltype(os.CreateProcessA)> fake(os.CreateProcessA, scriptedCreateProcess);
  ScopedOverride<decltype(os.GetLastError)> lastError(os.GetLastError, scriptedLastError);
  const uint32_t away = kDetachedProcess | kCreateBreakawayFromJob;
  const struct {
    const char* what;
    int background;
    std::vector<uint32_t> failures;
    std::vector<uint32_t> flags;
    int created;
    int loggedError;
  } cases[] = {
      {"breakaway allowed", 1, {}, {away}, 1, 0},
      {"breakaway refused", 1, {5}, {away, kDetachedProcess}, 1, 0},
      {"both fail", 1, {5, 2}, {away, kDetachedProcess}, 0, 2},
      {"both refused", 1, {5, 5}, {away, kDetachedProcess}, 0, 5},
      {"another failure", 1, {2}, {away}, 0, 2},
      {"not detached", 0, {5}, {0}, 0, 5},
  };
  for (const auto& c : cases) {
    createCalls.clear();
    createFailures = c.failures;
    size_t logged = logText().size();
    char line[] = "prog";
    ProcessInformation info;
    EXPECT_EQ(createChildProcess(line, c.background, &info), c.created) << c.what;
    std::vector<uint32_t> flags;
    for (const CreateCall& call : createCalls) {
      flags.push_back(call.flags);
      EXPECT_EQ(call.inheritHandles, 0) << c.what;
    }
    EXPECT_EQ(flags, c.flags) << c.what;
    std::string expected =
        "createChildProcess: Attempting to create child process 'prog' background=" + std::to_string(c.background) +
        ".\n";
    if (c.created) {
      expected += "createChildProcess: Successfully created child process 'prog'.\n";
    } else {
      expected += "ERROR:  createChildProcess: Failed to create child process 'prog'.  Last error = " +
                  std::to_string(c.loggedError) + ".\n";
    }
    EXPECT_EQ(logText().substr(logged), expected) << c.what;
  }
  createFailures.clear();
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
// and environment, and null standard handles. Its words come back as they
// were given, quoted ones ending in backslashes included.
TEST_F(ChildProcessTest, ChildStartsWithTheLaunchersDirectoryEnvironmentAndNullHandles) {
  setEnvironmentVariable("LAUNCHER_PROBE_VAR", "seen by the child");
  std::string report = joinPath(makeScratchDir("probe"), "report.txt");
  std::string probe = helperPath("probe");
  std::vector<std::string> words = {probe,   report, "two words", "", "C:\\dir\\file", "C:\\dir with space\\",
                                    "a b\\\\", "a\\b\\", "last"};
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

#ifdef _WIN32
// CI agents, SSH sessions and schedulers run their steps in a job that
// kills its processes when it closes. The real launcher runs in such a job
// and launches a probe that would sleep for a minute; a witness started in
// the same job shows when the job's close has taken effect.
TEST_F(ChildProcessTest, ADetachedChildLeavesAJobThatAllowsItAndStaysInOneThatDoesNot) {
  writeFile(fakeExe_, readFile(helperPath("launcher")));
  const struct {
    const char* what;
    int inJob;
    int allowBreakaway;
    int childInJob;
    bool childOutlivesTheJob;
  } cases[] = {
      {"breakaway allowed", 1, 1, 0, true},
      {"breakaway not allowed", 1, 0, 1, false},
      {"no job", 0, 0, 0, true},
  };
  for (const auto& c : cases) {
    std::remove(logFile().c_str());
    std::string report = joinPath(makeScratchDir("job"), "report.txt");
    std::string probe = helperPath("probe");
    std::string line = "\"" + fakeExe_ + "\" launch \"" + probe + "\" \"" + report + "\" --sleep=60000";
    std::string witnessLine = "\"" + probe + "\" --sleep=60000";
    Handle job = nullptr;
    ProcessInformation witness = {};
    ProcessInformation launcher = {};
    if (c.inJob) {
      job = testCreateKillOnCloseJob(c.allowBreakaway);
      ASSERT_NE(job, nullptr) << c.what;
      ASSERT_EQ(testCreateProcessInJob(job, &witnessLine[0], &witness), 1) << c.what;
      ASSERT_EQ(testCreateProcessInJob(job, &line[0], &launcher), 1) << c.what;
    } else {
      StartupInfo startup = {sizeof(StartupInfo), 0, nullptr, nullptr, nullptr};
      ASSERT_NE(hostPlatform().CreateProcessA(&line[0], 0, 0, &startup, &launcher), 0) << c.what;
    }
    uint32_t pid = waitForExit(launcher.process, 20000);
    ASSERT_NE(pid, kStillActive) << c.what << ": the launcher did not end within 20 s";
    ASSERT_NE(pid, 0xFFFFFFFFu) << c.what << ": the launcher could not launch the probe";
    ASSERT_TRUE(waitForFile(report, 20000)) << c.what << ": the probe wrote no report within 20 s";
    EXPECT_EQ(reportValue(readFile(report), "pid"), std::to_string(pid)) << c.what;
    ProcessInformation child = {hostPlatform().OpenProcess(kProcessTerminate | kProcessQueryInformation, 0, pid),
                                nullptr, pid, 0};
    ASSERT_NE(child.process, nullptr) << c.what;
    if (c.inJob) {
      EXPECT_EQ(testIsProcessInJob(child.process, job), c.childInJob) << c.what;
      hostPlatform().CloseHandle(job);
      EXPECT_NE(waitForExit(witness.process, 20000), kStillActive)
          << c.what << ": closing the job did not end the witness within 20 s";
    }
    EXPECT_EQ(isRunning(child), c.childOutlivesTheJob) << c.what;
    // Inside the job or out of it, the start logs as any successful one.
    std::string log;
    for (const std::string& message : logMessages()) log += message + "\n";
    EXPECT_EQ(log.find("ERROR:"), std::string::npos) << c.what << "\n" << log;
    EXPECT_NE(log.find("createChildProcess: Successfully created child process '"), std::string::npos) << c.what;
    EXPECT_NE(log.find("The PID of the spawned process is " + std::to_string(pid) + ".\n"), std::string::npos)
        << c.what;
    stopHelper(child);
    stopHelper(witness);
    stopHelper(launcher);
  }
}
#endif

}  // namespace
