// Operating-system calls that only the tests and their helper programs need,
// kept out of the launcher's own table.
#pragma once

#include <cstdint>

// The current directory into buffer; its length, or 0 on failure.
uint32_t testCurrentDirectory(uint32_t size, char* buffer);
// The process's own command line (on POSIX, the words joined with spaces).
const char* testCommandLine();
// Removes an empty directory; 0 on success.
int testRemoveDirectory(const char* path);
// Holds path open as another program would, until the process ends:
// "share-write" opens it for writing, sharing it for writing only (Windows
// sharing; natively a plain open), "lock-all" also takes an exclusive lock
// over the whole file. 0 when held.
int testHoldFile(const char* path, const char* how);

#ifdef _WIN32
#include "platform/platform.h"

// A job object that kills its processes when its last handle closes; with
// allowBreakaway, a child created with kCreateBreakawayFromJob may leave it.
// Null on failure.
Handle testCreateKillOnCloseJob(int allowBreakaway);
// Starts commandLine inside job, from its first instruction on (created
// suspended, assigned, resumed), inheriting nothing; 1 on success.
int testCreateProcessInJob(Handle job, char* commandLine, ProcessInformation* info);
// 1 when process belongs to job, 0 when not, -1 when that cannot be told.
int testIsProcessInJob(Handle process, Handle job);
#endif
