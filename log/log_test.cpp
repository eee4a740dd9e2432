#include "log/log.h"

#include <cstring>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

class LogTest : public LogFixture {};

TEST_F(LogTest, FirstEntryOfARunIsPrecededByAnOrdinaryBanner) {
  logError("first %d", 1);
  logMessage("second");
  std::vector<std::string> messages = logMessages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], "--------------- FIRST LOG MESSAGE FROM '" + fakeExe_ + "' ---------------");
  EXPECT_EQ(messages[1], "ERROR:  first 1");
  EXPECT_EQ(messages[2], "second");
}

TEST_F(LogTest, EntryCarriesTimestampProcessTagAndHostLineEnd) {
  logError("Unknown subcommand: [%s]\n", "x");
  std::string raw = readFile(logFile());
  std::string tag = ": (pid=" + std::to_string(static_cast<int>(hostPlatform().GetCurrentProcessId())) + ")  ";
  std::string expected = tag + "ERROR:  Unknown subcommand: [x]" + hostText("\n\n");
  size_t second = raw.find(hostText("\n")) + hostText("\n").size();
  std::string entry = raw.substr(second);
  ASSERT_EQ(entry.size(), 19 + expected.size()) << entry;
  EXPECT_EQ(entry.substr(19), expected);
  // "%Y/%m/%d %H:%M:%S"
  for (size_t i = 0; i < 19; i++) {
    const char shape[] = "dddd/dd/dd dd:dd:dd";
    if (shape[i] == 'd') {
      EXPECT_TRUE(entry[i] >= '0' && entry[i] <= '9') << entry;
    } else {
      EXPECT_EQ(entry[i], shape[i]) << entry;
    }
  }
  EXPECT_LE(raw.substr(0, 19), entry.substr(0, 19)) << "banner stamped after the entry";
}

TEST_F(LogTest, LongMessageIsWrittenWhole) {
  std::string text(10000, 'm');
  text[9999] = 'z';
  logMessage("%s", text.c_str());
  EXPECT_EQ(logMessages().back(), text);
}

// Around 2048 characters, the size an entry is formatted in without the
// heap, a message keeps its last character, and an entry of any length is
// written whole (the lengths below count the whole entry on disk: header,
// message and line end). The header's length is read from a real entry.
TEST_F(LogTest, MessagesAndEntriesAroundTheFormattingBufferAreWrittenWhole) {
  logMessage("measure");
  std::string raw = readFile(logFile());
  const size_t lineEnd = hostText("\n").size();
  size_t header = logEntryHeaderLength(raw, raw.find(hostText("\n")) + lineEnd);
  ASSERT_GT(header, 0u) << raw;
  const struct {
    size_t messageLength;
    size_t entryLength;
  } cases[] = {
      {2047, 0}, {2048, 0}, {2049, 0}, {0, 2047}, {0, 2048}, {0, 2049},
  };
  for (const auto& c : cases) {
    size_t length = c.messageLength != 0 ? c.messageLength : c.entryLength - header - lineEnd;
    std::string message(length, 'm');
    message.back() = 'z';
    size_t before = readFile(logFile()).size();
    logMessage("%s", message.c_str());
    std::string where = "message " + std::to_string(length);
    EXPECT_EQ(readFile(logFile()).size() - before, header + length + lineEnd) << where;
    EXPECT_EQ(logMessages().back(), message) << where;
  }
}

const uint32_t kCap = 500000;

TEST_F(LogTest, LogOfExactlyTheCapIsAppendedTo) {
  logMessage("start");
  std::string raw = readFile(logFile());
  writeFile(logFile(), raw + std::string(kCap - raw.size(), '.'));
  logMessage("after");
  std::string now = readFile(logFile());
  EXPECT_GT(now.size(), kCap);
  EXPECT_EQ(now.compare(0, raw.size(), raw), 0);
}

TEST_F(LogTest, LogOverTheCapIsDeletedAndTheNewFileHasNoBanner) {
  logMessage("start");
  writeFile(logFile(), std::string(kCap + 1, '.'));
  logMessage("after %d", 2);
  std::vector<std::string> messages = logMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "after 2");
}

uint32_t deletionError = 0;
int failedDeletion(Handle, const char*, uint32_t) { return 0; }
uint32_t theDeletionError() { return deletionError; }

// A run that may write the log but not delete it (a folder it cannot
// change) empties it under the entry lock instead: the cap still holds, and
// the log starts again as after a deletion. A deletion that another run
// held up is not followed by emptying, which would take that run's entries
// with it: the entry goes on the end, and a later one tries again.
TEST_F(LogTest, ALogThatMayNotBeDeletedIsEmptiedInstead) {
  const struct {
    uint32_t error;
    bool emptied;
  } cases[] = {{kErrorAccessDenied, true}, {kErrorSharingViolation, false}};
  for (const auto& c : cases) {
    resetLogForTesting();
    logMessage("start");
    writeFile(logFile(), std::string(kCap + 1, '.'));
    deletionError = c.error;
    ScopedOverride<decltype(os.deleteLogOverCap)> failing(os.deleteLogOverCap, failedDeletion);
    ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, theDeletionError);
    logMessage("after %d", 2);
    if (c.emptied) {
      EXPECT_EQ(logMessages(), std::vector<std::string>{"after 2"});
    } else {
      std::string raw = readFile(logFile());
      EXPECT_EQ(raw.compare(0, kCap + 1, std::string(kCap + 1, '.')), 0) << "the log was emptied";
      EXPECT_NE(raw.find("after 2", kCap + 1), std::string::npos);
    }
  }
}

std::vector<std::string> openedPaths;
int recordOpenAndFail(Handle, const char* name) {
  openedPaths.push_back(name);
  return -1;
}
uint32_t fileNotFound() { return kErrorFileNotFound; }

