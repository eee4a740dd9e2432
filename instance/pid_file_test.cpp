#include "instance/pid_file.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "testing/test_platform.h"
#include "testing/test_support.h"

namespace {

class PidFileTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    instance_ = makeInstanceDir("pidfile");
    pidFile_ = joinPath(joinPath(instance_, "logs"), "server.pid");
  }
  std::string instance_;
  std::string pidFile_;
  int64_t writtenAt_ = 0;
};

// A random source that gives the same known bytes every time, after
// randomCalls calls that give others: the names a start tries can then be
// made beforehand.
int randomCalls = 0;
int knownRandom(void* buffer, uint32_t size) {
  memset(buffer, randomCalls++ > 0 ? 0x22 : 0x11, size);
  return 0;
}
// One that fails: the names differ only by their counter.
int noRandom(void*, uint32_t) { return -1; }

// The run's name for its new PID file with that random part.
std::string newName(const std::string& pidFile, const std::string& random) {
  return pidFile + "." + std::to_string(hostPlatform().GetCurrentProcessId()) + "-" + random + ".new";
}

// The names in the logs folder of an instance.
std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  testListDirectory(
      dir.c_str(),
      [](const char* name, int, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(name); },
      &names);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(PidFileTest, WritesThePidAsOneTextLine) {
  createPidFile(instance_.c_str(), 812);
  EXPECT_EQ(readFile(pidFile_), hostText("812\n"));
  EXPECT_EQ(logText(), "createPidFile(instanceDir='" + instance_ + "',pid=812)\n" +
                           "Attempting to get the PID file for instanceDir='" + instance_ + "'\n" +
                           "PID file name is '" + pidFile_ + "'.\n" + "Successfully put pid=812 in the pid file '" +
                           pidFile_ + "'.\n");
  createPidFile(instance_.c_str(), 7);
  EXPECT_EQ(readFile(pidFile_), hostText("7\n")) << "a later start overwrites the file";
}

TEST_F(PidFileTest, WithoutALogsDirectoryNothingIsWritten) {
  std::string bare = makeScratchDir("nologs");
  createPidFile(bare.c_str(), 5);
  EXPECT_EQ(logMessages().back(), "ERROR:  Couldn't create the pid file '" +
                                      joinPath(joinPath(bare, "logs"), "server.pid") +
                                      "' because the file could not be opened.");
}

TEST_F(PidFileTest, AnUnsafeDirectoryGetsNoPidFile) {
  createPidFile("a..b", 5);
  EXPECT_EQ(logMessages().back(),
            "ERROR:  Couldn't create the pid file because the pid file name could not be constructed.");
}

int diskFull(int, const char*, uint32_t) { return -1; }

TEST_F(PidFileTest, AFailedWriteIsLoggedAsAnErrorNotAsSuccess) {
  ScopedOverride<decltype(os.writeText)> full(os.writeText, diskFull);
  createPidFile(instance_.c_str(), 812);
  EXPECT_EQ(logMessages().back(), "ERROR:  Couldn't write pid=812 to the pid file '" + pidFile_ + "'.");
}

InstanceFileInfo fakeInfo;
int reportFakeInfo(int, InstanceFileInfo* info) {
  *info = fakeInfo;
  return 0;
}

// What Windows shows of a reparse point or a hard link at the name, which
// Wine cannot make (it follows Linux links itself).
const struct {
  const char* what;
  InstanceFileInfo info;
} kRefusedFiles[] = {
    {"not a regular file", {0, 1, 1}},
    {"a file with two names", {1, 2, 1}},
};

