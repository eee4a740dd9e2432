// Sends the diagnostic log to memory for the fuzz targets: no file is
// opened, locked or size-checked per entry, which keeps fuzzing fast, and the
// entries stay available for checking. The log opens and closes its stream
// around every entry, so each close ends one entry.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "log/log.h"
#include "platform/platform.h"

namespace capture {

inline std::vector<std::string> entries;
inline std::string pending;

inline ssize_t write(void*, const char* data, size_t size) {
  pending.append(data, size);
  return static_cast<ssize_t>(size);
}

inline int close(void*) {
  entries.push_back(pending);
  pending.clear();
  return 0;
}

inline FILE* open(const char*) {
  cookie_io_functions_t functions = {nullptr, write, nullptr, close};
  return fopencookie(nullptr, "a", functions);
}

inline void noLock(FILE*) {}
inline Handle noFile(const char*) { return kInvalidHandle; }
inline int noDirectory(const char*) { return -1; }

inline uint32_t copyFixed(const char* text, char* buffer, uint32_t size) {
  uint32_t length = static_cast<uint32_t>(strlen(text));
  if (size <= length) return 0;
  memcpy(buffer, text, length + 1);
  return length;
}
inline uint32_t fixedModule(char* buffer, uint32_t size) { return copyFixed("/fuzz/bin/launcher", buffer, size); }
inline uint32_t fixedTemp(uint32_t size, char* buffer) { return copyFixed("/fuzz-temp/", buffer, size); }

inline void install() {
  // With TZ unset, every localtime call of the log stats /etc/localtime.
  setenv("TZ", "UTC0", 1);
  tzset();
  os.openLogForAppend = open;
  os.lockLogAppend = noLock;
  os.unlockLogAppend = noLock;
  os.CreateFileA = noFile;
  os.GetModuleFileNameA = fixedModule;
  os.GetTempPathA = fixedTemp;
  os.makeDirectory = noDirectory;
  // The run's first entry brings the banner; spend it here, so that every
  // entry a target sees afterwards is one it caused.
  logMessage("fuzzing starts");
  entries.clear();
}

// The entries written since the last call.
inline std::vector<std::string> take() {
  std::vector<std::string> taken;
  taken.swap(entries);
  return taken;
}

// An entry's message: what follows "YYYY/MM/DD HH:MM:SS: (pid=N)  ", without
// the closing line feed.
inline std::string messageOf(const std::string& entry) {
  FUZZ_CHECK(entry.size() > 19 && entry.compare(19, 7, ": (pid=") == 0);
  size_t start = entry.find(")  ", 19);
  FUZZ_CHECK(start != std::string::npos);
  FUZZ_CHECK(entry.back() == '\n');
  return entry.substr(start + 3, entry.size() - start - 4);
}

}  // namespace capture