TEST_F(LogTest, EachLostEntryCostsOneLineOnStandardOutput) {
  openedPaths.clear();
  ScopedOverride<decltype(os.openLog)> failing(os.openLog, recordOpenAndFail);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, fileNotFound);
  testing::internal::CaptureStdout();
  logMessage("one");
  logError("two");
  logMessage("three");
  std::string out = testing::internal::GetCapturedStdout();
  std::string line = "Could not create log file.\n";
  EXPECT_EQ(out, line + line + line + line);
  EXPECT_EQ(openedPaths.size(), 4u);
}

std::string fakeTemp;
uint32_t fakeTempPath(uint32_t size, char* buffer) {
  if (fakeTemp.size() + 1 > size) return static_cast<uint32_t>(fakeTemp.size() + 1);
  memcpy(buffer, fakeTemp.c_str(), fakeTemp.size() + 1);
  return static_cast<uint32_t>(fakeTemp.size());
}
uint32_t failingTempPath(uint32_t, char*) { return 0; }
uint32_t tooLongTempPath(uint32_t, char*) { return 260; }

// The "logs" directory under the program root is used only when it is a
// directory; otherwise the one in the temporary directory, made on demand.
TEST_F(LogTest, FallsBackToTheTemporaryDirectory) {
  const char* setups[] = {"absent", "plain file"};
  for (const char* setup : setups) {
    resetLogForTesting();
    std::string root = makeScratchDir("fallback");
    std::string bin = joinPath(root, "bin");
    hostPlatform().makeDirectory(bin.c_str());
    if (strcmp(setup, "plain file") == 0) writeFile(joinPath(root, "logs"), "not a directory");
    setFakeModulePath(joinPath(bin, "launcher.exe"));
    fakeTemp = joinPath(makeScratchDir("temp"), "");
    ScopedOverride<uint32_t (*)(uint32_t, char*)> temp(os.GetTempPathA, fakeTempPath);
    logMessage("where");
    std::string expected = joinPath(joinPath(fakeTemp, "logs"), "native-windows.out");
    ASSERT_NE(currentLogPath(), nullptr);
    EXPECT_EQ(std::string(currentLogPath()), expected) << setup;
    EXPECT_NE(readFile(expected).find("where"), std::string::npos) << setup;
  }
}

TEST_F(LogTest, WithoutATemporaryDirectoryTheLogIsInTheCurrentDirectory) {
  uint32_t (*answers[])(uint32_t, char*) = {failingTempPath, tooLongTempPath};
  for (auto answer : answers) {
    resetLogForTesting();
    setFakeModulePath(joinPath(joinPath(makeScratchDir("nologs"), "bin"), "launcher.exe"));
    ScopedOverride<uint32_t (*)(uint32_t, char*)> temp(os.GetTempPathA, answer);
    ScopedOverride<decltype(os.openLog)> open(os.openLog, recordOpenAndFail);
    ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, fileNotFound);
    testing::internal::CaptureStdout();
    logMessage("here");
    testing::internal::GetCapturedStdout();
    ASSERT_NE(currentLogPath(), nullptr);
    EXPECT_STREQ(currentLogPath(), "native-windows.out");
  }
}

TEST_F(LogTest, ExecutableInARootDirectoryLogsInTheTemporaryDirectory) {
  setFakeModulePath(PATH_SEP "launcher.exe");
  fakeTemp = joinPath(makeScratchDir("roottemp"), "");
  ScopedOverride<uint32_t (*)(uint32_t, char*)> temp(os.GetTempPathA, fakeTempPath);
  logMessage("x");
  EXPECT_EQ(std::string(currentLogPath()), joinPath(joinPath(fakeTemp, "logs"), "native-windows.out"));
}

// The temporary logs folder, and the log in it, are made writable by their
// owner alone whatever the caller's umask: made by the umask's leave, under
// umask 000 the folder would be writable by everyone, refused as a folder
// another user could shape, and every entry of the run lost; the log would
// let every user forge and erase entries.
TEST_F(LogTest, TheTemporaryLogsFolderIsTheRunsOwnUnderAnyUmask) {
  setFakeModulePath(joinPath(joinPath(makeScratchDir("umask"), "bin"), "launcher.exe"));
  fakeTemp = joinPath(makeScratchDir("umask-temp"), "");
  ScopedOverride<uint32_t (*)(uint32_t, char*)> temp(os.GetTempPathA, fakeTempPath);
  int saved = testSetCreationMask(0);
  if (saved < 0) GTEST_SKIP() << "this host has no umask";
  testing::internal::CaptureStdout();
  logMessage("one");
  logError("two");
  std::string out = testing::internal::GetCapturedStdout();
  testSetCreationMask(saved);
  std::string folder = joinPath(fakeTemp, "logs");
  EXPECT_EQ(testPermissionBits(folder.c_str()), 0755);
  EXPECT_EQ(testPermissionBits(joinPath(folder, "native-windows.out").c_str()), 0644);
  EXPECT_EQ(out, "");
  std::string log = readFile(joinPath(folder, "native-windows.out"));
  EXPECT_NE(log.find("one"), std::string::npos);
  EXPECT_NE(log.find("ERROR:  two"), std::string::npos);
}

// Where the log may go, as far as composing names goes: every folder opens
// (as the current directory) and is the run's own; folders opened and made
// are recorded.
std::vector<std::string> foldersOpened;
std::vector<std::string> foldersMade;
Handle openAnyFolder(const char* path) {
  foldersOpened.push_back(path);
  return hostPlatform().openFolder(".");
}
int privateFolder(Handle) { return 1; }
int recordMadeFolder(const char* path) {
  foldersMade.push_back(path);
  return -1;
}
std::string fakeModule;
uint32_t truncatedModulePath(char* buffer, uint32_t size) {
  snprintf(buffer, size, "%s", fakeModule.c_str());
  return size;
}