// Another user who can write the logs folder may make the PID file, and
// the new file's names, in advance and keep them open: none is reused or
// removed, so what is written through the kept descriptors reaches no PID
// file, and a name held or left there does not keep start from its own.
TEST_F(PidFileTest, StartWritesANewFileNeverOneMadeBeforehand) {
  ScopedOverride<decltype(os.getRandomBytes)> random(os.getRandomBytes, knownRandom);
  randomCalls = 0;
  const std::string planted[] = {pidFile_ + ".new", newName(pidFile_, "1111111111111111")};
  writeFile(pidFile_, "keep");
  for (const std::string& name : planted) writeFile(name, "planted");
  int keptOld = hostPlatform().openReadWrite(pidFile_.c_str());
  int keptNew = hostPlatform().openReadWrite(planted[1].c_str());
  createPidFile(instance_.c_str(), 812);
#ifdef _WIN32
  // Held open without sharing deletion, the old file can be neither
  // replaced nor removed. Here it is the launcher's own user's, so the PID
  // is written into it in place; another user's file is never written
  // (AFailedStartLeavesNoPidFileNamingAnotherProcess).
  EXPECT_EQ(readFile(pidFile_), hostText("812\n"));
  EXPECT_EQ(logMessages().back(), "Successfully put pid=812 in the pid file '" + pidFile_ + "'.");
#endif
  hostPlatform().writeText(keptOld, "4243\n", 5);
  hostPlatform().writeText(keptNew, "4243\n", 5);
  hostPlatform().closeDescriptor(keptOld);
  hostPlatform().closeDescriptor(keptNew);
  EXPECT_EQ(readFile(planted[0]), "planted") << "another's file is left alone";
  EXPECT_TRUE(pathExists(planted[1])) << "another's file is left alone";
#ifndef _WIN32
  EXPECT_EQ(readFile(pidFile_), "812\n");
  EXPECT_EQ(logMessages().back(), "Successfully put pid=812 in the pid file '" + pidFile_ + "'.");
#endif
}

int renamesRefused = 0;
int refuseRename(Handle folder, const char* from, const char* to) {
  // Renaming a file that is not there fails as a refusal does, with the
  // host's own last error (2).
  if (renamesRefused-- > 0) return hostPlatform().renameInFolder(folder, "not there", to);
  return hostPlatform().renameInFolder(folder, from, to);
}

// A PID file that cannot be replaced (held open by a program that does not
// share deletion where the system cannot replace it anyway) must not stay
// to name the old server: it is removed, and the new one takes its place
// once the name is free; where even that fails, no PID file is left.
TEST_F(PidFileTest, AnOldFileThatCannotBeReplacedIsRemoved) {
  ScopedOverride<decltype(os.renameInFolder)> rename(os.renameInFolder, refuseRename);
  const struct {
    int refused;
    const char* pidFile;  // nullptr: none
    const char* last;
  } cases[] = {
      {1, "812\n", "Successfully put pid=812 in the pid file '%s'."},
      {2, nullptr, "ERROR:  Couldn't replace the pid file '%s' (last error 2), so it was removed where it could be."},
  };
  const std::string removed =
      "Removed the old pid file '" + pidFile_ + "', so that it names no process this start did not create.";
  for (const auto& c : cases) {
    writeFile(pidFile_, "7\n");
    renamesRefused = c.refused;
    createPidFile(instance_.c_str(), 812);
    if (c.pidFile != nullptr) {
      EXPECT_EQ(readFile(pidFile_), hostText(c.pidFile)) << c.refused;
    } else {
      EXPECT_FALSE(pathExists(pidFile_)) << c.refused;
    }
    std::vector<std::string> left = namesIn(joinPath(instance_, "logs"));
    std::vector<std::string> expected;
    if (c.pidFile != nullptr) expected.push_back("server.pid");
    EXPECT_EQ(left, expected) << "no new file is left behind";
    std::string last = c.last;
    last.replace(last.find("%s"), 2, pidFile_);
    std::vector<std::string> messages = logMessages();
    EXPECT_EQ(messages.end()[c.pidFile != nullptr ? -1 : -2], last);
    if (c.pidFile == nullptr) {
      EXPECT_EQ(messages.back(), removed);
    }
  }
}

// A removal of the PID file refused with removalError, which the next
// query of the last error reports once.
uint32_t removalError = 0;
uint32_t pendingError = 0;
int refuseRemovingThePidFile(Handle folder, const char* name) {
  if (removalError == 0 || strcmp(name, "server.pid") != 0) return hostPlatform().removeFileInFolder(folder, name);
  pendingError = removalError;
  return -1;
}
uint32_t pendingOrHostError() {
  uint32_t error = pendingError != 0 ? pendingError : hostPlatform().GetLastError();
  pendingError = 0;
  return error;
}
int fullDisk(int, const char*, uint32_t) { return -1; }

