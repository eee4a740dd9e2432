// The floor for `launcher.exe launch` under Windows: what any program that
// does the launcher's observable work must pay, to measure the launcher
// against. Built with the launcher's manifest and a version resource, it
// creates the child exactly as spawn-minimal does and writes the same 13 log
// entries (time stamp, pid tag, message, CR LF) into <root>\logs, each in
// the fewest calls an entry can take: an open for appending, one write, a
// close. No check of the log's place or of the file, no lock: what the
// launcher adds beyond these is its own. Built with FLOOR_WITHOUT_LOG it
// writes nothing, which leaves the start-up of a program with the manifest.
// Usage: floor launch <command line word...>, as the launcher is called;
// exits with the child's PID, or -1.
#include <windows.h>

#include <cstdarg>
#include <cstring>

#include "platform/format.h"
#include "platform/platform.h"

namespace {

char logPath[MAX_PATH + 32];
char exePath[MAX_PATH];
DWORD pid;

// <parent of the executable's folder>\logs\native-windows.out; the bench
// makes that folder.
void findLogPath() {
  DWORD n = GetModuleFileNameA(nullptr, exePath, MAX_PATH);
  exePath[n < MAX_PATH ? n : MAX_PATH - 1] = '\0';
  char root[MAX_PATH];
  memcpy(root, exePath, sizeof root);
  for (int cut = 0; cut < 2; cut++) {
    char* slash = strrchr(root, '\\');
    if (slash != nullptr) *slash = '\0';
  }
  formatText(logPath, sizeof logPath, "%s\\logs\\native-windows.out", root);
}

// The bench's entries are short: 4 KiB holds any of them.
void logEntry(int isError, const char* format, ...) {
#ifdef FLOOR_WITHOUT_LOG
  (void)isError;
  (void)format;
#else
  char entry[4096];
  SYSTEMTIME now;
  GetLocalTime(&now);
  int n = formatText(entry, sizeof entry, "%04u/%02u/%02u %02u:%02u:%02u: (pid=%lu)  %s", now.wYear, now.wMonth,
                     now.wDay, now.wHour, now.wMinute, now.wSecond, pid, isError ? "ERROR:  " : "");
  va_list arguments;
  va_start(arguments, format);
  n += formatHostV(entry + n, sizeof entry - static_cast<size_t>(n) - 2, format, arguments);
  va_end(arguments);
  if (n > static_cast<int>(sizeof entry) - 3) n = static_cast<int>(sizeof entry) - 3;
  entry[n++] = '\r';
  entry[n++] = '\n';
  HANDLE file = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (file != INVALID_HANDLE_VALUE) {
    WriteFile(file, entry, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
  }
#endif
}

}  // namespace

int main(int argc, char** argv) {
  pid = GetCurrentProcessId();
  findLogPath();
  logEntry(0, "--------------- FIRST LOG MESSAGE FROM '%s' ---------------", exePath);
  logEntry(0, "main called.");
  for (int i = 0; i < argc; i++) logEntry(0, "  argv[%d] = '%s'", i, argv[i]);
  if (argc < 3) return -1;
  // The bench's words hold no spaces or quotes: joined as they are.
  char line[2100];
  size_t length = 0;
  line[0] = '\0';
  logEntry(0, "Constructing full command line from arguments:");
  for (int i = 2; i < argc; i++) {
    logEntry(0, " argv[%d]: %s", i - 2, argv[i]);
    int added = formatText(line + length, sizeof line - length, "%s%s", i > 2 ? " " : "", argv[i]);
    if (added < 0 || length + static_cast<size_t>(added) >= sizeof line) return -1;
    length += static_cast<size_t>(added);
  }
  logEntry(0, "The full commandline is '%s'.", line);
  logEntry(0, "createChildProcess: Attempting to create child process '%s' background=%d.", line, 1);
  // Exactly spawn-minimal's creation.
  StartupInfo startup;
  memset(&startup, 0, sizeof startup);
  startup.size = sizeof startup;
  startup.flags = kStartfUseStdHandles;
  ProcessInformation info;
  memset(&info, 0, sizeof info);
  if (!os.CreateProcessA(line, 0, kDetachedProcess | kCreateBreakawayFromJob, &startup, &info)) {
    int error = static_cast<int>(GetLastError());
    logEntry(1, "createChildProcess: Failed to create child process '%s'.  Last error = %d.", line, error);
    logEntry(1, "Could not get the PID of the spawned process.");
    logEntry(1, "Failed to launch the child process '%s'.", line);
    logEntry(0, "main finished. Returning %d", -1);
    return -1;
  }
  int child = static_cast<int>(info.processId);
  logEntry(0, "createChildProcess: Successfully created child process '%s'.", line);
  logEntry(0, "The PID of the spawned process is %d.", child);
  logEntry(0, "Successfully launched the child process '%s'.", line);
  logEntry(0, "main finished. Returning %d", child);
  return child;
}
