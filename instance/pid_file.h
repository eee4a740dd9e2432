#pragma once

#include "common/process_id.h"

// Records pid in <instanceDir>\logs\server.pid as one line "%d\n", written
// in text mode (CR LF on Windows). Failures are logged, never returned: the
// caller's result does not depend on them.
void createPidFile(const char* instanceDir, ProcessId pid);

// The PID in a PID file's text: base-10 strtol, with a value beyond the
// signed 32-bit range held at its limit, as on Windows where long has 32
// bits. 0 means the text holds no PID.
ProcessId parsePidText(const char* text);

// The PID read from the instance's PID file (at most its first 1023 bytes),
// or 0 when there is none.
ProcessId getPid(const char* instanceDir);
