// The tests' own operating-system calls on Windows.
#include "testing/test_platform.h"

#include <windows.h>

#include <direct.h>

uint32_t testCurrentDirectory(uint32_t size, char* buffer) { return ::GetCurrentDirectoryA(size, buffer); }

const char* testCommandLine() { return ::GetCommandLineA(); }

int testRemoveDirectory(const char* path) { return _rmdir(path); }
