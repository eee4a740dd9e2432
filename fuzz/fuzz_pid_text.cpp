// The PID file's text rule: base-10 strtol, clamped to 32 bits as on Windows
// (where long is 32 bits), against a parser written here from that rule.
//
// Input: any bytes; at most the first 1023 are read, as the PID file's
// reader does, and a NUL ends the text.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "instance/pid_file.h"

namespace {

bool isCSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int32_t referenceParse(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (isCSpace(*p)) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    p++;
  }
  // Accumulated as a magnitude and saturated once it passes 2^31, so no
  // arithmetic here can overflow.
  const int64_t kLimit = int64_t(1) << 31;
  int64_t magnitude = 0;
  bool anyDigit = false;
  while (*p >= '0' && *p <= '9') {
    anyDigit = true;
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (*p - '0');
    p++;
  }
  if (!anyDigit) return 0;
  if (negative) return magnitude >= kLimit ? INT32_MIN : static_cast<int32_t>(-magnitude);
  return magnitude >= kLimit ? INT32_MAX : static_cast<int32_t>(magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t kRead = kPidTextSize - 1;
  size_t n = size < kRead ? size : kRead;
  std::unique_ptr<char[]> text(new char[n + 1]);
  memcpy(text.get(), data, n);
  text[n] = '\0';
  ProcessId value = parsePidText(text.get());
  FUZZ_CHECK(value == referenceParse(text.get()));
  return 0;
}
