// The server lock file, <instanceDir>\locks\server.lock, whose first byte
// the server keeps locked while it runs.
#pragma once

#include <cstddef>

// <instanceDir>\locks\server.lock into buffer (size bytes, terminator
// included). 1 when composed; 0 when the directory is unsafe or the name
// does not fit, the buffer then untouched. Logs only its refusal.
int getLockFileName(const char* instanceDir, char* buffer, size_t size);

// What one probe of the server lock found.
enum ServerLockState {
  kLockFileMissing,   // the lock file or its folder does not exist, or the folder was refused
  kLockFileIsAFolder,  // a folder is in the lock file's place
  // It could not be opened for a reason that leaves the question open
  // (rights, no descriptors or memory, a sharing violation, a link or
  // something other than a regular file at its name).
  kLockFileUnopened,
  kLockFree,          // its first byte could be locked, and was released at once
  kLockHeld,          // another open of the file holds its first byte
  kLockFailed,        // locking failed for another reason
};

// One probe of the lock on the first byte of instanceDir's lock file, named
// through its locks folder (see openInstanceFolder): one attempt, no wait,
// logging nothing but a refused folder, and never creating, writing or
// truncating the file. For kLockFileIsAFolder and kLockFileUnopened, *error
// receives the last error; for kLockFailed, errno.
ServerLockState probeServerLock(const char* instanceDir, int* error);

// 1 when one probe finds the server lock of instanceDir held; logs nothing.
int isServerLockHeld(const char* instanceDir);