// A start whose new PID file cannot be made (every name taken), written (a
// full disk) or renamed in removes the old one, which names an earlier
// process, and says so; where that cannot be removed either (another
// program holds it open without sharing deletion), the log says so plainly.
TEST_F(PidFileTest, AFailedStartLeavesNoPidFileNamingAnotherProcess) {
  const std::string removed =
      "Removed the old pid file '" + pidFile_ + "', so that it names no process this start did not create.";
  const std::string kept = "ERROR:  The old pid file '" + pidFile_ +
                           "' could be neither replaced, removed nor rewritten (last error 32): another program "
                           "holds it open. It may still name an earlier process, not the server just started.";
  const std::string rewritten = "Successfully put pid=812 in the pid file '" + pidFile_ + "'.";
  const std::string notCreated =
      "ERROR:  Couldn't create the pid file '" + pidFile_ + "' because the file could not be opened.";
  const std::string notWritten = "ERROR:  Couldn't write pid=812 to the pid file '" + pidFile_ + "'.";
  const struct {
    const char* name;
    bool namesTaken;
    bool diskFull;
    uint32_t removalError;  // 0: the old file can be removed
    std::string error, last;
    const char* left;  // what the PID file holds after, or nullptr: none
    bool untrusted = false;  // the old file is one another user could have written
  } cases[] = {
      {"every name taken", true, false, 0, notCreated, removed, nullptr},
      {"a full disk", false, true, 0, notWritten, removed, nullptr},
      // Held by a reader that shares writing, not deletion: written in place.
      {"every name taken, the old file held", true, false, 32, notCreated, rewritten, "812\n"},
      // The write in place fails too, after the file was cut.
      {"a full disk, the old file held", false, true, 32, notWritten, kept, ""},
      // Nothing is written into a file another user could have written.
      {"the old file another user's, held", true, false, 32, notCreated, kept, "7\n", true},
  };
  ScopedOverride<decltype(os.getRandomBytes)> random(os.getRandomBytes, noRandom);
  ScopedOverride<decltype(os.removeFileInFolder)> remove(os.removeFileInFolder, refuseRemovingThePidFile);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, pendingOrHostError);
  std::vector<std::string> taken;
  for (int counter = 0; counter < 16; counter++) {
    char part[32];
    snprintf(part, sizeof part, "00000000%08x", counter);
    taken.push_back(newName(pidFile_, part));
  }
  for (const auto& c : cases) {
    for (const std::string& name : taken) {
      if (c.namesTaken) {
        writeFile(name, "planted");
      } else {
        std::remove(name.c_str());
      }
    }
    writeFile(pidFile_, "7\n");
    removalError = c.removalError;
    ScopedOverride<decltype(os.writeText)> write(os.writeText, c.diskFull ? fullDisk : hostPlatform().writeText);
    fakeInfo = {1, 1, 0};
    ScopedOverride<decltype(os.getInstanceFileInfo)> info(
        os.getInstanceFileInfo, c.untrusted ? reportFakeInfo : hostPlatform().getInstanceFileInfo);
    createPidFile(instance_.c_str(), 812);
    std::vector<std::string> messages = logMessages();
    EXPECT_EQ(messages.end()[c.last == rewritten ? -3 : -2], c.error) << c.name;
    EXPECT_EQ(messages.back(), c.last) << c.name;
    EXPECT_EQ(pathExists(pidFile_), c.left != nullptr) << c.name;
    if (c.left != nullptr) {
      // The old file as the test wrote it, or as the launcher rewrote it.
      EXPECT_EQ(readFile(pidFile_), c.untrusted ? std::string(c.left) : hostText(c.left)) << c.name;
    }
    std::vector<std::string> left = namesIn(joinPath(instance_, "logs"));
    EXPECT_EQ(left.size(), (c.namesTaken ? 16u : 0u) + (c.removalError != 0 ? 1u : 0u))
        << c.name << ": no new file of the run's own is left behind";
  }
}

