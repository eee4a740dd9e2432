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

// The run's own name for its new PID file, the first it tries.
std::string firstNewName(const std::string& pidFile) {
  return pidFile + "." + std::to_string(hostPlatform().GetCurrentProcessId()) + "-0.new";
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
  const std::string planted[] = {pidFile_ + ".new", firstNewName(pidFile_)};
  writeFile(pidFile_, "keep");
  for (const std::string& name : planted) writeFile(name, "planted");
  int keptOld = hostPlatform().openReadWrite(pidFile_.c_str());
  int keptNew = hostPlatform().openReadWrite(planted[1].c_str());
  createPidFile(instance_.c_str(), 812);
  hostPlatform().writeText(keptOld, "4243\n", 5);
  hostPlatform().writeText(keptNew, "4243\n", 5);
  hostPlatform().closeDescriptor(keptOld);
  hostPlatform().closeDescriptor(keptNew);
  EXPECT_EQ(readFile(planted[0]), "planted") << "another's file is left alone";
  EXPECT_TRUE(pathExists(planted[1])) << "another's file is left alone";
#ifdef _WIN32
  // A file held open without sharing deletion can be neither removed nor
  // replaced: the PID file is not written, which is logged.
  EXPECT_NE(readFile(pidFile_), hostText("812\n"));
  EXPECT_EQ(logMessages().back().rfind("ERROR:  Couldn't ", 0), 0u) << logMessages().back();
#else
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
    EXPECT_EQ(logMessages().back(), last);
  }
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
