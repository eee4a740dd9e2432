// The PID file, <instanceDir>\logs\server.pid: its name, writing and
// reading.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/process_id.h"

// The size of the buffer a PID file is read into: at most its first 1023
// bytes, and a terminator.
const size_t kPidTextSize = 1024;

// A PID file's write time when it is not known.
const int64_t kUnknownTime = -1;

// <instanceDir>\logs\server.pid into buffer (size bytes, terminator
// included). 1 when composed; 0 when the directory is unsafe or the name
// does not fit, the buffer then untouched.
int getPidFileName(const char* instanceDir, char* buffer, size_t size);

// Records pid in the instance's PID file as one line "%d\n", written in
// text mode (CR LF on Windows). Failures are logged, never returned: the
// caller's result does not depend on them.
void createPidFile(const char* instanceDir, ProcessId pid);

// The PID in a PID file's text: base-10 strtol, with a value beyond the
// signed 32-bit range held at its limit, as on Windows where long has 32
// bits. 0 means the text holds no PID.
ProcessId parsePidText(const char* text);

// The PID read from the instance's PID file, or 0 when there is none; and
// in *writtenAt when that file was last written, in seconds since 1970, or
// kUnknownTime.
ProcessId getPid(const char* instanceDir, int64_t* writtenAt);
