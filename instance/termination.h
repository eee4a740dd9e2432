// Termination of the process that a PID file names.
#pragma once

#include <cstdint>

#include "common/process_id.h"

// killProcess's answer when pid opens the launcher's own process, which a
// PID file can name after its server's id was reused (logged as an error):
// the PID file names no server process.
const int kPidIsTheLauncher = 2;

// What the times say of the process at a PID: created no later than the
// PID file was written (with a few seconds' slack), after it, or unknown.
enum ServerTimes { kTimesAgree, kTimesDisagree, kTimesUnknown };

// The one decision of which process is the server: 1 when the process at
// the PID is to be terminated as the server. holdsLockFile: 1 when it holds
// the instance's server lock file open, 0 when it does not, -1 when that
// cannot be told.
int isTheServer(ServerTimes times, int holdsLockFile);

// Terminates the process pid, which a PID file written at writtenAt (seconds
// since 1970, or kUnknownTime) named, and waits (20 queries, 1 s apart) for
// it to exit; lockFd is what openServerLockFile gave (a descriptor, or
// kServerLockFileMissing: no process can hold it open, or
// kServerLockFileUnopened: that cannot be told). 1 when it is gone or left alone: seen to
// exit, no process has that id, or it is not the server (isTheServer: also
// when it refuses termination, as a protected process does). 0 when it
// could not be opened or terminated, or still ran at the end of the wait.
// kPidIsTheLauncher when it is the launcher itself.
int killProcess(ProcessId pid, int64_t writtenAt, int lockFd);
