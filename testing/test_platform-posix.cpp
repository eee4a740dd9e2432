// The tests' own operating-system calls on a POSIX host.
#include "testing/test_platform.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

int testHoldFile(const char* path, const char* how) {
  int fd = open(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0) return -1;
  if (strcmp(how, "lock-all") != 0) return 0;
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : -1;
}
