// Creation of the launcher's detached children.
#pragma once

#include "common/process_id.h"
#include "platform/platform.h"

// Creates a child from commandLine with null standard handles and no
// inherited handle, after making the launcher's own standard handles
// non-inheritable. background 1 detaches the child from the console and,
// where the caller's job allows it, from that job; any other value uses no
// creation flags.
// Returns the platform's creation result; on success info holds the child's
// handles (never closed here) and ids.
int createChildProcess(char* commandLine, int background, ProcessInformation* info);

// As createChildProcess, keeping the record to itself: the child's PID, or
// -1 when it could not be created.
ProcessId spawnProcess(char* commandLine, int background);
