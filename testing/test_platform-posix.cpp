// The tests' own operating-system calls on a POSIX host.
#include "testing/test_platform.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

uint32_t testCurrentDirectory(uint32_t size, char* buffer) {
  char text[4096];
  if (getcwd(text, sizeof text) == nullptr) return 0;
  size_t length = strlen(text);
  if (length + 1 > size) return static_cast<uint32_t>(length + 1);
  memcpy(buffer, text, length + 1);
  return static_cast<uint32_t>(length);
}

const char* testCommandLine() {
  static char text[32768];
  FILE* file = fopen("/proc/self/cmdline", "re");
  if (file == nullptr) return "";
  size_t n = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  while (n > 0 && text[n - 1] == '\0') n--;
  for (size_t i = 0; i < n; i++) {
    if (text[i] == '\0') text[i] = ' ';
  }
  text[n] = '\0';
  return text;
}

int testRemoveDirectory(const char* path) { return rmdir(path); }