// A place whose whole log name does not fit in a path is passed over for
// the next one, and nothing is made there: the program's logs folder for
// the temporary folder's, that for the current directory.
TEST_F(LogTest, APlaceWhereTheLogNameDoesNotFitIsPassedOver) {
  const std::string name = PATH_SEP "native-windows.out";
  const struct {
    size_t rootLength;  // of the program root
    size_t tempLength;  // of the temporary folder, its separator included
    bool truncatedModule;
    const char* expected;  // "root", "temp" or "here"
  } cases[] = {
      {259 - 5 - name.size(), 100, false, "root"},
      {260 - 5 - name.size(), 100, false, "temp"},
      {240, 100, false, "temp"},
      {100, 100, true, "temp"},
      {240, 259 - 4 - name.size(), false, "temp"},
      {240, 260 - 4 - name.size(), false, "here"},
      {240, 240, false, "here"},
      {240, 250, false, "here"},
      {240, 259, false, "here"},
  };
  for (const auto& c : cases) {
    resetLogForTesting();
    std::string root = PATH_SEP + std::string(c.rootLength - 1, 'r');
    fakeModule = root + PATH_SEP "bin" PATH_SEP "launcher.exe";
    setFakeModulePath(fakeModule);
    fakeTemp = PATH_SEP + std::string(c.tempLength - 2, 't') + PATH_SEP;
    foldersOpened.clear();
    foldersMade.clear();
    ScopedOverride<decltype(os.openFolder)> open(os.openFolder, openAnyFolder);
    ScopedOverride<decltype(os.isPrivateFolder)> owner(os.isPrivateFolder, privateFolder);
    ScopedOverride<decltype(os.makeDirectory)> make(os.makeDirectory, recordMadeFolder);
    ScopedOverride<uint32_t (*)(uint32_t, char*)> temp(os.GetTempPathA, fakeTempPath);
    ScopedOverride<decltype(os.GetModuleFileNameA)> module(
        os.GetModuleFileNameA, c.truncatedModule ? truncatedModulePath : os.GetModuleFileNameA);
    ScopedOverride<decltype(os.openLog)> log(os.openLog, recordOpenAndFail);
    ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, fileNotFound);
    testing::internal::CaptureStdout();
    logMessage("x");
    testing::internal::GetCapturedStdout();
    std::string where = "root " + std::to_string(c.rootLength) + ", temporary folder " + std::to_string(c.tempLength);
    const std::string rootLogs = root + PATH_SEP "logs";
    const std::string tempLogs = fakeTemp + "logs";
    std::string expected = strcmp(c.expected, "root") == 0   ? rootLogs + name
                           : strcmp(c.expected, "temp") == 0 ? tempLogs + name
                                                             : "native-windows.out";
    ASSERT_NE(currentLogPath(), nullptr) << where;
    EXPECT_EQ(std::string(currentLogPath()), expected) << where;
    EXPECT_LE(expected.size(), 259u) << where;
    // Only places whose log name fits are opened or made.
    for (const std::string& folder : foldersOpened) {
      EXPECT_TRUE(folder == "." || folder == fakeTemp || (folder + name).size() <= 259u) << where << " " << folder;
      if (strcmp(c.expected, "root") != 0) {
        EXPECT_NE(folder, rootLogs) << where;
      }
    }
    std::vector<std::string> made;
    if (strcmp(c.expected, "temp") == 0) made.push_back(tempLogs);
    EXPECT_EQ(foldersMade, made) << where;
  }
}

// The run keeps the folder it checked for the log: a logs folder renamed
// away after the first entry and replaced by another receives nothing of
// the run (on Windows the held folder cannot be renamed at all).
TEST_F(LogTest, TheCheckedFolderHoldsForTheWholeRun) {
  fakeTemp = joinPath(makeScratchDir("held"), "");
  setFakeModulePath(joinPath(joinPath(makeScratchDir("nolog"), "bin"), "launcher.exe"));
  ScopedOverride<uint32_t (*)(uint32_t, char*)> temp(os.GetTempPathA, fakeTempPath);
  logMessage("first");
  std::string path = currentLogPath();
  Handle tempFolder = hostPlatform().openFolder(fakeTemp.c_str());
  ASSERT_NE(tempFolder, nullptr);
  int renamed = hostPlatform().renameInFolder(tempFolder, "logs", "away") == 0;
  hostPlatform().CloseHandle(tempFolder);
  if (renamed) {
    ASSERT_EQ(hostPlatform().makeDirectory(joinPath(fakeTemp, "logs").c_str()), 0);
  }
  logMessage("second");
  EXPECT_EQ(std::string(currentLogPath()), path);
  std::string held = renamed ? joinPath(joinPath(fakeTemp, "away"), "native-windows.out") : path;
  EXPECT_NE(readFile(held).find("second"), std::string::npos);
  if (renamed) {
    EXPECT_FALSE(pathExists(path)) << "an entry went to the folder put in its place";
  }
}

// A clock that moves only when the log sleeps, so that bounded waits are
// counted in requested sleeps.
uint64_t fakeNow = 1000;
uint64_t fakeTicks() { return fakeNow; }
void sleepOnFakeClock(uint32_t milliseconds) {
  recordSleep(milliseconds);
  fakeNow += milliseconds;
}
int lockAttempts = 0;
int lockAnswer = kLogLockedByAStranger;
int refusedLock(int) {
  lockAttempts++;
  return lockAnswer;
}
uint32_t sleptInAll() {
  uint32_t total = 0;
  for (uint32_t ms : recordedSleeps) total += ms;
  return total;
}