// Files of a start that died before it renamed its new file in (or deleted
// the old one it moved aside) are removed by a later start once that run is
// gone; those of a run still going, and names of any other form, stay.
TEST_F(PidFileTest, StartRemovesLeftoversOfRunsThatAreGone) {
  ProcessInformation live = startHelper("probe", {"--sleep=60000"});
  std::string logs = joinPath(instance_, "logs");
  std::string running = std::to_string(live.processId);
  const std::vector<std::string> gone = {"server.pid.2147483632-0123456789abcdef.new", "server.pid.2147483632-1.old"};
  const std::vector<std::string> stay = {"server.pid.new", "server.pid." + running + "-0123456789abcdef.new",
                                         "server.pid." + running + "-1.old", "server.pid.x-1.new", "other.new"};
  for (const std::string& name : gone) writeFile(joinPath(logs, name), "1\n");
  for (const std::string& name : stay) writeFile(joinPath(logs, name), "1\n");
  createPidFile(instance_.c_str(), 812);
  std::vector<std::string> expected = stay;
  expected.push_back("server.pid");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(namesIn(logs), expected);
  for (const std::string& name : gone)
    EXPECT_NE(logText().find("Removed '" + name + "', left in the logs folder by a start that is gone.\n"),
              std::string::npos)
        << name;
  stopHelper(live);
}

// Where a start moves the old PID file aside before renaming its new one in,
// the name is missing for a moment: a stop then reads the copy of a start
// that still runs (here this very process), never one whose start is gone.
TEST_F(PidFileTest, WithThePidFileMissingTheCopyARunningStartMovedAsideIsRead) {
  std::string logs = joinPath(instance_, "logs");
  std::string own = "server.pid." + std::to_string(hostPlatform().GetCurrentProcessId()) + "-0123456789abcdef.old";
  writeFile(joinPath(logs, "server.pid.2147483632-1.old"), "4444\n");
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 0) << "the copy of a start that is gone";
  writeFile(joinPath(logs, own), "4321\n");
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 4321);
  EXPECT_NE(logText().find("The pid file is being replaced by a start: reading the old one from '" + own + "'.\n"),
            std::string::npos);
  writeFile(pidFile_, "812\n");
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 812) << "the PID file itself comes first";
}

// The write time must be the file's that the PID came from: looked up by
// name afterwards it could be another file's, renamed in meanwhile.
int readDescriptor = -1;
int timedDescriptor = -2;
int readNoting(int fd, char* buffer, uint32_t size) {
  readDescriptor = fd;
  return hostPlatform().readText(fd, buffer, size);
}
int timeNoting(int fd, int64_t* seconds) {
  timedDescriptor = fd;
  return hostPlatform().getFileWriteTime(fd, seconds);
}

TEST_F(PidFileTest, TheWriteTimeComesFromTheFileThePidWasReadFrom) {
  ScopedOverride<decltype(os.readText)> read(os.readText, readNoting);
  ScopedOverride<decltype(os.getFileWriteTime)> time(os.getFileWriteTime, timeNoting);
  writeFile(pidFile_, "4321\n");
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 4321);
  EXPECT_EQ(timedDescriptor, readDescriptor);
  EXPECT_GT(writtenAt_, 1600000000) << "a time of this century";
}

TEST_F(PidFileTest, StopReadsNoPidFromAFileThatIsNotPlainOrNotTrusted) {
  ScopedOverride<decltype(os.getInstanceFileInfo)> info(os.getInstanceFileInfo, reportFakeInfo);
  writeFile(pidFile_, "4321\n");
  for (const auto& c : kRefusedFiles) {
    fakeInfo = c.info;
    EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 0) << c.what;
    EXPECT_EQ(logMessages().end()[-2], "ERROR:  The PID file '" + pidFile_ + "' is empty.") << c.what;
  }
  fakeInfo = {1, 1, 0};
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 0);
  EXPECT_EQ(logMessages().end()[-2],
            "ERROR:  The PID file '" + pidFile_ + "' is not trusted: another user could have written it.");
  EXPECT_EQ(logText().find("Read '"), std::string::npos);
}

