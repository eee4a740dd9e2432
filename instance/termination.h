#pragma once

#include <cstdint>

#include "common/process_id.h"

// Returned by pidFileWriteTime when the time is not known.
const int64_t kUnknownTime = -1;

// When the instance's PID file was last written, in seconds since 1970, or
// kUnknownTime. Logs nothing.
int64_t pidFileWriteTime(const char* instanceDir);

// Terminates the process pid and waits (20 queries, 1 s apart) for it to
// exit. 1 when it is gone: seen to exit, no process has that id, or the
// process was created after pidFileWrittenAt and so cannot be the server
// that the PID file recorded (kUnknownTime skips that test). 0 when it could
// not be opened or terminated, or still ran at the end of the wait.
int killProcess(ProcessId pid, int64_t pidFileWrittenAt);