// A lock that is held until heldUntil on the fake clock, by heldBy.
int heldUntil = 0;
int heldBy = kLogLockedByARun;
int lockFreedLater(int) {
  lockAttempts++;
  return fakeNow >= static_cast<uint64_t>(heldUntil) ? kLogLocked : heldBy;
}
// A deletion over the cap that another run, or a lock on the folder or the
// log, holds up.
int capHeldUp(Handle, const char*, uint32_t) { return 0; }
uint32_t heldUpOrNothing() { return kErrorSharingViolation; }

class LogWaitTest : public LogTest {
 protected:
  LogWaitTest() { heldBy = kLogLockedByARun; }
  ScopedOverride<decltype(os.Sleep)> sleep_{os.Sleep, sleepOnFakeClock};
  ScopedOverride<decltype(os.GetTickCount64)> clock_{os.GetTickCount64, fakeTicks};
  ScopedOverride<decltype(os.tryLockLog)> lock_{os.tryLockLog, refusedLock};
};

// Another program locking the whole log costs the run one short wait; a
// lock that looks like a run's is waited for longer, but once per run, not
// per entry: a run stopped inside its write (or a reader imitating a run's
// lock) holds every other run up for 2 s at most. Either way each later
// entry tries the lock once, and the entries are written.
TEST_F(LogWaitTest, AHeldLockCostsTheRunOneWaitWhoeverHoldsIt) {
  const struct {
    int answer;
    uint32_t firstWait;
    uint32_t laterWait;
    int laterAttempts;
  } cases[] = {{kLogLockedByAStranger, 100, 0, 1}, {kLogLockedByARun, 2000, 0, 1}};
  for (const auto& c : cases) {
    resetLogForTesting();
    writeFile(logFile(), "");
    lockAnswer = c.answer;
    lockAttempts = 0;
    recordedSleeps.clear();
    logMessage("first");  // the banner's entry waits first
    EXPECT_EQ(sleptInAll(), c.firstWait) << c.answer;
    lockAttempts = 0;
    recordedSleeps.clear();
    logMessage("second");
    EXPECT_EQ(sleptInAll(), c.laterWait) << c.answer;
    EXPECT_EQ(lockAttempts, c.laterAttempts) << c.answer;
    std::vector<std::string> messages = logMessages();
    ASSERT_EQ(messages.size(), 3u) << c.answer;
    EXPECT_EQ(messages[2], "second");
  }
}

// Every wait of a run comes out of its one 2 s budget, and so does the
// short wait it grants another program's lock, whatever each call meets.
// Each call finds the lock held for a while (by a run, or by another
// program) and, where told, the log over the cap with its deletion held up:
// - a run's lock held 1.5 s at every call: the first call (the banner's
//   entry) waits it out, the second spends the rest of the 2 s and is
//   written without the lock, the third no longer waits at all;
// - a wait that gives up counts what it waited: after 1.5 s for a run's
//   lock and 100 ms for a deletion held up, a lock held for a minute gets
//   the 0.4 s left, 2 s in all (not 1.9 s more, as if only the last wait
//   counted);
// - another program (a backup or indexing tool) locking the whole log for
//   90 ms around every entry costs the run 100 ms in all: 90, the 10 left,
//   then nothing (not 90 at every entry).
// Every entry is still written.
TEST_F(LogWaitTest, EveryWaitOfARunComesOutOfOneBudget) {
  ScopedOverride<decltype(os.tryLockLog)> lock(os.tryLockLog, lockFreedLater);
  ScopedOverride<decltype(os.deleteLogOverCap)> cap(os.deleteLogOverCap, capHeldUp);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, heldUpOrNothing);
  struct Call {
    uint32_t lockHeldFor;
    int overCap;
    uint32_t expectedWait;
  };
  const Call strangerAgain = {90, 0, 0};
  const struct {
    const char* name;
    int heldBy;
    std::vector<Call> calls;
  } cases[] = {
      {"a run's lock", kLogLockedByARun, {{1500, 0, 1500}, {1500, 0, 500}, {1500, 0, 0}}},
      {"a wait that gave up", kLogLockedByARun, {{1500, 0, 1500}, {0, 1, 100}, {60000, 0, 400}}},
      {"another program's lock",
       kLogLockedByAStranger,
       {{90, 0, 90}, {90, 0, 10}, strangerAgain, strangerAgain, strangerAgain, strangerAgain, strangerAgain,
        strangerAgain, strangerAgain, strangerAgain}},
  };
  for (const auto& c : cases) {
    resetLogForTesting();
    writeFile(logFile(), "");
    heldBy = c.heldBy;
    uint32_t waitedInAll = 0;
    uint32_t expectedInAll = 0;
    for (size_t i = 0; i < c.calls.size(); i++) {
      const Call& call = c.calls[i];
      std::string where = std::string(c.name) + ", call " + std::to_string(i);
      if (call.overCap) writeFile(logFile(), std::string(kCap + 1, '.'));
      heldUntil = static_cast<int>(fakeNow + call.lockHeldFor);
      recordedSleeps.clear();
      logMessage("call %d", static_cast<int>(i));
      EXPECT_EQ(sleptInAll(), call.expectedWait) << where;
      waitedInAll += sleptInAll();
      expectedInAll += call.expectedWait;
      std::string entry = "call " + std::to_string(i) + hostText("\n");
      EXPECT_NE(readFile(logFile()).find(entry), std::string::npos) << where;
    }
    EXPECT_EQ(waitedInAll, expectedInAll) << c.name;
  }
}

