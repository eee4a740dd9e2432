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
  kLockFileMissing,   // the lock file does not exist
  kLockFileUnopened,  // it cannot be opened for reading and writing
  kLockFree,          // its first byte could be locked, and was released at once
  kLockHeld,          // another open of the file holds its first byte
  kLockFailed,        // locking failed for another reason
};

// One probe of the lock on the first byte of lockFileName: one attempt, no
// wait, logging nothing, and never creating, writing or truncating the
// file. For kLockFileUnopened and kLockFailed, *error receives errno.
ServerLockState probeServerLock(const char* lockFileName, int* error);

// 1 when one probe finds the server lock of instanceDir held; logs nothing.
int isServerLockHeld(const char* instanceDir);
