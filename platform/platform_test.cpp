// Checks of the host layer's own promises, where the launcher's tests
// cannot show them.
#include "platform/platform.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/test_support.h"

namespace {

#ifndef _WIN32
// kill() with 0 or a negative id signals process groups, or every process:
// the POSIX OpenProcess must never get as far as signalling such an id.
TEST(PosixOpenProcess, IdsOfZeroOrLessNameNoProcess) {
  const uint32_t ids[] = {0, 0xFFFFFFFFu, 0xFFFFFFFBu, 0x80000000u};
  for (uint32_t id : ids) {
    EXPECT_EQ(hostPlatform().OpenProcess(kProcessTerminate | kProcessQueryInformation, 0, id), nullptr) << id;
    EXPECT_EQ(hostPlatform().GetLastError(), kErrorInvalidParameter) << id;
  }
}
#endif

// A folder's files are named through its handle: created exclusively, read,
// renamed over one another and deleted there, whatever its path names later.
TEST(Folder, FilesAreOpenedRenamedAndDeletedThroughTheFolder) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("folder");
  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr) << host.GetLastError();

  int fd = host.openFileInFolder(folder, "new", kFolderFileCreateNew);
  ASSERT_NE(fd, -1) << host.GetLastError();
  EXPECT_EQ(host.writeText(fd, "42\n", 3), 0);
  EXPECT_EQ(host.closeDescriptor(fd), 0);
  // Never an existing file, so no one can hold it open beforehand.
  EXPECT_EQ(host.openFileInFolder(folder, "new", kFolderFileCreateNew), -1);

  writeFile(joinPath(dir, "old"), "7\n");
  EXPECT_EQ(host.renameInFolder(folder, "new", "old"), 0);
  EXPECT_FALSE(pathExists(joinPath(dir, "new")));
  EXPECT_EQ(readFile(joinPath(dir, "old")), hostText("42\n"));

  for (int mode : {kFolderFileRead, kFolderFileProbe}) {
    fd = host.openFileInFolder(folder, "old", mode);
    ASSERT_NE(fd, -1) << mode;
    InstanceFileInfo info;
    EXPECT_EQ(host.getInstanceFileInfo(fd, &info), 0);
    EXPECT_TRUE(info.isRegular);
    EXPECT_TRUE(info.isTrusted) << mode;
    host.closeDescriptor(fd);
  }
  EXPECT_EQ(host.removeFileInFolder(folder, "old"), 0);
  EXPECT_EQ(host.openFileInFolder(folder, "old", kFolderFileRead), -1);
  EXPECT_EQ(host.GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(host.CloseHandle(folder), 1);
}

void collectName(const char* name, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(name); }

// What start needs beside the PID file: the folder's names (to find files
// a dead start left), a write time from this system's clock (the file's own
// would be a share's), names no one can guess, and a file written in place.
TEST(Folder, ListsNamesStampsWriteTimesAndRewritesInPlace) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("folder-list");
  writeFile(joinPath(dir, "a"), "1234567\n");
  ASSERT_EQ(host.makeDirectory(joinPath(dir, "sub").c_str()), 0);
  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  std::vector<std::string> names;
  EXPECT_EQ(host.listFolder(folder, collectName, &names), 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "sub"}));

  int fd = host.openFileInFolder(folder, "a", kFolderFileRewrite);
  ASSERT_NE(fd, -1);
  EXPECT_EQ(readFile(joinPath(dir, "a")), "1234567\n") << "opening to rewrite cuts nothing";
  EXPECT_EQ(host.truncateFile(fd, 0), 0);
  EXPECT_EQ(host.writeText(fd, "8\n", 2), 0);
  EXPECT_EQ(host.stampFileWriteTime(fd), 0);
  int64_t written = 0;
  EXPECT_EQ(host.getFileWriteTime(fd, &written), 0);
  EXPECT_LE(written - host.getCurrentTime(), 1);
  EXPECT_GE(written - host.getCurrentTime(), -5);
  host.closeDescriptor(fd);
  EXPECT_EQ(readFile(joinPath(dir, "a")), hostText("8\n"));

  uint32_t first[2] = {0, 0}, second[2] = {0, 0};
  EXPECT_EQ(host.getRandomBytes(first, sizeof first), 0);
  EXPECT_EQ(host.getRandomBytes(second, sizeof second), 0);
  EXPECT_TRUE(first[0] != second[0] || first[1] != second[1]);
  host.CloseHandle(folder);
}