// Another run's deletion, or anyone who may read the log's folder and takes
// a lock on it or on the log, holds the cap's deletion up. Those waits come
// out of the run's one budget with every other wait: a run whose lock wait
// spent most of it waits for the cap no more than what is left, later
// entries do not wait at all, and every entry is still written.
TEST_F(LogWaitTest, TheCapsWaitsComeOutOfTheRunsOneBudget) {
  ScopedOverride<decltype(os.tryLockLog)> lock(os.tryLockLog, lockFreedLater);
  ScopedOverride<decltype(os.deleteLogOverCap)> cap(os.deleteLogOverCap, capHeldUp);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, heldUpOrNothing);
  writeFile(logFile(), std::string(kCap + 1, '.'));
  heldUntil = static_cast<int>(fakeNow + 1950);
  recordedSleeps.clear();
  logMessage("first");
  EXPECT_LE(sleptInAll(), 2000u);
  EXPECT_GE(sleptInAll(), 1950u);
  for (int i = 0; i < 20; i++) {
    recordedSleeps.clear();
    logMessage("later");
    EXPECT_EQ(sleptInAll(), 0u) << i;
  }
  std::string raw = readFile(logFile());
  size_t later = 0;
  for (size_t at = raw.find("later"); at != std::string::npos; at = raw.find("later", at + 1)) later++;
  EXPECT_EQ(later, 20u);
}

// With the budget to spare, a deletion held up costs one short wait, once
// per run: the log grows past the cap while it is held, and no entry waits.
TEST_F(LogWaitTest, ACapHeldUpCostsTheRunOneShortWait) {
  ScopedOverride<decltype(os.tryLockLog)> lock(os.tryLockLog, hostPlatform().tryLockLog);
  ScopedOverride<decltype(os.deleteLogOverCap)> cap(os.deleteLogOverCap, capHeldUp);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, heldUpOrNothing);
  writeFile(logFile(), std::string(kCap + 1, '.'));
  recordedSleeps.clear();
  logMessage("first");
  EXPECT_EQ(sleptInAll(), 100u);
  recordedSleeps.clear();
  for (int i = 0; i < 5; i++) logMessage("later");
  EXPECT_EQ(sleptInAll(), 0u);
  std::string raw = readFile(logFile());
  size_t later = 0;
  for (size_t at = raw.find("later"); at != std::string::npos; at = raw.find("later", at + 1)) later++;
  EXPECT_EQ(later, 5u);
  EXPECT_GT(raw.size(), kCap + 1) << "written after the old text";
}

int sharingViolations = 0;
int openHeldForDeletion(Handle, const char*) {
  sharingViolations++;
  return -1;
}
uint32_t sharingViolation() { return kErrorSharingViolation; }

// A log being deleted by another run refuses opens for a moment: the open
// is retried for 50 ms, once per run; later entries try once.
TEST_F(LogWaitTest, AnOpenRefusedForSharingIsRetriedBrieflyOncePerRun) {
  ScopedOverride<decltype(os.openLog)> open(os.openLog, openHeldForDeletion);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, sharingViolation);
  testing::internal::CaptureStdout();
  logMessage("first");
  uint32_t firstWait = sleptInAll();
  sharingViolations = 0;
  logMessage("second");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(firstWait, 50u);
  EXPECT_EQ(sharingViolations, 1);
  EXPECT_EQ(sleptInAll(), 50u);
  std::string line = "Could not create log file.\n";
  EXPECT_EQ(out, line + line + line);
}

// Folders the log opens, by the handle they opened as, so that fakes can
// tell the places apart; and the folders whose privacy the log asked about.
std::vector<std::pair<Handle, std::string>> openedFolders;
std::vector<std::string> privacyAsked;
int privateAnswer = 1;
std::string folderPathOf(Handle folder) {
  for (size_t i = openedFolders.size(); i-- > 0;) {
    if (openedFolders[i].first == folder) return openedFolders[i].second;
  }
  return "";
}
Handle recordingOpenFolder(const char* path) {
  Handle folder = hostPlatform().openFolder(path);
  if (folder != nullptr) openedFolders.emplace_back(folder, path);
  return folder;
}
int answerPrivacy(Handle folder) {
  privacyAsked.push_back(folderPathOf(folder));
  return privateAnswer;
}

// Runs a test in a scratch current directory, the log's last place, and
// goes back to the test's own afterwards.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& path) {
    char saved[kMaxPath];
    if (testCurrentDirectory(sizeof saved, saved) > 0) saved_ = saved;
    EXPECT_EQ(testChangeDirectory(path.c_str()), 0) << path;
  }
  ~ScopedCurrentDirectory() {
    if (!saved_.empty()) testChangeDirectory(saved_.c_str());
  }

 private:
  std::string saved_;
};