TEST_F(PidFileTest, AFileWrittenByTheLauncherIsPlainAndTrusted) {
  createPidFile(instance_.c_str(), 812);
  Handle folder = hostPlatform().openFolder(joinPath(instance_, "logs").c_str());
  ASSERT_NE(folder, nullptr);
  int fd = hostPlatform().openFileInFolder(folder, "server.pid", kFolderFileRead);
  hostPlatform().CloseHandle(folder);
  ASSERT_NE(fd, -1);
  InstanceFileInfo info = {};
  EXPECT_EQ(hostPlatform().getInstanceFileInfo(fd, &info), 0);
  hostPlatform().closeDescriptor(fd);
  EXPECT_EQ(info.isRegular, 1);
  EXPECT_EQ(info.links, 1u);
  EXPECT_EQ(info.isTrusted, 1);
}

TEST_F(PidFileTest, PidFileNameNeedsRoomForItsTerminator) {
  const char* dir = "inst";  // 4 + 16 characters
  char buffer[64];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(getPidFileName(dir, buffer, 20), 0);
  EXPECT_EQ(buffer[0], '#') << "untouched on failure";
  EXPECT_EQ(getPidFileName(dir, buffer, 21), 1);
  EXPECT_STREQ(buffer, "inst" PATH_SEP "logs" PATH_SEP "server.pid");
  EXPECT_EQ(logText(),
            "Attempting to get the PID file for instanceDir='inst'\n"
            "ERROR:  Unable to get the PID file name because the path was too long.\n"
            "Attempting to get the PID file for instanceDir='inst'\n"
            "PID file name is 'inst" PATH_SEP "logs" PATH_SEP "server.pid'.\n");
}

TEST_F(PidFileTest, AnUnsafeDirectoryGetsNoPidFileName) {
  char buffer[1024];
  EXPECT_EQ(getPidFileName("a..b", buffer, sizeof buffer), 0);
  EXPECT_EQ(logText(),
            "Attempting to get the PID file for instanceDir='a..b'\n"
            "ERROR:  Unable to get the PID file name because the instance dir is not a safe path.\n");
}

TEST_F(PidFileTest, ADirectoryEndingInASeparatorGivesTwoSeparators) {
  char buffer[1024];
  ASSERT_EQ(getPidFileName("C:" PATH_SEP, buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "C:" PATH_SEP PATH_SEP "logs" PATH_SEP "server.pid");
}

TEST(ParsePidText, ReadsLikeBase10Strtol) {
  const struct {
    const char* text;
    ProcessId pid;
  } cases[] = {
      {"812\n", 812},          {"  \t\n812", 812},     {"812abc", 812},         {"+812", 812},
      {"-812", -812},          {"abc", 0},             {"0", 0},                {"", 0},
      {"- 5", 0},              {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
      {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"0x1F", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(parsePidText(c.text), c.pid) << c.text;
}

TEST_F(PidFileTest, GetPidReadsTheFirstLineOfTheFile) {
  writeFile(pidFile_, "4321\r\n");
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 4321);
  // The entry spans two lines: the text read keeps its line break.
  std::string read = "4321\n";
  EXPECT_EQ(logText(), "Attempting to get the PID for the server rooted at '" + instance_ + "'.\n" +
                           "Attempting to get the PID file for instanceDir='" + instance_ + "'\n" +
                           "PID file name is '" + pidFile_ + "'.\n" + "Read '" + read + "' from the PID file '" +
                           pidFile_ + "'.\n" + "getPid('" + instance_ + "') returning 4321.\n");
}

TEST_F(PidFileTest, GetPidCountsOnlyTheFirst1023Bytes) {
  writeFile(pidFile_, std::string(1022, ' ') + "12");
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 1);
}

TEST_F(PidFileTest, AnEmptyPidFileHoldsNoPid) {
  writeFile(pidFile_, "");
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 0);
  std::vector<std::string> messages = logMessages();
  EXPECT_EQ(messages[messages.size() - 2], "ERROR:  The PID file '" + pidFile_ + "' is empty.");
}

TEST_F(PidFileTest, AMissingPidFileIsReportedOnStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(getPid(instance_.c_str(), &writtenAt_), 0);
  std::string text = "File " + pidFile_ + " could not be opened.\nMost likely the server has already stopped.\n\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), text);
  std::vector<std::string> messages = logMessages();
  EXPECT_EQ(messages[messages.size() - 2], text) << "an ordinary entry";
}

}  // namespace
