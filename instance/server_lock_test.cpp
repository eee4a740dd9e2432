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

}  // namespace
