// Termination of the process that a PID file names.
#pragma once

#include <cstdint>

#include "common/process_id.h"

// killProcess's answer when pid opens the launcher's own process, which a
// PID file can name after its server's id was reused (logged as an error):
// the PID file names no server process.
const int kPidIsTheLauncher = 2;

// Terminates the process pid, which a PID file written at writtenAt (seconds
// since 1970, or kUnknownTime) named, and waits (20 queries, 1 s apart) for
// it to exit. 1 when it is gone or left alone: seen to exit, no process has
// that id, or it is not the server (created after the PID file was written,
// or not known to be older: also when it refuses termination, as a
// protected process does). 0 when it could not be opened or terminated, or
// still ran at the end of the wait. kPidIsTheLauncher when it is the
// launcher itself.
int killProcess(ProcessId pid, int64_t writtenAt);
