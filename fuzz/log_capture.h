// Sends the diagnostic log to memory for the fuzz targets: no file is
// opened, locked or size-checked per entry, which keeps fuzzing fast, and the
// entries stay available for checking.
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

inline int open(Handle, const char*) { return 1000; }
inline int noLock(int) { return 0; }
inline int plainFile(int, LogFileInfo* info) {
  info->size = 0;
  info->isRegular = 1;
  info->links = 1;
  return 0;
}
// Each entry arrives with one write.
inline int append(int, const char* text, uint32_t length) {
  entries.emplace_back(text, length);
  return 0;
}
inline int close(int) { return 0; }
// The log's folder, which the run holds and only names files in.
inline Handle logFolder(const char*) { return reinterpret_cast<Handle>(static_cast<intptr_t>(1000)); }
inline int isPrivate(Handle) { return 1; }
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
  os.openLog = open;
  os.tryLockLog = noLock;
  os.getLogFileInfo = plainFile;
  os.appendToLog = append;
  os.closeLog = close;
  os.isPrivateFolder = isPrivate;
  os.openFolder = logFolder;
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
