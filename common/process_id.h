// The process id that start, stop and launch pass around and return.
#pragma once

#include <cstdint>

// A process id: the operating system's 32 bits, read as signed. -1 means no
// process (a failed spawn); 0 means a PID file that held no PID.
typedef int32_t ProcessId;
