#include "instance/termination.h"

#include <cstring>
#include <string>
#include <vector>

#include "instance/pid_file.h"
#include "instance/server_lock.h"
#include "testing/test_support.h"

namespace {


Handle fakeOpen(uint32_t, int, uint32_t) { return reinterpret_cast<Handle>(0x777); }
int refusedTerminate(Handle, uint32_t) { return 0; }
int acceptedTerminate(Handle, uint32_t) { return 1; }
int alwaysActive(Handle, uint32_t* code) {
  *code = kStillActive;
  return 1;
}
int exitedWithZero(Handle, uint32_t* code) {
  *code = 0;
  return 1;
}
int closeNothing(Handle) { return 1; }
int noCreationTime(Handle, int64_t*) { return -1; }
// A PID file written long after the fake process was created: the guard
// takes the process to be the server.
const int64_t kWrittenAt = 1000000;
int createdLongBefore(Handle, int64_t* seconds) {
  *seconds = kWrittenAt - 3600;
  return 0;
}

// An instance directory, without a PID file unless a test writes one.
class KillProcessTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    instance_ = makeInstanceDir("kill");
    hostPlatform().makeDirectory(joinPath(instance_, "locks").c_str());
    dir_ = instance_.c_str();
  }
  void TearDown() override {
    stopHelper(helper_);
    if (heldFd_ != -1) hostPlatform().closeDescriptor(heldFd_);
    LogFixture::TearDown();
  }
  // Holds the server lock as a server would, through another open.
  void holdLock() {
    std::string lockFile = joinPath(joinPath(instance_, "locks"), "server.lock");
    writeFile(lockFile, "");
    heldFd_ = hostPlatform().openReadWrite(lockFile.c_str());
    ASSERT_NE(heldFd_, -1);
    ASSERT_EQ(hostPlatform().lockFirstByte(heldFd_), 0);
  }
  std::string instance_;
  const char* dir_ = nullptr;
  ProcessInformation helper_ = {};
  int heldFd_ = -1;
};

// A process that opens and accepts termination, whose exit-code answers and
// sleeps each test chooses.
class FakeProcessTest : public KillProcessTest {
 protected:
  ScopedOverride<decltype(os.OpenProcess)> open_{os.OpenProcess, fakeOpen};
  ScopedOverride<decltype(os.TerminateProcess)> terminate_{os.TerminateProcess, acceptedTerminate};
  ScopedOverride<decltype(os.CloseHandle)> close_{os.CloseHandle, closeNothing};
  ScopedOverride<decltype(os.getProcessCreationTime)> created_{os.getProcessCreationTime, createdLongBefore};
  ScopedOverride<decltype(os.Sleep)> sleep_{os.Sleep, recordSleep};
};

TEST_F(KillProcessTest, APidThatNamesNoProcessCountsAsTerminated) {
  const ProcessId kUnused = 0x7FFFFFF0;  // an id a test machine does not hand out
  EXPECT_EQ(killProcess(kUnused, kWrittenAt, kServerLockFileMissing), 1);
  std::vector<std::string> messages = logMessages();
  EXPECT_EQ(messages.end()[-2], "The process with pid=2147483632 has already terminated.");
  EXPECT_EQ(messages.back(), "killProcess(pid=2147483632) returning 1");
}

std::vector<uint32_t> openedIds;
Handle openNoProcess(uint32_t, int, uint32_t processId) {
  openedIds.push_back(processId);
  return nullptr;
}
uint32_t invalidParameter() { return kErrorInvalidParameter; }
int terminationNotExpected(Handle, uint32_t) {
  ADD_FAILURE() << "TerminateProcess was called";
  return 0;
}

// Through the seam only: natively, a real kill() with such an id would
// signal whole process groups, or every process.
TEST_F(KillProcessTest, ANegativePidGoesToTheSystemAsTheSame32BitsUnsigned) {
  ScopedOverride<decltype(os.OpenProcess)> open(os.OpenProcess, openNoProcess);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, invalidParameter);
  ScopedOverride<decltype(os.TerminateProcess)> terminate(os.TerminateProcess, terminationNotExpected);
  openedIds.clear();
  EXPECT_EQ(killProcess(-1, kWrittenAt, kServerLockFileMissing), 1);
  EXPECT_EQ(killProcess(-5, kWrittenAt, kServerLockFileMissing), 1);
  EXPECT_EQ(openedIds, (std::vector<uint32_t>{0xFFFFFFFFu, 0xFFFFFFFBu}));
  EXPECT_NE(logText().find("The process with pid=-5 has already terminated.\nkillProcess(pid=-5) returning 1\n"),
            std::string::npos);
}

