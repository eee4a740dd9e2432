#include "instance/server_lock.h"

#include <string>

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
  EXPECT_EQ(isServerLockHeld(dir.c_str()), 0);
  int held = hostPlatform().openReadWrite(name.c_str());
  ASSERT_NE(held, -1);
  ASSERT_EQ(hostPlatform().lockFirstByte(held), 0);
  EXPECT_EQ(probeServerLock(dir.c_str(), &error), kLockHeld);
  EXPECT_EQ(isServerLockHeld(dir.c_str()), 1);
  hostPlatform().unlockFirstByte(held);
  hostPlatform().closeDescriptor(held);
  EXPECT_EQ(readFile(name), "keep");
  EXPECT_EQ(logText(), "") << "a probe logs nothing";
}

}  // namespace
