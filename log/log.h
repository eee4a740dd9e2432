// The diagnostic log that every step of every run is traced into.
#pragma once

#include <cstdarg>

#if defined(__GNUC__)
#define LOG_FORMAT(position) __attribute__((format(printf, position, position + 1)))
#else
#define LOG_FORMAT(position)
#endif

// One ordinary entry, or one entry marked "ERROR:  ", in the diagnostic log
// "native-windows.out". The first entry of a run is preceded by a banner that
// names the executable. Logging never fails its caller: an entry that cannot
// be written costs "Could not create log file.\n" on standard output.
void logMessage(const char* format, ...) LOG_FORMAT(1);
void logError(const char* format, ...) LOG_FORMAT(1);
void writeLogEntry(int isError, const char* format, va_list arguments);

// The file that this run's entries go to, or null before the first entry.
const char* currentLogPath();

// Tests only: forget the run's state, so that the next entry starts a run.
void resetLogForTesting();