TEST_F(KillProcessTest, AProcessThatCannotBeOpenedIsAFailure) {
  ScopedOverride<decltype(os.OpenProcess)> open(os.OpenProcess, refusedOpen);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, accessDenied);
  EXPECT_EQ(killProcess(42, kWrittenAt, kServerLockFileMissing), 0);
  EXPECT_EQ(logText(),
            "killProcess(pid=42)\nOpening process with pid=42.\n"
            "Access to the process with pid=42 was denied; opening it for queries only.\n"
            "ERROR:  Failed to open the process (pid=42) lastError=5.\nkillProcess(pid=42) returning 0\n");
}

// A protected process: terminate rights refused (5), queries allowed.
std::vector<uint32_t> openedMasks;
uint32_t secondOpenError = 0;
uint32_t openError = 0;
Handle openForQueriesOnly(uint32_t access, int, uint32_t) {
  openedMasks.push_back(access);
  openError = (access & kProcessTerminate) ? kErrorAccessDenied : secondOpenError;
  return openError != 0 ? nullptr : reinterpret_cast<Handle>(0x778);
}
uint32_t lastOpenError() { return openError; }
int64_t fakeCreationTime = 0;
int createdAtFakeTime(Handle, int64_t* seconds) {
  *seconds = fakeCreationTime;
  return 0;
}
// Records the closes of the fake process handle; every other handle (the
// lock probe's folder) is really closed.
std::vector<Handle> closedHandles;
int recordClose(Handle handle) {
  if (handle != reinterpret_cast<Handle>(0x778)) return hostPlatform().CloseHandle(handle);
  closedHandles.push_back(handle);
  return 1;
}

// After a reboot a stale PID can name a SYSTEM service or protected process,
// which refuses termination even to an administrator. The PID-reuse guard
// still applies to it through a query-only handle: one it clears as not the
// server, or cannot tell about, is left to the server lock; one it takes to
// be the server makes the refusal stand. A lock held on the server lock file
// changes nothing: anyone who can read the file can take one.
TEST_F(KillProcessTest, AProcessRefusingTerminationIsPassedOverUnlessTheGuardTakesItForTheServer) {
  const std::string refused = "ERROR:  Failed to open the process (pid=42) lastError=5.\n";
  const std::string younger =
      "The process with pid=42 started after the PID file was written, so it is not the server.\n";
  const std::string unknown =
      "The start time of the process with pid=42 or the PID file's write time is unknown, so it is not "
      "terminated.\n";
  const struct {
    const char* name;
    int created;  // 1: the process's creation time is known
    int64_t createdAt;
    int64_t writtenAt;
    int lockHeld;
    uint32_t secondOpenError;
    int result;
    std::string lines;  // after the line announcing the query-only open
  } cases[] = {
      {"younger than the PID file", 1, kWrittenAt + 3600, kWrittenAt, 0, 0, 1, younger},
      {"younger, with the lock held", 1, kWrittenAt + 3600, kWrittenAt, 1, 0, 1, younger},
      {"just past the write-time slack", 1, kWrittenAt + 6, kWrittenAt, 0, 0, 1, younger},
      {"older than the PID file", 1, kWrittenAt - 3600, kWrittenAt, 0, 0, 0, refused},
      {"at the end of the write-time slack", 1, kWrittenAt + 5, kWrittenAt, 0, 0, 0, refused},
      {"creation time unknown", 0, 0, kWrittenAt, 0, 0, 1, unknown},
      {"PID file time unknown", 1, kWrittenAt + 3600, kUnknownTime, 0, 0, 1, unknown},
      {"not even queries allowed", 1, kWrittenAt + 3600, kWrittenAt, 0, kErrorAccessDenied, 0, refused},
  };
  ScopedOverride<decltype(os.OpenProcess)> open(os.OpenProcess, openForQueriesOnly);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, lastOpenError);
  ScopedOverride<decltype(os.TerminateProcess)> terminate(os.TerminateProcess, terminationNotExpected);
  ScopedOverride<decltype(os.CloseHandle)> close(os.CloseHandle, recordClose);
  for (const auto& c : cases) {
    ScopedOverride<decltype(os.getProcessCreationTime)> created(os.getProcessCreationTime,
                                                                c.created ? createdAtFakeTime : noCreationTime);
    if (c.lockHeld && heldFd_ == -1) holdLock();
    fakeCreationTime = c.createdAt;
    secondOpenError = c.secondOpenError;
    openedMasks.clear();
    closedHandles.clear();
    std::string before = logText();
    EXPECT_EQ(killProcess(42, c.writtenAt, kServerLockFileMissing), c.result) << c.name;
    EXPECT_EQ(openedMasks, (std::vector<uint32_t>{0x0401, 0x1000})) << c.name;
    EXPECT_EQ(closedHandles.size(), c.secondOpenError == 0 ? 1u : 0u) << c.name;
    EXPECT_EQ(logText(), before +
                             "killProcess(pid=42)\nOpening process with pid=42.\n"
                             "Access to the process with pid=42 was denied; opening it for queries only.\n" +
                             c.lines + "killProcess(pid=42) returning " + std::to_string(c.result) + "\n")
        << c.name;
  }
  secondOpenError = 0;
}

