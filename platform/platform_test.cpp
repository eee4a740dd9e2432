// Checks of the host layer's own promises, where the launcher's tests
// cannot show them.
#include "platform/platform.h"

#include "gtest/gtest.h"

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

}  // namespace