TEST(Folder, RefusesWhatIsNotAFolderOrNotAFile) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("folder-kinds");
  writeFile(joinPath(dir, "file"), "x");
  ASSERT_EQ(host.makeDirectory(joinPath(dir, "sub").c_str()), 0);

  EXPECT_EQ(host.openFolder(joinPath(dir, "file").c_str()), nullptr);
  EXPECT_EQ(host.GetLastError(), kErrorDirectory);
  EXPECT_EQ(host.openFolder(joinPath(dir, "absent").c_str()), nullptr);

  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  for (int mode : {kFolderFileRead, kFolderFileProbe}) {
    EXPECT_EQ(host.openFileInFolder(folder, "sub", mode), -1) << mode;
    EXPECT_EQ(host.GetLastError(), kErrorDirectory) << mode;
  }
  EXPECT_NE(host.removeFileInFolder(folder, "sub"), 0);
  EXPECT_TRUE(pathExists(joinPath(dir, "sub")));
  host.CloseHandle(folder);
}

// The log's temporary folder must be the user's own or the system's: a
// folder that another user owns is theirs to reshape.
TEST(Folder, OnlyAFolderOfTheUserOrTheSystemIsPrivate) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("folder-owner");
  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(host.isPrivateFolder(folder), 1);
  host.CloseHandle(folder);
  if (testGiveToAnotherUser(dir.c_str()) != 0) GTEST_SKIP() << "this process cannot give a folder away";
  folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(host.isPrivateFolder(folder), 0);
  host.CloseHandle(folder);
}

const char kLogName[] = "native-windows.out";

// The cap's own rule, on each host: a log of exactly 500000 bytes stays
// (not over the cap: no error either), one byte more is deleted.
TEST(LogFile, OnlyALogOverTheCapIsDeleted) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("log-cap");
  std::string log = joinPath(dir, kLogName);
  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  const struct {
    size_t size;
    int deleted;
  } cases[] = {{500000, 0}, {500001, 1}};
  for (const auto& c : cases) {
    writeFile(log, std::string(c.size, '.'));
    EXPECT_EQ(host.deleteLogOverCap(folder, kLogName, 500000), c.deleted) << c.size;
    if (!c.deleted) {
      EXPECT_EQ(host.GetLastError(), 0u) << c.size;
    }
    EXPECT_EQ(pathExists(log), c.deleted == 0) << c.size;
  }
  host.CloseHandle(folder);
}

// While a run has the log open and locked, other runs open it too and
// readers read it, but the cap's deletion is held up until the run closes
// it (Windows: the open shares no deletion; POSIX: the entry's lock).
TEST(LogFile, AnOpenLogIsSharedWithRunsAndReadersButNotDeleted) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("log-sharing");
  std::string log = joinPath(dir, kLogName);
  writeFile(log, std::string(500001, '.'));
  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  int fd = host.openLog(folder, kLogName);
  ASSERT_NE(fd, -1) << host.GetLastError();
  ASSERT_EQ(host.tryLockLog(fd), kLogLocked);
  int second = host.openLog(folder, kLogName);
  EXPECT_NE(second, -1) << host.GetLastError();
  int reader = host.openFileInFolder(folder, kLogName, kFolderFileRead);
  EXPECT_NE(reader, -1) << host.GetLastError();
  if (second != -1) host.closeLog(second);
  if (reader != -1) host.closeDescriptor(reader);

  EXPECT_EQ(host.deleteLogOverCap(folder, kLogName, 500000), 0);
  EXPECT_EQ(host.GetLastError(), kErrorSharingViolation);
  EXPECT_TRUE(pathExists(log));
  host.closeLog(fd);
  EXPECT_EQ(host.deleteLogOverCap(folder, kLogName, 500000), 1);
  EXPECT_FALSE(pathExists(log));
  host.CloseHandle(folder);
}