uint32_t notEnoughMemory() { return 8; }

TEST_F(KillProcessTest, OnlyAccessDeniedTriesTheQueryOnlyOpen) {
  ScopedOverride<decltype(os.OpenProcess)> open(os.OpenProcess, openNoProcess);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, notEnoughMemory);
  openedIds.clear();
  EXPECT_EQ(killProcess(42, kWrittenAt, kServerLockFileMissing), 0);
  EXPECT_EQ(openedIds.size(), 1u);
  EXPECT_NE(
      logText().find("ERROR:  Failed to open the process (pid=42) lastError=8.\nkillProcess(pid=42) returning 0\n"),
      std::string::npos);
}

int exitedWithThree(Handle, uint32_t* code) {
  *code = 3;
  return 1;
}

// Windows refuses to terminate a process that has already ended (access
// denied); the exit code tells that apart from a real refusal.
TEST_F(FakeProcessTest, RefusedTerminationIsAFailureUnlessTheProcessHasEnded) {
  const struct {
    int (*query)(Handle, uint32_t*);
    int result;
    const char* line;
  } cases[] = {
      {alwaysActive, 0, "ERROR:  Failed to terminate process (pid=42) lastError=5.\n"},
      {exitedWithThree, 1, "Process (pid=42) has exited with exit code 3.\n"},
  };
  ScopedOverride<decltype(os.TerminateProcess)> terminate(os.TerminateProcess, refusedTerminate);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, accessDenied);
  for (const auto& c : cases) {
    ScopedOverride<decltype(os.GetExitCodeProcess)> query(os.GetExitCodeProcess, c.query);
    std::string before = logText();
    EXPECT_EQ(killProcess(42, kWrittenAt, kServerLockFileMissing), c.result) << c.line;
    EXPECT_EQ(logText(), before + "killProcess(pid=42)\nOpening process with pid=42.\n" + c.line +
                             "killProcess(pid=42) returning " + std::to_string(c.result) + "\n");
  }
  EXPECT_TRUE(recordedSleeps.empty());
}

TEST_F(FakeProcessTest, AProcessThatNeverExitsCosts20QueriesAnd20Sleeps) {
  ScopedOverride<decltype(os.GetExitCodeProcess)> query(os.GetExitCodeProcess, alwaysActive);
  EXPECT_EQ(killProcess(42, kWrittenAt, kServerLockFileMissing), 0);
  EXPECT_EQ(recordedSleeps, std::vector<uint32_t>(20, 1000));
  std::string expected = "killProcess(pid=42)\nOpening process with pid=42.\n"
                         "Successfully began termination process for (pid=42).\n";
  for (int left = 19; left >= 0; left--)
    expected += "Process (pid=42) has not yet exited.  Sleeping for 1 second and will try " + std::to_string(left) +
                " more time(s).\n";
  EXPECT_EQ(logText(), expected + "killProcess(pid=42) returning 0\n");
}

