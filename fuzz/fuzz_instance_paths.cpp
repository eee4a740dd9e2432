// isSafePath and the names composed from an instance directory (the
// composition itself, the PID file's and the lock file's), on a heap buffer
// of exactly the given size.
//
// Input: two bytes choose the size, the rest (up to a NUL) is the directory.
// Size word with the top bit clear: that value modulo 4201. With the top bit
// set: the PID file name's length plus its terminator plus -4..3, to sit on
// the boundary (the lock file name is one character longer, so it is tried
// there too). A name is composed exactly when the directory has no ".." and
// the name and its terminator fit; a refusal leaves every byte untouched.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "instance/instance_dir.h"
#include "instance/pid_file.h"
#include "instance/server_lock.h"
#include "log_capture.h"

namespace {

const size_t kMaxSize = 4200;
const unsigned char kUntouched = 0xA5;

void checkName(int result, const std::string& dir, const char* suffix, const char* buffer, size_t size) {
  const std::string expected = dir + suffix;
  const bool safe = dir.find("..") == std::string::npos;
  const bool fits = expected.size() + 1 <= size;
  FUZZ_CHECK(result == (safe && fits ? 1 : 0));
  if (result == 1) {
    FUZZ_CHECK(memcmp(buffer, expected.c_str(), expected.size() + 1) == 0);
  } else {
    for (size_t i = 0; i < size; i++) FUZZ_CHECK(static_cast<unsigned char>(buffer[i]) == kUntouched);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  capture::install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  unsigned sizeWord = data[0] | (data[1] << 8);
  const char* rest = reinterpret_cast<const char*>(data + 2);
  const size_t length = strnlen(rest, size - 2);
  const std::string dir(rest, length);
  std::unique_ptr<char[]> text(new char[length + 1]);
  memcpy(text.get(), dir.c_str(), length + 1);

  size_t capacity;
  if (sizeWord & 0x8000) {
    long wanted = static_cast<long>(length + strlen("/logs/server.pid") + 1) + static_cast<long>(sizeWord & 0x7) - 4;
    capacity = wanted < 0 ? 0 : wanted > static_cast<long>(kMaxSize) ? kMaxSize : static_cast<size_t>(wanted);
  } else {
    capacity = sizeWord % (kMaxSize + 1);
  }

  FUZZ_CHECK(isSafePath(text.get()) == (dir.find("..") == std::string::npos ? 1 : 0));
  FUZZ_CHECK(isSafePath(nullptr) == 0);

  std::unique_ptr<char[]> buffer(new char[capacity]);
  memset(buffer.get(), kUntouched, capacity);
  capture::take();
  int result = getPidFileName(text.get(), buffer.get(), capacity);
  checkName(result, dir, "/logs/server.pid", buffer.get(), capacity);
  const std::vector<std::string> entries = capture::take();
  FUZZ_CHECK(entries.size() == 2);
  FUZZ_CHECK(capture::messageOf(entries[0]) == "Attempting to get the PID file for instanceDir='" + dir + "'");
  if (result == 1) FUZZ_CHECK(capture::messageOf(entries[1]) == "PID file name is '" + dir + "/logs/server.pid'.");
  if (result == 0) FUZZ_CHECK(capture::messageOf(entries[1]).rfind("ERROR:  Unable to get the PID file name", 0) == 0);

  memset(buffer.get(), kUntouched, capacity);
  result = composeInstanceFileName(text.get(), "/logs/server.pid", buffer.get(), capacity);
  checkName(result, dir, "/logs/server.pid", buffer.get(), capacity);
  FUZZ_CHECK(capture::take().empty());

  memset(buffer.get(), kUntouched, capacity);
  result = getLockFileName(text.get(), buffer.get(), capacity);
  checkName(result, dir, "/locks/server.lock", buffer.get(), capacity);
  FUZZ_CHECK(capture::take().size() == (result == 1 ? 0u : 1u));
  return 0;
}
