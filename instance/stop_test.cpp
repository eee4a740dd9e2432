#include "instance/stop.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "testing/test_platform.h"
#include "testing/test_support.h"

namespace {

// An instance directory with logs/ and locks/, and the stop's standard
// error captured.
class StopTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    instance_ = makeInstanceDir("stop");
    hostPlatform().makeDirectory(joinPath(instance_, "locks").c_str());
    pidFile_ = joinPath(joinPath(instance_, "logs"), "server.pid");
    lockFile_ = joinPath(joinPath(instance_, "locks"), "server.lock");
  }
  void TearDown() override {
    stopHelper(server_);
    if (heldFd_ != -1) hostPlatform().closeDescriptor(heldFd_);
    LogFixture::TearDown();
  }
  int stop() {
    testing::internal::CaptureStderr();
    int result = stopServer(instance_.c_str());
    stderr_ = testing::internal::GetCapturedStderr();
    return result;
  }
  // Holds the lock as the server would, through another open of the file.
  void holdLock() {
    writeFile(lockFile_, "");
    heldFd_ = hostPlatform().openReadWrite(lockFile_.c_str());
    ASSERT_NE(heldFd_, -1);
    ASSERT_EQ(hostPlatform().lockFirstByte(heldFd_), 0);
  }
  std::string stillRunning() const {
    return "The server at '" + instance_ + "' is still running: it did not release the server lock.\n";
  }
  std::string noPidFile() const {
    return "File " + pidFile_ + " could not be opened.\nMost likely the server has already stopped.\n\n";
  }

  std::string instance_, pidFile_, lockFile_, stderr_;
  ProcessInformation server_ = {};
  int heldFd_ = -1;
};

const char* kUnusedPid = "2147483632\n";  // an id no test machine hands out

TEST_F(StopTest, NoPidFileAndNoLockFileCountsAsStopped) {
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(stderr_, noPidFile());
  std::string log = logText();
  EXPECT_NE(log.find("Could not locate the pid of the server running at root '" + instance_ +
                     "': relying on the server lock alone.\n"
                     "File '" + lockFile_ + "' does not exist.\n"
                     "Lock file '" + lockFile_ + "' does not exist, so the server is stopped.\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Attempting to delete"), std::string::npos);
}

TEST_F(StopTest, AStalePidAndAFreeLockRemoveThePidFile) {
  writeFile(pidFile_, kUnusedPid);
  writeFile(lockFile_, "");
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(stderr_, "");
  EXPECT_FALSE(pathExists(pidFile_));
  std::string log = logText();
  EXPECT_NE(log.find("The process with pid=2147483632 has already terminated.\n"
                     "killProcess(pid=2147483632) returning 1\n"
                     "File '" + lockFile_ + "' does exist.\n"
                     "Acquired the lock on '" + lockFile_ + "', so the server is stopped.\n"
                     "Attempting to delete the PID file from instanceDir='" + instance_ + "'.\n"
                     "Attempting to get the PID file for instanceDir='" + instance_ + "'\n"
                     "PID file name is '" + pidFile_ + "'.\n"
                     "File '" + pidFile_ + "' does exist.\n"
                     "PID file '" + pidFile_ + "' exists, attempting to remove it.\n"
                     "Successfully removed PID file: '" + pidFile_ + "'.\n"
                     "File '" + pidFile_ + "' does not exist.\n"
                     "deletePidFile('" + instance_ + "') returning 1.\n"),
            std::string::npos)
      << log;
}

TEST_F(StopTest, StopsARealServerAndRemovesItsPidFile) {
  server_ = startLockHolder(instance_);
  writeFile(pidFile_, std::to_string(server_.processId) + "\n");
  EXPECT_EQ(stop(), 0);
  EXPECT_FALSE(isRunning(server_));
  EXPECT_FALSE(pathExists(pidFile_));
  EXPECT_NE(logText().find("Acquired the lock on '" + lockFile_ + "', so the server is stopped.\n"),
            std::string::npos);
}

