// Bounded formatting into fixed-size buffers.
#include "common/format.h"

#include <cstdio>
#include <cstdlib>

int formatBoundedV(char* buffer, size_t capacity, const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int n = vsnprintf(buffer, capacity, format, copy);
  va_end(copy);
  if (n < 0) return -1;
  size_t length = static_cast<size_t>(n);
  if (length < capacity) return n;
  if (capacity == 0) return length == 0 ? 0 : -1;
  // vsnprintf spent the last byte on a terminator; this helper stores a text
  // character there instead, so format once more with room to spare.
  char scratch[4096];
  char* whole = capacity < sizeof scratch ? scratch : static_cast<char*>(malloc(capacity + 1));
  if (whole != nullptr) {
    va_copy(copy, arguments);
    vsnprintf(whole, capacity + 1, format, copy);
    va_end(copy);
    buffer[capacity - 1] = whole[capacity - 1];
    if (whole != scratch) free(whole);
  }
  return length == capacity ? static_cast<int>(capacity) : -1;
}

int formatBounded(char* buffer, size_t capacity, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = formatBoundedV(buffer, capacity, format, arguments);
  va_end(arguments);
  return result;
}
