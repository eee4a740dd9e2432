// Operating-system calls that only the tests and their helper programs need,
// kept out of the launcher's own table.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The current directory into buffer; its length, or 0 on failure.
uint32_t testCurrentDirectory(uint32_t size, char* buffer);
// Makes path the current directory; 0 on success.
int testChangeDirectory(const char* path);
// The process's own command line (on POSIX, the words joined with spaces).
const char* testCommandLine();
// Removes an empty directory; 0 on success.
int testRemoveDirectory(const char* path);
// Holds path open as another program would, until the process ends:
// "share-write" opens it for writing, sharing it for writing only (Windows
// sharing; natively a plain open), "lock-all" also takes an exclusive lock
// over the whole file, and "lock-share-read" opens it for reading and
// writing sharing it for reading only and locks its first byte, as a server
// may hold its lock file; "read-lock" opens it for reading only and takes a
// shared lock on its first byte, as any reader of the file may; "share-all"
// (Windows only) opens it for reading, sharing it for reading, writing and
// deletion, as a monitoring tool may; "entry-lock" (Windows only) holds the
// launcher's own entry lock on the log, as a run stopped inside its write
// would. 0 when held.
int testHoldFile(const char* path, const char* how);

// Sets the process's file-creation mask (the POSIX umask) and returns the
// one it replaces; -1, changing nothing, where the host has none (Windows).
int testSetCreationMask(int mask);
// The permission bits of path (POSIX: mode & 07777), or -1 where the host
// has none or path cannot be read.
int testPermissionBits(const char* path);

// Makes another account the owner of path (POSIX: nobody, as root;
// Windows: the Guests group, with the restore privilege where the token has
// it); 0 when done, -1 where this process may not.
int testGiveToAnotherUser(const char* path);
// Calls visit for every entry of directory path but "." and ".."; 0 when the
// directory could be read.
int testListDirectory(const char* path, void (*visit)(const char* name, int isDirectory, void* context),
                      void* context);

// Points descriptor fd (1 or 2) at the file path, created or truncated, and
// returns a copy of what fd was before, for testRestoreDescriptor; -1 when it
// cannot.
int testRedirectDescriptor(int fd, const char* path);
void testRestoreDescriptor(int fd, int saved);
// Writes text to descriptor fd; safe inside a crash handler.
void testWriteDescriptor(int fd, const char* text);
// The number of descriptors (on Windows, handles) the process holds, or -1
// when the host cannot tell.
int testOpenDescriptorCount();
// Calls note when the process is about to die of a crash, an abort or a
// sanitizer report, before the host's own report ends it.
void testOnCrash(void (*note)());
// 1 once the process has ended, without collecting how it ended: on POSIX
// a child that has ended stays a zombie.
int testHasEnded(Handle process, uint32_t processId);

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
