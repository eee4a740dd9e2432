// Where one log entry's time goes on Windows: the calls the launcher makes
// for an entry, in its order, each timed on its own, and beside them
// GetFileInformationByHandle, which told the same with a volume query too.
// Then whole entries timed alone, as made and in two cheaper forms that the
// launcher does not use: without the C runtime's descriptor, and without it
// and the explicit unlock (leaving the lock to the close).
// Usage: entry-calls <log file> <entries>; prints "<name> <median µs>" lines.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

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
  kSteps
};

const char* const kNames[kSteps] = {
    "CreateFileA", "_open_osfhandle", "LockFileEx", "GetFileInformationByHandleEx_FileStandardInfo",
    "GetFileInformationByHandleEx_FileAttributeTagInfo", "GetFileType", "SetFilePointerEx", "WriteFile",
    "UnlockFileEx", "_close", "whole_entry", "GetFileInformationByHandle",
    "entry_alone", "entry_without_descriptor", "entry_without_unlock"};

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
  for (int step = 0; step < kSteps; step++) {
    std::vector<double>& values = times[step];
    std::sort(values.begin(), values.end());
    printf("%s %.1f\n", kNames[step], values[values.size() / 2]);
  }
  return 0;
}