// The places as they ship: the program's own logs folder is used whenever
// it exists, whatever its access (Program Files, ProgramData), and so is the
// current directory (System32 for a scheduled task); only the temporary
// logs folder is judged, by its own owner and access, not by the temporary
// folder's (C:\Windows\Temp lets every user add files).
TEST_F(LogTest, OnlyTheTemporaryLogsFolderIsJudgedAndByItself) {
  const struct {
    bool programLogs;
    int logsPrivate;
    const char* expected;  // "root", "temp" or "here"
  } cases[] = {
      {true, 0, "root"},
      {true, 1, "root"},
      {false, 1, "temp"},
      {false, 0, "here"},
  };
  for (const auto& c : cases) {
    resetLogForTesting();
    std::string root = makeScratchDir("places");
    hostPlatform().makeDirectory(joinPath(root, "bin").c_str());
    if (c.programLogs) hostPlatform().makeDirectory(joinPath(root, "logs").c_str());
    setFakeModulePath(joinPath(joinPath(root, "bin"), "launcher.exe"));
    fakeTemp = joinPath(makeScratchDir("places-temp"), "");
    std::string here = makeScratchDir("places-here");
    ScopedCurrentDirectory cwd(here);
    openedFolders.clear();
    privacyAsked.clear();
    privateAnswer = c.logsPrivate;
    ScopedOverride<uint32_t (*)(uint32_t, char*)> temp(os.GetTempPathA, fakeTempPath);
    ScopedOverride<decltype(os.openFolder)> open(os.openFolder, recordingOpenFolder);
    ScopedOverride<decltype(os.isPrivateFolder)> privacy(os.isPrivateFolder, answerPrivacy);
    testing::internal::CaptureStdout();
    logMessage("one");
    logError("two");
    std::string out = testing::internal::GetCapturedStdout();
    std::string where = std::string(c.expected) + (c.logsPrivate ? ", private" : ", refused");
    const std::string tempLogs = fakeTemp + "logs";
    std::string expected = strcmp(c.expected, "root") == 0   ? joinPath(joinPath(root, "logs"), "native-windows.out")
                           : strcmp(c.expected, "temp") == 0 ? joinPath(tempLogs, "native-windows.out")
                                                             : "native-windows.out";
    EXPECT_EQ(out, "") << where;
    ASSERT_NE(currentLogPath(), nullptr) << where;
    EXPECT_EQ(std::string(currentLogPath()), expected) << where;
    std::string log = readFile(strcmp(c.expected, "here") == 0 ? joinPath(here, "native-windows.out") : expected);
    EXPECT_NE(log.find("ERROR:  two"), std::string::npos) << where;
    std::vector<std::string> asked;
    if (!c.programLogs) asked.push_back(tempLogs);
    EXPECT_EQ(privacyAsked, asked) << where;
  }
}

// How the log's name is refused: at the open (a link, a folder, a FIFO no
// one reads), or once open (a FIFO someone reads, a second name of another
// file, a log another user made first).
uint32_t refusedOpenError = 0;
int refusedInfo = 0;  // which field of LogFileInfo the fake gets wrong
enum { kInfoFine, kInfoNotRegular, kInfoSecondLink, kInfoForeign };
int placesRefused = 0;  // the first so many places refuse the name
std::vector<std::string> logOpens;  // the folder of every open of the log
uint32_t pendingError = 0;
bool lastOpenRefused = false;

bool isRefusingPlace(Handle folder) {
  std::string path = folderPathOf(folder);
  int place = path == "." ? 3 : path == fakeTemp + "logs" ? 2 : 1;
  return place <= placesRefused;
}
int openRefusingLog(Handle folder, const char* name) {
  logOpens.push_back(folderPathOf(folder));
  lastOpenRefused = isRefusingPlace(folder);
  if (lastOpenRefused && refusedOpenError != 0) {
    pendingError = refusedOpenError;
    return -1;
  }
  return hostPlatform().openLog(folder, name);
}
int refusingLogInfo(int fd, LogFileInfo* info) {
  int result = hostPlatform().getLogFileInfo(fd, info);
  if (!lastOpenRefused) return result;
  if (refusedInfo == kInfoNotRegular) info->isRegular = 0;
  if (refusedInfo == kInfoSecondLink) info->links = 2;
  if (refusedInfo == kInfoForeign) info->isOwn = 0;
  return result;
}
uint32_t pendingOrHostError() {
  uint32_t error = pendingError;
  pendingError = 0;
  return error != 0 ? error : hostPlatform().GetLastError();
}

// A log name the launcher refuses passes the run on to the next place, for
// the rest of the run: no entry is lost while a place is left, nothing is
// written into what was planted, and the refused name is not tried again.
// Only when every place refuses are the entries lost, one line each.
TEST_F(LogTest, ARefusedLogNamePassesTheRunOnToTheNextPlace) {
  const struct {
    const char* what;
    uint32_t openError;
    int info;
    int places;
  } cases[] = {
      {"link", kErrorReparsePoint, kInfoFine, 1},
      {"folder", kErrorDirectory, kInfoFine, 1},
      {"FIFO no one reads", kErrorCantAccessFile, kInfoFine, 1},
      {"FIFO someone reads", 0, kInfoNotRegular, 1},
      {"second link", 0, kInfoSecondLink, 1},
      {"another user's log", 0, kInfoForeign, 1},
      {"link", kErrorReparsePoint, kInfoFine, 2},
      {"another user's log", 0, kInfoForeign, 2},
      {"link", kErrorReparsePoint, kInfoFine, 3},
      {"another user's log", 0, kInfoForeign, 3},
  };
  for (const auto& c : cases) {
    resetLogForTesting();
    writeFile(logFile(), "someone else's file\n");
    fakeTemp = joinPath(makeScratchDir("refusal-temp"), "");
    std::string here = makeScratchDir("refusal-here");
    ScopedCurrentDirectory cwd(here);
    openedFolders.clear();
    logOpens.clear();
    refusedOpenError = c.openError;
    refusedInfo = c.info;
    placesRefused = c.places;
    ScopedOverride<uint32_t (*)(uint32_t, char*)> temp(os.GetTempPathA, fakeTempPath);
    ScopedOverride<decltype(os.openFolder)> open(os.openFolder, recordingOpenFolder);
    ScopedOverride<decltype(os.openLog)> openLog(os.openLog, openRefusingLog);
    ScopedOverride<decltype(os.getLogFileInfo)> info(os.getLogFileInfo, refusingLogInfo);
    ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, pendingOrHostError);
    testing::internal::CaptureStdout();
    logMessage("one");
    logError("two");
    std::string out = testing::internal::GetCapturedStdout();
    std::string where = std::string(c.what) + " in " + std::to_string(c.places) + " place(s)";
    EXPECT_EQ(readFile(logFile()), "someone else's file\n") << where;
    // One open of each refusing place, then the place's own.
    EXPECT_EQ(logOpens.size(), c.places < 3 ? static_cast<size_t>(c.places) + 3 : 3u) << where;
    if (c.places == 3) {
      EXPECT_EQ(out, "Could not create log file.\nCould not create log file.\nCould not create log file.\n") << where;
      continue;
    }
    EXPECT_EQ(out, "") << where;
    std::string log = c.places == 1 ? joinPath(joinPath(fakeTemp, "logs"), "native-windows.out")
                                    : joinPath(here, "native-windows.out");
    std::string written = readFile(log);
    EXPECT_NE(written.find("FIRST LOG MESSAGE FROM"), std::string::npos) << where;
    EXPECT_NE(written.find("one"), std::string::npos) << where;
    EXPECT_NE(written.find("ERROR:  two"), std::string::npos) << where;
  }
}

