// The test executable. Started as "--log-writer <exePath> <count> <tag>", it
// is instead one of several processes writing into one diagnostic log.
#include <cstdlib>
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "log/log.h"
#include "testing/test_support.h"

namespace {

int runLogWriter(int argc, char** argv) {
  if (argc < 5) return 2;
  setFakeModulePath(argv[2]);
  os.GetModuleFileNameA = fakeModuleFileName;
  int count = atoi(argv[3]);
  std::string longText(5200, 'x');
  for (int i = 0; i < count; i++) {
    if (i % 40 == 0) {
      logMessage("writer %s entry %d long %s end", argv[4], i, longText.c_str());
    } else {
      logMessage("writer %s entry %d short end", argv[4], i);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "--log-writer") == 0) return runLogWriter(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
