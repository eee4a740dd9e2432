#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// A process id: the operating system's 32 bits, read as signed. -1 means no
// process (a failed spawn); 0 means a PID file that held no PID.
typedef int32_t ProcessId;

// Formats into buffer, never writing more than capacity bytes. With n the
// length of the complete text:
//   n < capacity:  the text and its terminator are stored; returns n.
//   n == capacity: the text is stored without a terminator; returns capacity.
//   n > capacity:  the first capacity characters are stored, unterminated;
//                  returns -1.
// Callers either test the length first, so that the text and terminator
// always fit, or terminate the buffer's last byte themselves.
int formatBounded(char* buffer, size_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
int formatBoundedV(char* buffer, size_t capacity, const char* format, va_list arguments);

// A heap copy of text (the runtime's strdup), or null when none can be made.
char* duplicateString(const char* text);
