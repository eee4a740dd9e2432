#include "instance/instance_dir.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/test_support.h"

namespace {

class InstanceDirTest : public LogFixture {
 protected:
  // resolveInstanceDir as a string; "(null)" for a refusal.
  std::string resolve(const char* path) {
    char* dir = resolveInstanceDir(path);
    std::string text = dir != nullptr ? dir : "(null)";
    free(dir);
    return text;
  }
};

TEST_F(InstanceDirTest, ResolvesAnExistingDirectoryToItsFullPath) {
  std::string dir = makeScratchDir("instance");
  EXPECT_EQ(resolve(dir.c_str()), dir);
  EXPECT_EQ(resolve(joinPath(joinPath(dir, "."), "").c_str()), joinPath(dir, "")) << "a trailing separator stays";
  EXPECT_EQ(logText(), "");
}

TEST_F(InstanceDirTest, RefusesTheBareDriveFormOnly) {
  const char* refused[] = {"C:", "x:", "1:"};
  for (const char* path : refused) {
    EXPECT_EQ(resolve(path), "(null)") << path;
    EXPECT_EQ(logMessages().back(), std::string("ERROR:  The path '") + path + "' is drive-relative.");
  }
  EXPECT_EQ(resolve(nullptr), "(null)");
}

TEST_F(InstanceDirTest, RefusesWhatIsNotADirectoryWithTheResolvedForm) {
  std::string dir = makeScratchDir("notdir");
  std::string file = joinPath(dir, "file");
  writeFile(file, "x");
  std::string missing = joinPath(dir, "missing");
  for (const std::string& path : {file, missing}) {
    EXPECT_EQ(resolve(path.c_str()), "(null)");
    EXPECT_EQ(logMessages().back(), "ERROR:  The path '" + path + "' is not an existing directory.");
  }
}

std::string fakeResolved;
uint32_t fakeFullPath(const char*, uint32_t size, char* buffer) {
  if (fakeResolved.size() >= size) return static_cast<uint32_t>(fakeResolved.size() + 1);
  memcpy(buffer, fakeResolved.c_str(), fakeResolved.size() + 1);
  return static_cast<uint32_t>(fakeResolved.size());
}
uint32_t anyDirectory(const char*) { return kFileAttributeDirectory; }
uint32_t failedResolution(const char*, uint32_t, char*) { return 0; }
uint32_t errorInvalidName() { return 123; }

// Under Wine a result of 260 or more fails outright, so the limit is
// checked through the seam.
TEST_F(InstanceDirTest, AcceptsAResolvedFormOf259CharactersAndNoMore) {
  ScopedOverride<decltype(os.GetFullPathNameA)> full(os.GetFullPathNameA, fakeFullPath);
  ScopedOverride<decltype(os.GetFileAttributesA)> attributes(os.GetFileAttributesA, anyDirectory);
  fakeResolved = std::string(259, 'd');
  EXPECT_EQ(resolve("dir"), fakeResolved);
  fakeResolved = std::string(260, 'd');
  EXPECT_EQ(resolve("dir"), "(null)");
  EXPECT_EQ(logMessages().back(), "ERROR:  The resolved form of the path 'dir' is too long (261 chars).");
}

TEST_F(InstanceDirTest, ReportsAFailedResolutionWithItsErrorCode) {
  ScopedOverride<decltype(os.GetFullPathNameA)> full(os.GetFullPathNameA, failedResolution);
  ScopedOverride<decltype(os.GetLastError)> error(os.GetLastError, errorInvalidName);
  EXPECT_EQ(resolve("bad"), "(null)");
  EXPECT_EQ(logMessages().back(), "ERROR:  Could not resolve the path 'bad'.  Last error = 123.");
}

TEST_F(InstanceDirTest, ArgumentRefusalGoesToTheLogAndStandardErrorAsTyped) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(getInstanceDirArgument("no-such-dir-here"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "The instance directory 'no-such-dir-here' is not valid.\n");
  std::vector<std::string> messages = logMessages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2].find("ERROR:  The path '"), 0u);
  EXPECT_EQ(messages.back(), "ERROR:  The instance directory 'no-such-dir-here' is not valid.\n");
}

TEST(IsSafePath, RefusesTwoDotsAnywhere) {
  const struct {
    const char* path;
    int safe;
  } cases[] = {{"C:\\srv\\a", 1}, {"C:\\srv\\..\\a", 0}, {"C:\\srv\\a..b", 0}, {"..", 0},
               {"C:\\srv\\.a", 1}, {"", 1},                 {nullptr, 0}};
  for (const auto& c : cases) EXPECT_EQ(isSafePath(c.path), c.safe) << (c.path ? c.path : "null");
}

TEST_F(InstanceDirTest, ComposesAFileNameOnlyWhenItFitsWithItsTerminatorAndLogsNothing) {
  const char* suffix = PATH_SEP "x" PATH_SEP "y";  // 4 characters
  char buffer[64];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(composeInstanceFileName("inst", suffix, buffer, 8), 0);
  EXPECT_EQ(composeInstanceFileName("a..b", suffix, buffer, sizeof buffer), 0);
  EXPECT_EQ(buffer[0], '#') << "untouched on failure";
  EXPECT_EQ(composeInstanceFileName("inst", suffix, buffer, 9), 1);
  EXPECT_STREQ(buffer, "inst" PATH_SEP "x" PATH_SEP "y");
  EXPECT_EQ(logText(), "");
}

}  // namespace
