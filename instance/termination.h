// Termination of the process that a PID file names.
#pragma once

#include <cstdint>

#include "common/process_id.h"

// Terminates the process pid and waits (20 queries, 1 s apart) for it to
// exit. 1 when it is gone: seen to exit, no process has that id, or the
// process was created after pidFileWrittenAt and so cannot be the server
// that the PID file recorded (kUnknownTime skips that test). 0 when it could
// not be opened or terminated, or still ran at the end of the wait.
int killProcess(ProcessId pid, int64_t pidFileWrittenAt);
