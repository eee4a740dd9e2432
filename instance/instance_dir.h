#pragma once

#include <cstddef>

// The instance directory named on the command line, as an absolute path of
// at most 259 characters that named an existing directory: a heap string the
// caller releases with free, or null when refused (the reason is logged).
char* resolveInstanceDir(const char* path);

// resolveInstanceDir for start and stop: a refusal is also reported, with
// the argument as typed, in the log and on standard error.
char* getInstanceDirArgument(const char* argument);

// 1 when path is not null and holds no "..", anywhere; else 0.
int isSafePath(const char* path);

// <instanceDir>\logs\server.pid into buffer (size bytes, terminator
// included). 1 when composed; 0 when the directory is unsafe or the name
// does not fit, the buffer then untouched.
int getPidFileName(const char* instanceDir, char* buffer, size_t size);

// As getPidFileName, without logging anything.
int composePidFileName(const char* instanceDir, char* buffer, size_t size);

// <instanceDir>\locks\server.lock into buffer, as getPidFileName; logs only
// its refusal.
int getLockFileName(const char* instanceDir, char* buffer, size_t size);