TEST_F(StopTest, ALockHeldThroughAll30ProbesMeansStillRunning) {
  ScopedOverride<decltype(os.Sleep)> sleep(os.Sleep, recordSleep);
  writeFile(pidFile_, kUnusedPid);
  holdLock();
  EXPECT_EQ(stop(), -1);
  EXPECT_EQ(recordedSleeps, std::vector<uint32_t>(30, 1000));
  EXPECT_EQ(stderr_, stillRunning());
  EXPECT_TRUE(pathExists(pidFile_));
  std::string expected;
  for (int left = 29; left >= 0; left--) {
    expected += "File '" + lockFile_ + "' does exist.\n";
    expected += "The server still holds the lock on '" + lockFile_ + "'.  Sleeping for 1 second and will try " +
                std::to_string(left) + " more time(s).\n";
  }
  expected += "ERROR:  The server did not release the lock on '" + lockFile_ + "'.\n";
  expected += "ERROR:  " + stillRunning() + "\n";
  std::string log = logText();
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(log.substr(log.size() - expected.size()), expected);
}

TEST_F(StopTest, ALockReleasedDuringTheWaitEndsTheStop) {
  server_ = startLockHolder(instance_, "2000");
  EXPECT_EQ(stop(), 0);
  std::string log = logText();
  EXPECT_NE(log.find("The server still holds the lock on '" + lockFile_ + "'."), std::string::npos);
  EXPECT_NE(log.find("Acquired the lock on '" + lockFile_ + "', so the server is stopped.\n"), std::string::npos);
}

int failWithEinval(int) {
  errno = EINVAL;
  return -1;
}

// What only looks like an answer is handled as the held lock is: a folder
// at the lock file's name (with the server's lock file gone elsewhere), and
// a lock that cannot be asked about (a file system without byte locks).
TEST_F(StopTest, NoEvidenceOfAStopIsHandledAsAHeldLock) {
  const struct {
    const char* what;
    bool folder;
    bool failingProbe;
    std::string line;
  } cases[] = {
      {"a folder at the name", true, false,
       "Could not open the lock file '" + lockFile_ + "' (last error 267), so the server may still hold it.\n"},
      {"no byte locks", false, true,
       "ERROR:  Unexpected error locking '" + lockFile_ + "': " + std::to_string(EINVAL) + "\n"},
  };
  for (const auto& c : cases) {
    if (c.folder) hostPlatform().makeDirectory(lockFile_.c_str());
    if (!c.folder) writeFile(lockFile_, "");
    recordedSleeps.clear();
    ScopedOverride<decltype(os.Sleep)> sleep(os.Sleep, recordSleep);
    ScopedOverride<decltype(os.probeFirstByteLock)> probe(
        os.probeFirstByteLock, c.failingProbe ? failWithEinval : hostPlatform().probeFirstByteLock);
    EXPECT_EQ(stop(), -1) << c.what;
    EXPECT_EQ(recordedSleeps, std::vector<uint32_t>(30, 1000)) << c.what;
    EXPECT_EQ(stderr_, noPidFile() + stillRunning()) << c.what;
    EXPECT_NE(logText().find(c.line), std::string::npos) << c.what;
    if (c.folder) testRemoveDirectory(lockFile_.c_str());
  }
}

// A server may share its lock file only for reading: a probe that asked for
// writing too would be refused, and must not take that for a stop.
TEST_F(StopTest, AServerSharingItsLockFileOnlyForReadingIsWaitedFor) {
  std::string ready = joinPath(instance_, "ready");
  ProcessInformation holder = startHelper("probe", {"--hold=lock-share-read", lockFile_, ready, "--sleep=60000"});
  ASSERT_TRUE(waitForFile(ready, 20000));
  ScopedOverride<decltype(os.Sleep)> sleep(os.Sleep, recordSleep);
  EXPECT_EQ(waitForLockRelease(instance_.c_str()), 0);
  EXPECT_EQ(recordedSleeps, std::vector<uint32_t>(30, 1000));
  stopHelper(holder);
}

uint32_t openFailure = 0;
int failToOpen(Handle, const char*, int) { return -1; }
uint32_t theOpenFailure() { return openFailure; }

// Only a missing file or a released lock says the server stopped: an open
// that fails for any other reason is no evidence, and counts as held.
TEST_F(StopTest, ALockFileThatCannotBeOpenedForAnotherReasonCountsAsHeld) {
  const uint32_t kNotEnoughMemory = 8;
  const uint32_t kTooManyOpenFiles = 4;
  const uint32_t failures[] = {kErrorAccessDenied, kErrorSharingViolation, kTooManyOpenFiles, kNotEnoughMemory,
                               kErrorReparsePoint, kErrorCantAccessFile};
  writeFile(lockFile_, "");
  for (uint32_t failure : failures) {
    openFailure = failure;
    recordedSleeps.clear();
    ScopedOverride<decltype(os.Sleep)> sleep(os.Sleep, recordSleep);
    ScopedOverride<decltype(os.openFileInFolder)> open(os.openFileInFolder, failToOpen);
    ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, theOpenFailure);
    EXPECT_EQ(waitForLockRelease(instance_.c_str()), 0) << failure;
    EXPECT_EQ(recordedSleeps, std::vector<uint32_t>(30, 1000)) << failure;
    std::string log = logText();
    EXPECT_NE(log.find("Could not open the lock file '" + lockFile_ + "' (last error " + std::to_string(failure) +
                       "), so the server may still hold it.\n"),
              std::string::npos)
        << failure;
    EXPECT_NE(log.find("ERROR:  The server did not release the lock on '" + lockFile_ + "'.\n"), std::string::npos);
  }
}

