// The tests' own operating-system calls on Windows.
#include "testing/test_platform.h"

#include <windows.h>

#include <direct.h>
#include <string.h>

uint32_t testCurrentDirectory(uint32_t size, char* buffer) { return ::GetCurrentDirectoryA(size, buffer); }

const char* testCommandLine() { return ::GetCommandLineA(); }

int testRemoveDirectory(const char* path) { return _rmdir(path); }

int testHoldFile(const char* path, const char* how) {
  HANDLE file = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  if (strcmp(how, "lock-all") != 0) return 0;
  OVERLAPPED whole;
  ZeroMemory(&whole, sizeof whole);
  return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole) ? 0
                                                                                                              : -1;
}