std::string otherRunsEntry;
std::string capturedLogFile;
int deleteWhileAnotherRunWrites(Handle folder, const char* name, uint32_t cap) {
  // Another run deletes the oversized log first and writes its own entries
  // into a new file; only then does this run get to its deletion.
  hostPlatform().deleteLogOverCap(folder, name, cap);
  writeFile(capturedLogFile, otherRunsEntry);
  return hostPlatform().deleteLogOverCap(folder, name, cap);
}

// The cap deletes a file only while it is over the cap: a run that measured
// an oversized log and was overtaken by another run's deletion does not
// delete the other run's new file.
TEST_F(LogTest, TheCapNeverDeletesAFileThatIsNotOverIt) {
  logMessage("start");
  otherRunsEntry = readFile(logFile());
  capturedLogFile = logFile();
  writeFile(logFile(), std::string(kCap + 1, '.'));
  ScopedOverride<decltype(os.deleteLogOverCap)> overtaken(os.deleteLogOverCap, deleteWhileAnotherRunWrites);
  logMessage("after");
  std::vector<std::string> messages = logMessages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2], "after");
  EXPECT_EQ(readFile(logFile()).compare(0, otherRunsEntry.size(), otherRunsEntry), 0);
}

void countEntry(const char* name, int, void* count) {
  if (strncmp(name, "native-windows.out", 18) == 0) ++*static_cast<int*>(count);
}

// A reader that holds the log open sharing deletion (a tail tool) does not
// stop the cap: the name goes at once, so that the next entries start a new
// file instead of being refused or lost with the old one, and nothing of the
// old one is left once the reader closes it.
TEST_F(LogTest, AReaderHoldingTheLogDoesNotKeepItsName) {
  logMessage("start");
  writeFile(logFile(), std::string(kCap + 1, '.'));
  std::string logs = logFile().substr(0, logFile().size() - strlen(PATH_SEP "native-windows.out"));
  Handle folder = hostPlatform().openFolder(logs.c_str());
  ASSERT_NE(folder, nullptr);
  int reader = hostPlatform().openFileInFolder(folder, "native-windows.out", kFolderFileProbe);
  ASSERT_GE(reader, 0);
  logMessage("after");
  logMessage("and on");
  std::vector<std::string> messages = logMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "after");
  EXPECT_EQ(messages[1], "and on");
  hostPlatform().closeDescriptor(reader);
  hostPlatform().CloseHandle(folder);
  int logFiles = 0;
  ASSERT_EQ(testListDirectory(logs.c_str(), countEntry, &logFiles), 0);
  EXPECT_EQ(logFiles, 1) << "a renamed or doomed log was left beside the new one";
}

int deletions = 0;
int lockAfterAnotherRunDeleted(int fd) {
  // Another run deletes the file between this run's open and its lock.
  if (deletions++ == 0) std::remove(capturedLogFile.c_str());
  return hostPlatform().tryLockLog(fd);
}

// A run that opened the log just before another run deleted it writes its
// entry into the new file, not into the deleted one. (On Windows the open
// log cannot be deleted at all.)
TEST_F(LogTest, AnEntryForADeletedFileGoesToTheNewOne) {
  logMessage("start");
  capturedLogFile = logFile();
  deletions = 0;
  ScopedOverride<decltype(os.tryLockLog)> lock(os.tryLockLog, lockAfterAnotherRunDeleted);
  logMessage("after");
  EXPECT_EQ(logMessages().back(), "after");
}

int infoCalls = 0;
int newFileDeletedByAnotherRun(int fd, LogFileInfo* info) {
  int result = hostPlatform().getLogFileInfo(fd, info);
  // The second open is of the new file, which another run deletes over the
  // cap before this run writes. Reported through the seam: on Windows the
  // open log cannot be deleted.
  if (++infoCalls == 2) info->links = 0;
  return result;
}

// One entry may open the log three times: the log is over the cap, and the
// new file is deleted by another run between this run's open and its write.
// The entry then goes to the file that is there now.
TEST_F(LogTest, AnEntryOutlivesTheCapAndAnotherRunsDeletion) {
  logMessage("start");
  writeFile(logFile(), std::string(kCap + 1, '.'));
  infoCalls = 0;
  ScopedOverride<decltype(os.getLogFileInfo)> info(os.getLogFileInfo, newFileDeletedByAnotherRun);
  testing::internal::CaptureStdout();
  logMessage("after");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(infoCalls, 3);
  EXPECT_EQ(logMessages(), std::vector<std::string>{"after"});
}

std::string deletedLog;
int deletedLeavingACopy(Handle, const char*, uint32_t) {
  std::remove(deletedLog.c_str());
  return 1;
}
uint32_t copyNotDeleted() { return kErrorAccessDenied; }

