// Bounded formatting into fixed-size buffers, made with the host C
// runtime's own formatter (formatHostV in platform.h): on Windows that is the
// system's, far smaller than the one MinGW would link in.
#include "platform/format.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

int formatBoundedV(char* buffer, size_t capacity, const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int n = formatHostV(buffer, capacity, format, copy);
  va_end(copy);
  if (n < 0) return -1;
  size_t length = static_cast<size_t>(n);
  if (length < capacity) return n;
  if (capacity == 0) return length == 0 ? 0 : -1;
  // The formatter spent the last byte on a terminator; this helper stores a text
  // character there instead, so format once more with room to spare.
  char scratch[4096];
  char* whole = capacity < sizeof scratch ? scratch : static_cast<char*>(malloc(capacity + 1));
  if (whole != nullptr) {
    va_copy(copy, arguments);
    formatHostV(whole, capacity + 1, format, copy);
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

int formatText(char* buffer, size_t size, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int length = formatHostV(buffer, size, format, arguments);
  va_end(arguments);
  return length;
}

void printError(const char* format, ...) {
  char text[2048];
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  int length = formatHostV(text, sizeof text, format, arguments);
  char* whole = nullptr;
  if (length >= static_cast<int>(sizeof text)) whole = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (whole != nullptr) formatHostV(whole, static_cast<size_t>(length) + 1, format, copy);
  va_end(copy);
  va_end(arguments);
  fputs(whole != nullptr ? whole : text, stderr);
  free(whole);
}
