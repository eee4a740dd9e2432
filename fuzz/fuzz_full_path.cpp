// The POSIX GetFullPathNameA: lexical resolution against the current
// directory, into a heap buffer of exactly 260 bytes.
//
// Every input (cut at its first NUL) is resolved twice, into 260 and into
// 8192 bytes, and compared with a component-stack resolution written here:
// "." and empty components dropped, ".." pops one (never above the root), a
// trailing separator kept. Besides equality, the shape is checked on its own:
// absolute, terminated at the returned length, no "//", no "." or ".."
// component; and a too-small buffer returns the size needed.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/platform.h"

namespace {

const uint32_t kSmall = 260;
const uint32_t kBig = 8192;
std::string currentDir;

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      parts.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::string referenceResolve(const std::string& path) {
  std::vector<std::string> stack;
  std::vector<std::string> parts;
  if (path[0] != '/') parts = split(currentDir);
  for (const std::string& part : split(path)) parts.push_back(part);
  for (const std::string& part : parts) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!stack.empty()) stack.pop_back();
      continue;
    }
    stack.push_back(part);
  }
  if (stack.empty()) return "/";
  std::string result;
  for (const std::string& part : stack) result += "/" + part;
  if (path.back() == '/') result += '/';
  return result;
}

// The shape any resolved path must have, checked without the reference.
void checkShape(const char* text, uint32_t length) {
  FUZZ_CHECK(strlen(text) == length);
  FUZZ_CHECK(text[0] == '/');
  std::string padded(text);
  FUZZ_CHECK(padded.find("//") == std::string::npos);
  if (padded.back() != '/') padded += '/';
  FUZZ_CHECK(padded.find("/./") == std::string::npos);
  FUZZ_CHECK(padded.find("/../") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[4096];
  if (getcwd(dir, sizeof dir) == nullptr) __builtin_trap();
  currentDir = dir;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<char[]> path(new char[length + 1]);
  memcpy(path.get(), data, length);
  path[length] = '\0';

  std::unique_ptr<char[]> small(new char[kSmall]);
  std::unique_ptr<char[]> big(new char[kBig]);
  const Platform& host = hostPlatform();
  uint32_t smallResult = host.GetFullPathNameA(path.get(), kSmall, small.get());
  uint32_t bigResult = host.GetFullPathNameA(path.get(), kBig, big.get());

  // Refused: an empty path, or one that with the current directory does not
  // fit the resolver's 8192-byte work area.
  size_t joined = length + 1 + (length > 0 && path[0] != '/' ? currentDir.size() + 1 : 0);
  bool refused = length == 0 || joined > kBig;
  FUZZ_CHECK((smallResult == 0) == refused);
  FUZZ_CHECK((bigResult == 0) == refused);
  if (refused) return 0;

  const std::string expected = referenceResolve(std::string(path.get(), length));
  // The resolution never grows past the joined text, so the big buffer holds it.
  FUZZ_CHECK(bigResult < kBig);
  checkShape(big.get(), bigResult);
  FUZZ_CHECK(big.get() == expected);

  if (smallResult < kSmall) {
    checkShape(small.get(), smallResult);
    FUZZ_CHECK(smallResult == bigResult);
    FUZZ_CHECK(memcmp(small.get(), big.get(), bigResult + 1) == 0);
  } else {
    FUZZ_CHECK(smallResult == bigResult + 1);
  }
  return 0;
}
