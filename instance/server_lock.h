// The server lock file, <instanceDir>\locks\server.lock, whose first byte
// the server keeps locked while it runs.
#pragma once

#include <cstddef>

// <instanceDir>\locks\server.lock into buffer (size bytes, terminator
// included). 1 when composed; 0 when the directory is unsafe or the name
// does not fit, the buffer then untouched. Logs only its refusal.
int getLockFileName(const char* instanceDir, char* buffer, size_t size);

// What one probe of the server lock found. Only a missing file and a free
// lock say that the server has stopped; the other answers say nothing
// either way.
enum ServerLockState {
  kLockFileMissing,    // the lock file or its folder does not exist
  kLockFileIsAFolder,  // a folder is in the lock file's place
  // It could not be opened for a reason that leaves the question open
  // (rights, no descriptors or memory, a sharing violation, a link or
  // something other than a regular file at its name or its folder's).
  kLockFileUnopened,
  kLockFree,    // no other open holds its first byte exclusively
  kLockHeld,    // another open holds its first byte exclusively
  kLockFailed,  // the lock could not be asked about (no byte locks there)
};

// One probe of the lock on the first byte of instanceDir's lock file, named
// through its locks folder (see openInstanceFolder): one attempt, no wait,
// logging nothing but a refused folder, opening the file for reading only,
// and never creating, writing or truncating it. For kLockFileIsAFolder and
// kLockFileUnopened, *error receives the last error; for kLockFailed, errno.
ServerLockState probeServerLock(const char* instanceDir, int* error);

// What openServerLockFile gives when there is no descriptor: the file or its
// locks folder is not there, or it could not be opened.
const int kServerLockFileMissing = -1;
const int kServerLockFileUnopened = -2;

// The lock file opened as a probe opens it (read only, through its locks
// folder), for asking which process holds it open: a descriptor the caller
// closes, or kServerLockFileMissing or kServerLockFileUnopened.
int openServerLockFile(const char* instanceDir);
