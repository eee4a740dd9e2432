// Where one log entry's time goes on Windows: the calls the launcher makes
// for an entry, in its order, each timed on its own, and beside them
// GetFileInformationByHandle, which told the same with a volume query too.
// Then whole entries timed alone, as made and in two cheaper forms that the
// launcher does not use: without the C runtime's descriptor, and without it
// and the explicit unlock (leaving the lock to the close). Last, the parts
// of a launch that the floor (floor_windows.cpp) leaves out, through the
// launcher's own code, interleaved with the floor's entry: a later entry of
// the log, a run's first entry (the checks of the log's place, the banner
// and the entry), the place's checks alone, the checks of the open log, and
// the two ways to a time stamp.
// Usage: entry-calls <log file> <entries>, from <root>\bin, with <root>\logs
// made: the launcher's log code writes there. Prints "<name> <median µs>"
// lines.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "log/log.h"
#include "platform/format.h"
#include "platform/platform.h"

namespace {

enum Step {
  kCreateFile,
  kOpenOsfHandle,
  kLockFileEx,
  kStandardInfo,
  kAttributeTagInfo,
  kGetFileType,
  kSetFilePointerEx,
  kWriteFile,
  kUnlockFileEx,
  kClose,
  kWholeEntry,
  kGetFileInformationByHandle,
  kEntryAlone,
  kEntryWithoutDescriptor,
  kEntryWithoutUnlock,
  kLauncherEntry,
  kLauncherFirstEntry,
  kFloorEntry,
  kPlaceChecks,
  kLogFileInfo,
  kLocalTimeStamp,
  kGetLocalTimeStamp,
  kSteps
};

const char* const kNames[kSteps] = {
    "CreateFileA", "_open_osfhandle", "LockFileEx", "GetFileInformationByHandleEx_FileStandardInfo",
    "GetFileInformationByHandleEx_FileAttributeTagInfo", "GetFileType", "SetFilePointerEx", "WriteFile",
    "UnlockFileEx", "_close", "whole_entry", "GetFileInformationByHandle",
    "entry_alone", "entry_without_descriptor", "entry_without_unlock",
    "launcher_entry", "launcher_first_entry", "floor_entry", "place_checks", "getLogFileInfo",
    "stamp_localtime", "stamp_GetLocalTime"};

double frequency;

double now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1e6 / frequency;
}

const char kEntry[] = "2026/01/01 00:00:00: (pid=1)  entry-calls: one entry of the usual length.\r\n";

// One entry with no timer between its calls; form is kEntryAlone or one of
// the two cheaper forms.
double timeEntry(const char* path, int form) {
  double start = now();
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  int fd = form == kEntryAlone ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY) : -1;
  OVERLAPPED range;
  ZeroMemory(&range, sizeof range);
  range.Offset = 0xFFFFFFFEu;
  range.OffsetHigh = 0x7FFFFFFFu;
  LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range);
  FILE_STANDARD_INFO standard;
  GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard);
  FILE_ATTRIBUTE_TAG_INFO tag;
  GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag);
  GetFileType(file);
  LARGE_INTEGER none;
  none.QuadPart = 0;
  SetFilePointerEx(file, none, nullptr, FILE_END);
  DWORD written = 0;
  WriteFile(file, kEntry, sizeof kEntry - 1, &written, nullptr);
  if (form != kEntryWithoutUnlock) UnlockFileEx(file, 0, 1, 0, &range);
  if (fd != -1)
    _close(fd);
  else
    CloseHandle(file);
  return now() - start;
}

const char kMessage[] = "entry-calls: one entry of the usual length.";

// The floor's entry: a time stamp, the text, then open for appending, one
// write, close.
double timeFloorEntry(const char* path) {
  double start = now();
  char entry[512];
  SYSTEMTIME time;
  GetLocalTime(&time);
  int n = formatText(entry, sizeof entry, "%04u/%02u/%02u %02u:%02u:%02u: (pid=%lu)  %s\r\n", time.wYear, time.wMonth,
                     time.wDay, time.wHour, time.wMinute, time.wSecond, GetCurrentProcessId(), kMessage);
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (file != INVALID_HANDLE_VALUE) {
    WriteFile(file, entry, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
  }
  return now() - start;
}

// What the launcher's log checks of a place once per run: the folder
// opened (a link at its name refused) and its owner and access list read.
double timePlaceChecks(const char* folderPath) {
  double start = now();
  Handle folder = os.openFolder(folderPath);
  if (folder != nullptr) {
    os.isPrivateFolder(folder);
    os.CloseHandle(folder);
  }
  return now() - start;
}

// What the launcher's log reads of the open log at every entry: size,
// links, kind and owner.
double timeLogFileInfo(Handle folder) {
  int fd = os.openLog(folder, "entry-calls.out");
  if (fd == -1) return 0;
  LogFileInfo info;
  double start = now();
  os.getLogFileInfo(fd, &info);
  double took = now() - start;
  os.closeLog(fd);
  return took;
}

// The launcher's time stamp (the C runtime's clock and time zone) and the
// floor's (one kernel call).
double timeLocalTimeStamp() {
  double start = now();
  struct tm local;
  char stamp[32];
  os.toLocalTime(os.getCurrentTime(), &local);
  strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);
  return now() - start;
}

