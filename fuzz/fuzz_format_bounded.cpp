// formatBounded's three outcomes, on a heap buffer of exactly the capacity.
//
// Input: two bytes choose the capacity, the rest (up to a NUL) is the text.
// Capacity word with the top bit clear: that value modulo 10001, which
// reaches past the helper's 4096-byte scratch buffer. With the top bit set:
// the text's length plus an offset of -4..3, to sit on the boundaries.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/format.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  unsigned capacityWord = data[0] | (data[1] << 8);
  const char* rest = reinterpret_cast<const char*>(data + 2);
  const size_t n = strnlen(rest, size - 2);
  std::unique_ptr<char[]> text(new char[n + 1]);
  memcpy(text.get(), rest, n);
  text[n] = '\0';

  size_t capacity;
  if (capacityWord & 0x8000) {
    long wanted = static_cast<long>(n) + static_cast<long>(capacityWord & 0x7) - 4;
    capacity = wanted < 0 ? 0 : static_cast<size_t>(wanted);
  } else {
    capacity = capacityWord % 10001;
  }

  std::unique_ptr<char[]> buffer(new char[capacity]);
  int result = formatBounded(buffer.get(), capacity, "%s", text.get());

  if (n < capacity) {
    FUZZ_CHECK(result == static_cast<int>(n));
    FUZZ_CHECK(memcmp(buffer.get(), text.get(), n + 1) == 0);
  } else if (n == capacity) {
    FUZZ_CHECK(result == static_cast<int>(capacity));
    FUZZ_CHECK(memcmp(buffer.get(), text.get(), n) == 0);
  } else {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(memcmp(buffer.get(), text.get(), capacity) == 0);
  }
  return 0;
}