// The entry lock tells another run, which locks the launcher's byte alone,
// from another program locking the whole file; closing the log releases it.
TEST(LogFile, TheLockProbeTellsAnotherRunFromAStranger) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("log-lock");
  std::string log = joinPath(dir, kLogName);
  writeFile(log, "");
  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  int first = host.openLog(folder, kLogName);
  int second = host.openLog(folder, kLogName);
  ASSERT_NE(first, -1);
  ASSERT_NE(second, -1);
  EXPECT_EQ(host.tryLockLog(first), kLogLocked);
  EXPECT_EQ(host.tryLockLog(second), kLogLockedByARun);
  host.closeLog(first);
  EXPECT_EQ(host.tryLockLog(second), kLogLocked);
  host.closeLog(second);

  std::string ready = joinPath(dir, "ready");
  ProcessInformation stranger = startHelper("probe", {"--hold=lock-all", log, ready, "--sleep=60000"});
  if (waitForFile(ready, 20000)) {
    int fd = host.openLog(folder, kLogName);
    EXPECT_NE(fd, -1) << host.GetLastError();
    if (fd != -1) {
      EXPECT_EQ(host.tryLockLog(fd), kLogLockedByAStranger);
      host.closeLog(fd);
    }
  }
  stopHelper(stranger);
  host.CloseHandle(folder);
}

#ifndef _WIN32
// Links at the folder's name or a file's name are refused, never followed;
// a FIFO is not waited on, and not opened.
TEST(Folder, LinksAndFifosAreRefused) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("folder-links");
  std::string elsewhere = makeScratchDir("folder-elsewhere");
  writeFile(joinPath(elsewhere, "victim"), "1\n");
  ASSERT_EQ(symlink(elsewhere.c_str(), joinPath(dir, "linked").c_str()), 0);
  ASSERT_EQ(symlink(joinPath(elsewhere, "victim").c_str(), joinPath(dir, "victim").c_str()), 0);
  ASSERT_EQ(mkfifo(joinPath(dir, "fifo").c_str(), 0666), 0);

  for (std::string path : {joinPath(dir, "linked"), joinPath(dir, "linked") + "/"}) {
    EXPECT_EQ(host.openFolder(path.c_str()), nullptr) << path;
    EXPECT_EQ(host.GetLastError(), kErrorReparsePoint) << path;
  }
  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  for (int mode : {kFolderFileRead, kFolderFileProbe, kFolderFileCreateNew}) {
    EXPECT_EQ(host.openFileInFolder(folder, "victim", mode), -1) << mode;
    EXPECT_EQ(host.openFileInFolder(folder, "fifo", mode), -1) << mode;
  }
  EXPECT_EQ(host.openFileInFolder(folder, "victim", kFolderFileRead), -1);
  EXPECT_EQ(host.GetLastError(), kErrorReparsePoint);
  EXPECT_EQ(host.openFileInFolder(folder, "fifo", kFolderFileProbe), -1);
  EXPECT_EQ(host.GetLastError(), kErrorCantAccessFile);
  // A rename over a link replaces the link, not what it names.
  writeFile(joinPath(dir, "new"), "2\n");
  EXPECT_EQ(host.renameInFolder(folder, "new", "victim"), 0);
  EXPECT_EQ(readFile(joinPath(elsewhere, "victim")), "1\n");
  EXPECT_EQ(host.removeFileInFolder(folder, "victim"), 0);
  EXPECT_EQ(readFile(joinPath(elsewhere, "victim")), "1\n");
  host.CloseHandle(folder);
}