TEST_F(FakeProcessTest, AProcessGoneAtTheFirstQueryCostsNoSleep) {
  ScopedOverride<decltype(os.GetExitCodeProcess)> query(os.GetExitCodeProcess, exitedWithZero);
  EXPECT_EQ(killProcess(42, kWrittenAt, kServerLockFileMissing), 1);
  EXPECT_TRUE(recordedSleeps.empty());
  EXPECT_EQ(logMessages().end()[-2], "Process (pid=42) has exited with exit code 0.");
}

TEST_F(KillProcessTest, TerminatesARealProcess) {
  helper_ = startHelper("probe", {"--sleep=60000"});
  ProcessId pid = static_cast<ProcessId>(helper_.processId);
  EXPECT_EQ(killProcess(pid, hostPlatform().getCurrentTime(), kServerLockFileMissing), 1);
  EXPECT_FALSE(isRunning(helper_));
  std::string id = std::to_string(pid);
  EXPECT_NE(logText().find("Successfully began termination process for (pid=" + id + ").\n"), std::string::npos);
  EXPECT_EQ(logMessages().end()[-2], "Process (pid=" + id + ") has exited with exit code 0.");
}

// Natively a zombie, under Windows a process object kept by the helper's
// handle: either way it ended by itself, before any termination.
TEST_F(KillProcessTest, AProcessThatEndedByItselfKeepsItsExitCode) {
  helper_ = startHelper("probe", {"--exit=3"});
  ASSERT_TRUE(waitUntilEnded(helper_, 10000)) << "the probe did not exit";
  ProcessId pid = static_cast<ProcessId>(helper_.processId);
  EXPECT_EQ(killProcess(pid, hostPlatform().getCurrentTime(), kServerLockFileMissing), 1);
  EXPECT_EQ(logMessages().end()[-2], "Process (pid=" + std::to_string(pid) + ") has exited with exit code 3.");
}

// A PID file that outlived its server can name a process that got the id
// later: the times decide, and that process is left alone, whoever holds a
// lock on the server lock file (any reader of it can). A process the guard
// cannot clear, its times unknown, is not terminated either. A process
// started before the PID file was written is the server.
TEST_F(KillProcessTest, OnlyAProcessOlderThanThePidFileIsTerminated) {
  helper_ = startHelper("probe", {"--sleep=60000"});
  ProcessId pid = static_cast<ProcessId>(helper_.processId);
  std::string id = std::to_string(pid);
  int64_t createdAt = 0;
  ASSERT_EQ(hostPlatform().getProcessCreationTime(helper_.process, &createdAt), 0);
  holdLock();
  const struct {
    int64_t writtenAt;
    const char* line;  // before the closing line
  } spared[] = {
      {createdAt - 3600, " started after the PID file was written, so it is not the server."},
      {kUnknownTime, " or the PID file's write time is unknown, so it is not terminated."},
  };
  for (const auto& c : spared) {
    EXPECT_EQ(killProcess(pid, c.writtenAt, kServerLockFileMissing), 1) << c.line;
    EXPECT_TRUE(isRunning(helper_)) << c.line;
    std::string line = logMessages().end()[-2];
    EXPECT_EQ(line.substr(line.size() - strlen(c.line)), c.line);
    EXPECT_NE(line.find("pid=" + id), std::string::npos) << line;
  }
  EXPECT_EQ(killProcess(pid, createdAt + 3600, kServerLockFileMissing), 1);
  EXPECT_FALSE(isRunning(helper_));
}

TEST(IsTheServer, TheTimesOrHoldingTheLockFileOpenMakeAProcessTheServer) {
  const struct {
    ServerTimes times;
    int holdsLockFile;
    int server;
  } cases[] = {
      {kTimesAgree, 1, 1},    {kTimesAgree, 0, 1},    {kTimesAgree, -1, 1},
      {kTimesDisagree, 1, 1}, {kTimesDisagree, 0, 0}, {kTimesDisagree, -1, 0},
      {kTimesUnknown, 1, 1},  {kTimesUnknown, 0, 0},  {kTimesUnknown, -1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isTheServer(c.times, c.holdsLockFile), c.server) << c.times << " " << c.holdsLockFile;
  }
}