// A link at the locks folder is not followed, and a folder refused is no
// evidence that the server stopped: it is handled as a held lock.
std::string linkedFolder;
Handle refuseTheLinkedFolder(Handle parent, const char* name) {
  return parent != nullptr && linkedFolder == name ? Handle(nullptr) : hostPlatform().openFolderAt(parent, name);
}

TEST_F(StopTest, ALocksFolderThatIsALinkIsRefusedAndWaitedFor) {
  std::string locks = joinPath(instance_, "locks");
  openFailure = kErrorReparsePoint;
  linkedFolder = "locks";
  ScopedOverride<decltype(os.openFolderAt)> folder(os.openFolderAt, refuseTheLinkedFolder);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, theOpenFailure);
  ScopedOverride<decltype(os.Sleep)> sleep(os.Sleep, recordSleep);
  EXPECT_EQ(waitForLockRelease(instance_.c_str()), 0);
  EXPECT_EQ(recordedSleeps, std::vector<uint32_t>(30, 1000));
  EXPECT_NE(logText().find("ERROR:  The folder '" + locks + "' is a link or not a folder, so it is not used.\n"),
            std::string::npos);
  EXPECT_NE(logText().find("Could not open the lock file '" + lockFile_ + "' (last error 4395), so the server may "
                           "still hold it.\n"),
            std::string::npos);
}

// The instance directory is opened once for the whole stop: a folder
// renamed away and replaced by another meanwhile (by a user who may change
// a folder along its path) does not move the stop to the other instance.
std::string swappedDir;
Handle openThenSwap(Handle parent, const char* name) {
  Handle opened = hostPlatform().openFolderAt(parent, name);
  if (parent == nullptr && swappedDir == name) {
    swappedDir.clear();
    // Refused on Windows while the folder is held: then nothing is swapped.
    if (std::rename(name, (std::string(name) + ".moved").c_str()) == 0) {
      hostPlatform().makeDirectory(name);
      hostPlatform().makeDirectory(joinPath(name, "logs").c_str());
      writeFile(joinPath(joinPath(name, "logs"), "server.pid"), "2147483631\n");
    }
  }
  return opened;
}

TEST_F(StopTest, TheInstanceDirectoryIsOpenedOnceForTheWholeStop) {
  writeFile(pidFile_, kUnusedPid);
  swappedDir = instance_;
  ScopedOverride<decltype(os.openFolderAt)> open(os.openFolderAt, openThenSwap);
  EXPECT_EQ(stop(), 0);
  EXPECT_NE(logText().find("Read '2147483632\n' from the PID file"), std::string::npos) << logText();
  EXPECT_EQ(logText().find("2147483631"), std::string::npos);
  // Only the held instance's PID file goes.
  if (pathExists(instance_ + ".moved")) {
    EXPECT_EQ(readFile(pidFile_), "2147483631\n") << "the other instance's PID file stays";
    EXPECT_FALSE(pathExists(joinPath(joinPath(instance_ + ".moved", "logs"), "server.pid")));
  } else {
    EXPECT_FALSE(pathExists(pidFile_));
  }
}

TEST_F(StopTest, AFailedTerminationEndsTheStopQuietly) {
  ScopedOverride<decltype(os.OpenProcess)> open(os.OpenProcess, refusedOpen);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, accessDenied);
  writeFile(pidFile_, "42\n");
  EXPECT_EQ(stop(), -1);
  EXPECT_EQ(stderr_, "");
  EXPECT_TRUE(pathExists(pidFile_));
  EXPECT_EQ(logMessages().back(), "killProcess(pid=42) returning 0") << "no lock probe after a failed termination";
}