// What is at the log's name is told apart, so that the run can pass on: a
// link, a folder and a FIFO that no one reads are refused at the open (the
// FIFO never waited on); a FIFO that someone reads opens, and is no regular
// file. What a link names is never written.
TEST(LogFile, WhatIsNoPlainFileAtTheNameIsToldApart) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("log-kinds");
  std::string victim = joinPath(makeScratchDir("log-kinds-elsewhere"), "victim");
  writeFile(victim, "1\n");
  ASSERT_EQ(symlink(victim.c_str(), joinPath(dir, "link").c_str()), 0);
  ASSERT_EQ(symlink(joinPath(dir, "absent").c_str(), joinPath(dir, "dangling").c_str()), 0);
  ASSERT_EQ(host.makeDirectory(joinPath(dir, "folder").c_str()), 0);
  ASSERT_EQ(mkfifo(joinPath(dir, "fifo").c_str(), 0666), 0);
  Handle folder = host.openFolder(dir.c_str());
  ASSERT_NE(folder, nullptr);
  const struct {
    const char* name;
    uint32_t error;
  } cases[] = {{"link", kErrorReparsePoint},
               {"dangling", kErrorReparsePoint},
               {"folder", kErrorDirectory},
               {"fifo", kErrorCantAccessFile}};
  for (const auto& c : cases) {
    EXPECT_EQ(host.openLog(folder, c.name), -1) << c.name;
    EXPECT_EQ(host.GetLastError(), c.error) << c.name;
  }
  EXPECT_EQ(readFile(victim), "1\n");
  EXPECT_FALSE(pathExists(joinPath(dir, "absent")));

  int reader = open(joinPath(dir, "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  int fd = host.openLog(folder, "fifo");
  ASSERT_NE(fd, -1) << host.GetLastError();
  LogFileInfo info;
  ASSERT_EQ(host.getLogFileInfo(fd, &info), 0);
  EXPECT_EQ(info.isRegular, 0);
  host.closeLog(fd);
  close(reader);
  host.CloseHandle(folder);
}

// A new log is the run's own and writable by it alone, whatever the umask
// (under umask 000 a log made by the umask's leave lets every user forge
// and erase a root run's entries; under 077 no one else could read it).
TEST(LogFile, ANewLogHasMode0644WhateverTheUmask) {
  const Platform& host = hostPlatform();
  for (mode_t mask : {0000, 0022, 0077}) {
    std::string dir = makeScratchDir("log-mode");
    Handle folder = host.openFolder(dir.c_str());
    ASSERT_NE(folder, nullptr);
    mode_t saved = umask(mask);
    int fd = host.openLog(folder, kLogName);
    umask(saved);
    ASSERT_NE(fd, -1) << host.GetLastError();
    struct stat status;
    ASSERT_EQ(fstat(fd, &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u) << mask;
    EXPECT_EQ(status.st_uid, geteuid()) << mask;
    host.closeLog(fd);
    host.CloseHandle(folder);
  }
}

// The new file is the launcher's own whatever the umask.
TEST(Folder, NewFileIsOwnedAndNotWritableByOthers) {
  const Platform& host = hostPlatform();
  std::string dir = makeScratchDir("folder-mode");
  mode_t saved = umask(0);
  Handle folder = host.openFolder(dir.c_str());
  int fd = host.openFileInFolder(folder, "new", kFolderFileCreateNew);
  umask(saved);
  ASSERT_NE(fd, -1);
  struct stat status;
  ASSERT_EQ(fstat(fd, &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  EXPECT_EQ(status.st_uid, geteuid());
  host.closeDescriptor(fd);
  host.CloseHandle(folder);
}
#endif

}  // namespace
