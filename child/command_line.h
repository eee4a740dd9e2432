// Composition of a child's command line from the launcher's arguments.
#pragma once

#include <cstddef>

// The size of the buffer that launch, run and start compose a command line
// into, terminator included.
const size_t kCommandLineSize = 2100;

// Joins the words of a null-terminated list into one command line in buffer
// (size bytes, terminator included): single spaces between words, "" for an
// empty word, a word quoted when it has a space before any line feed (its
// trailing backslashes then doubled, so that they keep the closing quote),
// and nothing else escaped. Returns 1 when the whole line fit, 0 when it did
// not (the buffer is then not to be read). Traces its input and outcome in
// the log.
int buildCommandLine(const char* const* arguments, char* buffer, size_t size);
