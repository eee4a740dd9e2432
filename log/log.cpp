#include "log/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/format.h"
#include "platform/platform.h"

namespace {

const char kLogFileName[] = "native-windows.out";
const uint32_t kLogSizeCap = 500000;
const int kPathSize = 260;

int firstEntry = 1;
uint32_t runProcessId = 0;
char* logPath = nullptr;

// Cuts text at its last separator; 0 when it holds none.
int cutAtLastSeparator(char* text) {
  char* last = strrchr(text, PATH_SEP_CHAR);
  if (last == nullptr) return 0;
  *last = '\0';
  return 1;
}

// The parent of the executable's directory, when the executable's path has
// one; an executable in a root directory has none.
int findProgramRoot(char* root) {
  root[0] = '\0';
  os.GetModuleFileNameA(root, kPathSize);
  root[kPathSize - 1] = '\0';
  return cutAtLastSeparator(root) && cutAtLastSeparator(root);
}

// The "logs" directory under the program root is used only when it exists;
// the one in the temporary directory is created on demand.
void chooseLogPath(char* path) {
  char root[kPathSize];
  char candidate[kPathSize];
  // A root too long for the candidate leaves it unterminated: skip it then.
  int length = findProgramRoot(root) ? formatBounded(candidate, kPathSize, "%s" PATH_SEP "logs" PATH_SEP, root) : -1;
  if (length >= 0 && length < kPathSize) {
    uint32_t attributes = os.GetFileAttributesA(candidate);
    if (attributes != kInvalidFileAttributes && (attributes & kFileAttributeDirectory)) {
      formatBounded(path, kPathSize, "%s" PATH_SEP "logs" PATH_SEP "%s", root, kLogFileName);
      path[kPathSize - 1] = '\0';
      return;
    }
  }
  char tempPath[kPathSize];
  uint32_t tempLength = os.GetTempPathA(kPathSize, tempPath);
  if (tempLength == 0 || tempLength >= static_cast<uint32_t>(kPathSize)) {
    formatBounded(path, kPathSize, "%s", kLogFileName);
  } else {
    char logDir[kPathSize];
    formatBounded(logDir, kPathSize, "%slogs" PATH_SEP, tempPath);
    logDir[kPathSize - 1] = '\0';
    os.makeDirectory(logDir);
    formatBounded(path, kPathSize, "%s%s", logDir, kLogFileName);
  }
  path[kPathSize - 1] = '\0';
}

// A log larger than the cap is deleted; the entry then starts a new file.
void capLogSize(const char* path) {
  Handle file = os.CreateFileA(path);
  if (file == kInvalidHandle) return;
  uint32_t size = os.GetFileSize(file);
  os.CloseHandle(file);
  if (size > kLogSizeCap) os.DeleteFileA(path);
}

void writeBanner() {
  char exePath[kPathSize];
  exePath[0] = '\0';
  os.GetModuleFileNameA(exePath, kPathSize);
  exePath[kPathSize - 1] = '\0';
  logMessage("--------------- FIRST LOG MESSAGE FROM '%s' ---------------", exePath);
}

}  // namespace

void writeLogEntry(int isError, const char* format, va_list arguments) {
  if (firstEntry) {
    runProcessId = os.GetCurrentProcessId();
    firstEntry = 0;
    writeBanner();
  }
  char timestamp[100] = "";
  time_t now = time(nullptr);
  // A clock beyond what localtime can express gives no time, not a crash.
  const struct tm* local = localtime(&now);
  if (local != nullptr) strftime(timestamp, sizeof timestamp, "%Y/%m/%d %H:%M:%S", local);
  if (logPath == nullptr) {
    char path[kPathSize];
    chooseLogPath(path);
    logPath = duplicateString(path);
  }
  FILE* stream = nullptr;
  if (logPath != nullptr) {
    capLogSize(logPath);
    stream = os.openLogForAppend(logPath);
  }
  if (stream == nullptr) {
    fputs("Could not create log file.\n", stdout);
    fflush(stdout);
    return;
  }
  // The stream may split a long entry into several writes; the lock keeps
  // entries of concurrent runs from landing between them.
  os.lockLogAppend(stream);
  fprintf(stream, "%s: (pid=%d)  ", timestamp, static_cast<int>(runProcessId));
  if (isError) fputs("ERROR:  ", stream);
  vfprintf(stream, format, arguments);
  fputc('\n', stream);
  fflush(stream);
  os.unlockLogAppend(stream);
  fclose(stream);
}

void logMessage(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  writeLogEntry(0, format, arguments);
  va_end(arguments);
}

void logError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  writeLogEntry(1, format, arguments);
  va_end(arguments);
}

const char* currentLogPath() { return logPath; }

void resetLogForTesting() {
  free(logPath);
  logPath = nullptr;
  firstEntry = 1;
  runProcessId = 0;
}
