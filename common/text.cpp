// Heap copies of text.
#include "common/text.h"

#include <cstdlib>
#include <cstring>

char* duplicateString(const char* text) {
  size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy != nullptr) memcpy(copy, text, size);
  return copy;
}
