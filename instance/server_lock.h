// The server lock file, <instanceDir>\locks\server.lock, whose first byte
// the server keeps locked while it runs.
#pragma once

#include <cstddef>

// <instanceDir>\locks\server.lock into buffer (size bytes, terminator
// included). 1 when composed; 0 when the directory is unsafe or the name
// does not fit, the buffer then untouched. Logs only its refusal.
int getLockFileName(const char* instanceDir, char* buffer, size_t size);