int terminations = 0;
int recordTermination(Handle, uint32_t) {
  terminations++;
  return 0;
}
Handle openAnyProcess(uint32_t, int, uint32_t) { return reinterpret_cast<Handle>(0x777); }
uint32_t theLaunchersId(Handle) { return hostPlatform().GetCurrentProcessId(); }
int closeNothing(Handle) { return 1; }

// After PID reuse a PID file can name the launcher; terminating itself, it
// would report success while the server runs.
TEST_F(StopTest, APidFileNamingTheLauncherItselfNamesNoServer) {
  ScopedOverride<decltype(os.TerminateProcess)> terminate(os.TerminateProcess, recordTermination);
  uint32_t self = hostPlatform().GetCurrentProcessId();
  std::vector<uint32_t> pids = {self};
#ifdef _WIN32
  // Windows ignores the low two bits of a process id.
  pids.push_back(self | 1);
  pids.push_back(self | 3);
#endif
  for (uint32_t pid : pids) {
    std::string id = std::to_string(pid);
    writeFile(pidFile_, id + "\n");
    terminations = 0;
    EXPECT_EQ(stop(), 0) << id;
    EXPECT_EQ(terminations, 0) << id;
    EXPECT_TRUE(pathExists(pidFile_)) << id << ": left, as for a PID file without a PID";
    EXPECT_NE(logText().find("ERROR:  The process with pid=" + id +
                             " is the launcher itself, so the PID file names no server process.\n"
                             "killProcess(pid=" + id + ") returning 2\n"
                             "Could not locate the pid of the server running at root '" + instance_ +
                             "': relying on the server lock alone.\n"),
              std::string::npos)
        << id;
  }
  // A PID that the system maps to the launcher, whatever its digits.
  ScopedOverride<decltype(os.OpenProcess)> open(os.OpenProcess, openAnyProcess);
  ScopedOverride<decltype(os.GetProcessId)> id(os.GetProcessId, theLaunchersId);
  ScopedOverride<decltype(os.CloseHandle)> close(os.CloseHandle, closeNothing);
  writeFile(pidFile_, "4243\n");
  terminations = 0;
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(terminations, 0);
  EXPECT_NE(logText().find("ERROR:  The process with pid=4243 is the launcher itself"), std::string::npos);
}

int refuseRemoval(Handle, const char*) { return -1; }

TEST_F(StopTest, APidFileThatCannotBeRemovedCostsTenAttempts) {
  ScopedOverride<decltype(os.removeFileInFolder)> remove(os.removeFileInFolder, refuseRemoval);
  ScopedOverride<decltype(os.Sleep)> sleep(os.Sleep, recordSleep);
  writeFile(pidFile_, kUnusedPid);
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(recordedSleeps, std::vector<uint32_t>(10, 500));
  std::string log = logText();
  for (int left = 9; left >= 0; left--) {
    EXPECT_NE(log.find("Failed to remove the PID file.  Sleeping for a bit.  Will try " + std::to_string(left) +
                       " more time(s).\n"),
              std::string::npos)
        << left;
  }
  EXPECT_EQ(logMessages().back(), "deletePidFile('" + instance_ + "') returning 0.");
}

TEST_F(StopTest, APidFileWithoutAPidIsLeftInPlace) {
  const char* contents[] = {"", "junk", "   ", "0"};
  for (const char* content : contents) {
    writeFile(pidFile_, content);
    EXPECT_EQ(stop(), 0) << content;
    EXPECT_TRUE(pathExists(pidFile_)) << content;
    EXPECT_EQ(logText().find("Attempting to delete"), std::string::npos) << content;
  }
}

TEST_F(StopTest, ADirectoryWithTwoDotsInItsNameCannotBeStopped) {
  std::string odd = makeScratchDir("a..b");
  testing::internal::CaptureStderr();
  EXPECT_EQ(stopServer(odd.c_str()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "The server at '" + odd + "' is still running: it did not release the server lock.\n");
  EXPECT_NE(logText().find("ERROR:  Unable to get the lock file name for instanceDir='" + odd + "'.\n"),
            std::string::npos);
}

TEST_F(StopTest, StopCommandRefusesADirectoryThatDoesNotExist) {
  std::string missing = joinPath(instance_, "missing");
  std::string typed = missing;
  char arg0[] = "launcher.exe", arg1[] = "stop";
  char* argv[] = {arg0, arg1, &typed[0], nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(stopCommand(3, argv), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "The instance directory '" + missing + "' is not valid.\n");
  EXPECT_EQ(logText().find("Attempting to get the PID"), std::string::npos);
}

}  // namespace