double timeGetLocalTimeStamp() {
  double start = now();
  SYSTEMTIME time;
  char stamp[32];
  GetLocalTime(&time);
  formatText(stamp, sizeof stamp, "%04u/%02u/%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour,
             time.wMinute, time.wSecond);
  return now() - start;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: entry-calls <log file> <entries>\n");
    return 2;
  }
  LARGE_INTEGER ticks;
  QueryPerformanceFrequency(&ticks);
  frequency = static_cast<double>(ticks.QuadPart);
  int entries = atoi(argv[2]);
  if (entries < 1) return 2;
  std::vector<double> times[kSteps];
  for (int i = 0; i < entries; i++) {
    double t[kSteps + 1];
    t[0] = now();
    HANDLE file = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "entry-calls: cannot open %s (error %lu)\n", argv[1], GetLastError());
      return 1;
    }
    t[1] = now();
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    t[2] = now();
    OVERLAPPED range;
    ZeroMemory(&range, sizeof range);
    range.Offset = 0xFFFFFFFEu;
    range.OffsetHigh = 0x7FFFFFFFu;
    LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range);
    t[3] = now();
    FILE_STANDARD_INFO standard;
    GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard);
    t[4] = now();
    FILE_ATTRIBUTE_TAG_INFO tag;
    GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag);
    t[5] = now();
    GetFileType(file);
    t[6] = now();
    LARGE_INTEGER none;
    none.QuadPart = 0;
    SetFilePointerEx(file, none, nullptr, FILE_END);
    t[7] = now();
    DWORD written = 0;
    WriteFile(file, kEntry, sizeof kEntry - 1, &written, nullptr);
    t[8] = now();
    UnlockFileEx(file, 0, 1, 0, &range);
    t[9] = now();
    BY_HANDLE_FILE_INFORMATION data;
    GetFileInformationByHandle(file, &data);
    t[10] = now();
    _close(fd);
    t[11] = now();
    for (int step = kCreateFile; step <= kUnlockFileEx; step++) times[step].push_back(t[step + 1] - t[step]);
    times[kClose].push_back(t[11] - t[10]);
    times[kWholeEntry].push_back(t[9] - t[0] + t[11] - t[10]);
    times[kGetFileInformationByHandle].push_back(t[10] - t[9]);
  }
  // Interleaved, so that a slower stretch of the machine costs each form alike.
  for (int i = 0; i < entries; i++)
    for (int form = kEntryAlone; form <= kEntryWithoutUnlock; form++) times[form].push_back(timeEntry(argv[1], form));
  // The launcher's log code, from this program's place: <root>\logs.
  char logs[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, logs, MAX_PATH);
  logs[length < MAX_PATH ? length : 0] = '\0';
  for (int cut = 0; cut < 2; cut++) {
    char* slash = strrchr(logs, '\\');
    if (slash != nullptr) *slash = '\0';
  }
  strncat(logs, "\\logs", sizeof logs - strlen(logs) - 1);
  logMessage("%s", kMessage);
  if (currentLogPath() == nullptr || strncmp(currentLogPath(), logs, strlen(logs)) != 0) {
    fprintf(stderr, "entry-calls: the launcher's log went to %s, not to %s\n", currentLogPath(), logs);
    return 1;
  }
  Handle folder = os.openFolder(logs);
  for (int i = 0; i < entries; i++) {
    double start = now();
    logMessage("%s", kMessage);
    times[kLauncherEntry].push_back(now() - start);
    resetLogForTesting();
    start = now();
    logMessage("%s", kMessage);
    times[kLauncherFirstEntry].push_back(now() - start);
    times[kFloorEntry].push_back(timeFloorEntry(argv[1]));
    times[kPlaceChecks].push_back(timePlaceChecks(logs));
    times[kLogFileInfo].push_back(timeLogFileInfo(folder));
    times[kLocalTimeStamp].push_back(timeLocalTimeStamp());
    times[kGetLocalTimeStamp].push_back(timeGetLocalTimeStamp());
  }
  if (folder != nullptr) os.CloseHandle(folder);
  for (int step = 0; step < kSteps; step++) {
    std::vector<double>& values = times[step];
    std::sort(values.begin(), values.end());
    printf("%s %.1f\n", kNames[step], values[values.size() / 2]);
  }
  return 0;
}
