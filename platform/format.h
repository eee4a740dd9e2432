// Bounded formatting into fixed-size buffers, made with the host C
// runtime's own formatter (formatHostV in platform.h): on Windows that is the
// system's, far smaller than the one MinGW would link in.
#pragma once

#include <cstdarg>
#include <cstddef>

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

// snprintf as C99 has it: at most size - 1 characters and a terminator are
// stored; returns the complete text's length, negative on a format error.
int formatText(char* buffer, size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// fprintf to standard error, the whole text however long.
void printError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