// Where the log's deletion had to rename it aside and that copy could not
// be deleted (a reader held it without sharing deletion), the run says so
// once, after the entry under way, which starts the new log.
TEST_F(LogTest, ACopyLeftAsideIsReportedOnce) {
  logMessage("start");
  writeFile(logFile(), std::string(kCap + 1, '.'));
  deletedLog = logFile();
  ScopedOverride<decltype(os.deleteLogOverCap)> cap(os.deleteLogOverCap, deletedLeavingACopy);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, copyNotDeleted);
  logMessage("after");
  logMessage("later");
  EXPECT_EQ(logMessages(), (std::vector<std::string>{
                               "after",
                               "ERROR:  Could not delete the copy of the log renamed aside for its deletion (last "
                               "error 5); a later deletion removes it.",
                               "later"}));
}

int64_t in2040() { return 2224756800; /* 2040-07-01 12:00 UTC */ }

TEST_F(LogTest, TimeStampsSurvive2038) {
  ScopedOverride<decltype(os.getCurrentTime)> clock(os.getCurrentTime, in2040);
  logMessage("later");
  EXPECT_EQ(readFile(logFile()).substr(0, 11), "2040/07/01 ");
}

int halfThenDiskFull(int fd, const char* text, uint32_t length) {
  hostPlatform().appendToLog(fd, text, length / 2);
  return -1;
}
int unconvertibleTime(int64_t, struct tm*) { return -1; }

// An entry whose write fails part-way is taken back whole, and one whose
// time cannot be converted still starts like an entry: either way the log
// holds only whole entries that a reader can tell apart.
TEST_F(LogTest, FailedWritesAndClocksLeaveOnlyWholeEntries) {
  logMessage("before");
  {
    ScopedOverride<decltype(os.appendToLog)> full(os.appendToLog, halfThenDiskFull);
    testing::internal::CaptureStdout();
    logMessage("lost %s", std::string(300, 'x').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not create log file.\n");
  }
  {
    ScopedOverride<decltype(os.toLocalTime)> clock(os.toLocalTime, unconvertibleTime);
    logMessage("timeless");
  }
  logMessage("after");
  std::vector<std::string> messages = logMessages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[1], "before");
  EXPECT_EQ(messages[2], "timeless");
  EXPECT_EQ(messages[3], "after");
  EXPECT_NE(readFile(logFile()).find("0000/00/00 00:00:00: (pid="), std::string::npos);
}

const char kOtherRunsEntry[] = "2024/01/01 00:00:00: (pid=1)  another run's entry\n";
int halfThenAnotherRunThenDiskFull(int fd, const char* text, uint32_t length) {
  hostPlatform().appendToLog(fd, text, length / 2);
  // Only a run that does not hold the lock can be overtaken here.
  if (lockAnswer != kLogLocked) hostPlatform().appendToLog(fd, kOtherRunsEntry, sizeof kOtherRunsEntry - 1);
  return -1;
}

// A write that fails part-way is cut back to the size measured before it
// only under the entry lock: without the lock another run may have written
// after it, and the cut would take that run's entry too.
TEST_F(LogWaitTest, AFailedWriteIsCutBackOnlyUnderTheLock) {
  const struct {
    int answer;
    bool cutBack;
  } cases[] = {{kLogLocked, true}, {kLogLockedByAStranger, false}};
  for (const auto& c : cases) {
    resetLogForTesting();
    writeFile(logFile(), "");
    lockAnswer = kLogLocked;
    logMessage("before");
    std::string before = readFile(logFile());
    lockAnswer = c.answer;
    {
      ScopedOverride<decltype(os.appendToLog)> full(os.appendToLog, halfThenAnotherRunThenDiskFull);
      testing::internal::CaptureStdout();
      logMessage("lost %s", std::string(300, 'x').c_str());
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not create log file.\n") << c.answer;
    }
    std::string after = readFile(logFile());
    if (c.cutBack) {
      EXPECT_EQ(after, before);
    } else {
      EXPECT_GT(after.size(), before.size());
      EXPECT_EQ(after.substr(after.size() - strlen(kOtherRunsEntry)), kOtherRunsEntry)
          << "the cut took another run's entry";
    }
  }
}

// Several processes writing into one log at once: every entry arrives
// exactly once and whole.
TEST_F(LogTest, ConcurrentWritersNeitherLoseNorTearEntries) {
  const int kWriters = 8;
  const int kEntries = 200;
  std::vector<ProcessInformation> writers;
  for (int w = 0; w < kWriters; w++) {
    writers.push_back(
        startHelper("launcher_tests", {"--log-writer", fakeExe_, std::to_string(kEntries), "w" + std::to_string(w)}));
  }
  for (ProcessInformation& writer : writers) {
    EXPECT_EQ(waitForExit(writer.process, 60000), 0u) << "a writer failed or never ended";
    stopHelper(writer);
  }
  std::vector<std::vector<int>> seen(kWriters, std::vector<int>(kEntries, 0));
  std::string longText(5200, 'x');
  int banners = 0;
  for (const std::string& message : logMessages()) {
    if (message.compare(0, 16, "--------------- ") == 0) {
      banners++;
      continue;
    }
    int w = -1, i = -1;
    char kind[8] = {0};
    ASSERT_EQ(sscanf(message.c_str(), "writer w%d entry %d %7s", &w, &i, kind), 3) << message.substr(0, 80);
    ASSERT_TRUE(w >= 0 && w < kWriters && i >= 0 && i < kEntries) << message.substr(0, 80);
    std::string prefix = "writer w" + std::to_string(w) + " entry " + std::to_string(i);
    std::string expected = i % 40 == 0 ? prefix + " long " + longText + " end" : prefix + " short end";
    EXPECT_EQ(message, expected) << "torn entry";
    seen[w][i]++;
  }
  EXPECT_EQ(banners, kWriters);
  for (int w = 0; w < kWriters; w++) {
    for (int i = 0; i < kEntries; i++) EXPECT_EQ(seen[w][i], 1) << "writer " << w << " entry " << i;
  }
}

}  // namespace