// The evidence is asked about only where the times do not clear the
// process, and about the process opened; what it says is logged.
std::vector<uint32_t> askedIds;
int evidence = 0;
int answerEvidence(int, uint32_t processId) {
  askedIds.push_back(processId);
  return evidence;
}
uint32_t openedId(Handle) { return 44; }

TEST_F(FakeProcessTest, HoldingTheLockFileOpenOutweighsTheTimes) {
  const std::string terminated = "Successfully began termination process for (pid=42).\n";
  const std::string spared =
      "The process with pid=42 started after the PID file was written, so it is not the server.\n";
  const std::string held = "The process with pid=42 holds the server lock file open, so it is the server.\n";
  const std::string unknown =
      "The start time of the process with pid=42 or the PID file's write time is unknown, so it is not "
      "terminated.\n";
  const struct {
    const char* name;
    int64_t writtenAt;
    int lockFd;  // kServerLockFileMissing or kServerLockFileUnopened, or 99: a descriptor
    int evidence;
    size_t asked;
    std::string lines;
  } cases[] = {
      {"times agree", kWrittenAt, 99, 0, 0, terminated},
      {"younger, holding it open", kWrittenAt - 7200, 99, 1, 1, held + terminated},
      {"younger, not holding it", kWrittenAt - 7200, 99, 0, 1, spared},
      {"younger, cannot tell", kWrittenAt - 7200, 99, -1, 1, spared},
      {"times unknown, holding it open", kUnknownTime, 99, 1, 1, held + terminated},
      {"times unknown, cannot tell", kUnknownTime, 99, -1, 1, unknown},
      {"younger, no lock file", kWrittenAt - 7200, kServerLockFileMissing, 1, 0, spared},
      {"younger, lock file unopened", kWrittenAt - 7200, kServerLockFileUnopened, 1, 0, spared},
  };
  ScopedOverride<decltype(os.GetExitCodeProcess)> query(os.GetExitCodeProcess, exitedWithZero);
  ScopedOverride<decltype(os.isProcessUsingFile)> using_(os.isProcessUsingFile, answerEvidence);
  ScopedOverride<decltype(os.GetProcessId)> id(os.GetProcessId, openedId);
  for (const auto& c : cases) {
    askedIds.clear();
    evidence = c.evidence;
    std::string before = logText();
    EXPECT_EQ(killProcess(42, c.writtenAt, c.lockFd), 1) << c.name;
    EXPECT_EQ(askedIds, std::vector<uint32_t>(c.asked, 44u)) << c.name;
    std::string lines = logText().substr(before.size());
    EXPECT_NE(lines.find(c.lines), std::string::npos) << c.name << ": " << lines;
    if (c.lines == spared || c.lines == unknown) {
      EXPECT_EQ(lines.find("Successfully began termination"), std::string::npos) << c.name;
    }
  }
}

// As after a wall-clock step: the server looks younger than its PID file,
// and holding the lock file open shows it is the server all the same where
// the host can tell (natively; Wine does not implement the query, and the
// times decide). A process that does not hold it open, while another holds
// the lock, is left alone.
TEST_F(KillProcessTest, ARealServerHoldingTheLockFileIsTerminatedWhateverTheTimes) {
  ProcessInformation bystander = startHelper("probe", {"--sleep=60000"});
  helper_ = startLockHolder(instance_);
  int lockFd = openServerLockFile(dir_);
  ASSERT_GE(lockFd, 0);
  int told = hostPlatform().isProcessUsingFile(lockFd, helper_.processId);
  EXPECT_NE(told, 0) << "the server holds its lock file open";
  EXPECT_NE(hostPlatform().isProcessUsingFile(lockFd, bystander.processId), 1);
  ProcessId bystanderPid = static_cast<ProcessId>(bystander.processId);
  EXPECT_EQ(killProcess(bystanderPid, hostPlatform().getCurrentTime() - 3600, lockFd), 1);
  EXPECT_TRUE(isRunning(bystander));
  ProcessId pid = static_cast<ProcessId>(helper_.processId);
  EXPECT_EQ(killProcess(pid, hostPlatform().getCurrentTime() - 10, lockFd), 1);
  EXPECT_EQ(isRunning(helper_), told != 1);
  hostPlatform().closeDescriptor(lockFd);
  stopHelper(bystander);
}

}  // namespace
