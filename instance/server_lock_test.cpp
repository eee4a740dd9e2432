#include "instance/server_lock.h"

#include <cstdio>
#include <string>

#include "testing/test_platform.h"
#include "testing/test_support.h"

namespace {

class ServerLockTest : public LogFixture {};

TEST_F(ServerLockTest, LockFileNameNeedsRoomForItsTerminatorAndLogsOnlyRefusals) {
  char buffer[64];
  EXPECT_EQ(getLockFileName("inst", buffer, 22), 0);
  EXPECT_EQ(getLockFileName("inst", buffer, 23), 1);
  EXPECT_STREQ(buffer, "inst" PATH_SEP "locks" PATH_SEP "server.lock");
  EXPECT_EQ(getLockFileName("a..b", buffer, sizeof buffer), 0);
  EXPECT_EQ(logText(),
            "ERROR:  Unable to get the lock file name for instanceDir='inst'.\n"
            "ERROR:  Unable to get the lock file name for instanceDir='a..b'.\n");
}

TEST_F(ServerLockTest, AProbeSeesTheLockAndNeverCreatesOrChangesTheFile) {
  std::string dir = makeScratchDir("lock");
  hostPlatform().makeDirectory(joinPath(dir, "locks").c_str());
  std::string name = joinPath(joinPath(dir, "locks"), "server.lock");
  int error = 0;
  EXPECT_EQ(probeServerLock(dir.c_str(), &error), kLockFileMissing);
  EXPECT_FALSE(pathExists(name));
  writeFile(name, "keep");
  EXPECT_EQ(probeServerLock(dir.c_str(), &error), kLockFree);
  int held = hostPlatform().openReadWrite(name.c_str());
  ASSERT_NE(held, -1);
  ASSERT_EQ(hostPlatform().lockFirstByte(held), 0);
  EXPECT_EQ(probeServerLock(dir.c_str(), &error), kLockHeld);
  hostPlatform().unlockFirstByte(held);
  hostPlatform().closeDescriptor(held);
  EXPECT_EQ(readFile(name), "keep");
  EXPECT_EQ(logText(), "") << "a probe logs nothing";
}

// Anyone who may read the lock file may take a shared lock on its first
// byte; only the server's exclusive lock says that it runs.
TEST_F(ServerLockTest, AReadersSharedLockIsNotTheServers) {
  std::string dir = makeScratchDir("readlock");
  hostPlatform().makeDirectory(joinPath(dir, "locks").c_str());
  std::string name = joinPath(joinPath(dir, "locks"), "server.lock");
  writeFile(name, "");
  ASSERT_EQ(testHoldFile(name.c_str(), "read-lock"), 0);
  int error = 0;
  EXPECT_EQ(probeServerLock(dir.c_str(), &error), kLockFree);
}

// Only a missing lock file or folder is evidence: a folder at the name, a
// link or a file in the folder's place, and a lock that cannot be asked
// about say nothing either way.
TEST_F(ServerLockTest, OnlyAMissingFileIsEvidenceOfAbsence) {
  std::string dir = makeScratchDir("noevidence");
  int error = 0;
  EXPECT_EQ(probeServerLock(dir.c_str(), &error), kLockFileMissing) << "no locks folder";
  writeFile(joinPath(dir, "locks"), "a file where the folder should be");
  EXPECT_EQ(probeServerLock(dir.c_str(), &error), kLockFileUnopened);
  std::remove(joinPath(dir, "locks").c_str());
  hostPlatform().makeDirectory(joinPath(dir, "locks").c_str());
  hostPlatform().makeDirectory(joinPath(joinPath(dir, "locks"), "server.lock").c_str());
  EXPECT_EQ(probeServerLock(dir.c_str(), &error), kLockFileIsAFolder);
}

}  // namespace
