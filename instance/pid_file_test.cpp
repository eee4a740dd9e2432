#include "instance/pid_file.h"

#include <cstring>
#include <string>

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
};

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
// the new file's name, in advance and keep them open: neither is reused, so
// what is written through the kept descriptors reaches no PID file.
TEST_F(PidFileTest, StartWritesANewFileNeverOneMadeBeforehand) {
  writeFile(pidFile_, "keep");
  writeFile(pidFile_ + ".new", "planted");
  int keptOld = hostPlatform().openReadWrite(pidFile_.c_str());
  int keptNew = hostPlatform().openReadWrite((pidFile_ + ".new").c_str());
  createPidFile(instance_.c_str(), 812);
  hostPlatform().writeText(keptOld, "4243\n", 5);
  hostPlatform().writeText(keptNew, "4243\n", 5);
  hostPlatform().closeDescriptor(keptOld);
  hostPlatform().closeDescriptor(keptNew);
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

int refuseRename(Handle, const char*, const char*) { return -1; }

TEST_F(PidFileTest, ANewFileThatCannotBeRenamedIsRemovedAndTheOldOneKept) {
  writeFile(pidFile_, "7\n");
  ScopedOverride<decltype(os.renameInFolder)> rename(os.renameInFolder, refuseRename);
  createPidFile(instance_.c_str(), 812);
  EXPECT_EQ(readFile(pidFile_), "7\n");
  EXPECT_FALSE(pathExists(pidFile_ + ".new"));
  EXPECT_EQ(logMessages().back(), "ERROR:  Couldn't write pid=812 to the pid file '" + pidFile_ + "'.");
}

TEST_F(PidFileTest, StopReadsNoPidFromAFileThatIsNotPlainOrNotTrusted) {
  ScopedOverride<decltype(os.getInstanceFileInfo)> info(os.getInstanceFileInfo, reportFakeInfo);
  writeFile(pidFile_, "4321\n");
  for (const auto& c : kRefusedFiles) {
    fakeInfo = c.info;
    EXPECT_EQ(getPid(instance_.c_str()), 0) << c.what;
    EXPECT_EQ(logMessages().end()[-2], "ERROR:  The PID file '" + pidFile_ + "' is empty.") << c.what;
  }
  fakeInfo = {1, 1, 0};
  EXPECT_EQ(getPid(instance_.c_str()), 0);
  EXPECT_EQ(logMessages().end()[-2],
            "ERROR:  The PID file '" + pidFile_ + "' is not trusted: another user could have written it.");
  EXPECT_EQ(logText().find("Read '"), std::string::npos);
}

TEST_F(PidFileTest, AFileWrittenByTheLauncherIsPlainAndTrusted) {
  createPidFile(instance_.c_str(), 812);
  int fd = hostPlatform().openInstanceFileForRead(pidFile_.c_str());
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
  EXPECT_EQ(getPid(instance_.c_str()), 4321);
  // The entry spans two lines: the text read keeps its line break.
  std::string read = "4321\n";
  EXPECT_EQ(logText(), "Attempting to get the PID for the server rooted at '" + instance_ + "'.\n" +
                           "Attempting to get the PID file for instanceDir='" + instance_ + "'\n" +
                           "PID file name is '" + pidFile_ + "'.\n" + "Read '" + read + "' from the PID file '" +
                           pidFile_ + "'.\n" + "getPid('" + instance_ + "') returning 4321.\n");
}

TEST_F(PidFileTest, GetPidCountsOnlyTheFirst1023Bytes) {
  writeFile(pidFile_, std::string(1022, ' ') + "12");
  EXPECT_EQ(getPid(instance_.c_str()), 1);
}

TEST_F(PidFileTest, AnEmptyPidFileHoldsNoPid) {
  writeFile(pidFile_, "");
  EXPECT_EQ(getPid(instance_.c_str()), 0);
  std::vector<std::string> messages = logMessages();
  EXPECT_EQ(messages[messages.size() - 2], "ERROR:  The PID file '" + pidFile_ + "' is empty.");
}

TEST_F(PidFileTest, AMissingPidFileIsReportedOnStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(getPid(instance_.c_str()), 0);
  std::string text = "File " + pidFile_ + " could not be opened.\nMost likely the server has already stopped.\n\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), text);
  std::vector<std::string> messages = logMessages();
  EXPECT_EQ(messages[messages.size() - 2], text) << "an ordinary entry";
}

}  // namespace
