// The launcher's operating-system needs, met by the Windows kernel and the
// C runtime.
#include "platform/platform.h"

#include <windows.h>

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

static_assert(kStillActive == STILL_ACTIVE, "STILL_ACTIVE");
static_assert(kStdInputHandle == STD_INPUT_HANDLE, "STD_INPUT_HANDLE");
static_assert(kStdOutputHandle == STD_OUTPUT_HANDLE, "STD_OUTPUT_HANDLE");
static_assert(kStdErrorHandle == STD_ERROR_HANDLE, "STD_ERROR_HANDLE");
static_assert(kHandleFlagInherit == HANDLE_FLAG_INHERIT, "HANDLE_FLAG_INHERIT");
static_assert(kStartfUseStdHandles == STARTF_USESTDHANDLES, "STARTF_USESTDHANDLES");
static_assert(kDetachedProcess == DETACHED_PROCESS, "DETACHED_PROCESS");
static_assert(kProcessTerminate == PROCESS_TERMINATE, "PROCESS_TERMINATE");
static_assert(kProcessQueryInformation == PROCESS_QUERY_INFORMATION, "PROCESS_QUERY_INFORMATION");
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER");
static_assert(kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY, "FILE_ATTRIBUTE_DIRECTORY");
static_assert(kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES, "INVALID_FILE_ATTRIBUTES");

namespace {

uint32_t getModuleFileName(char* buffer, uint32_t size) { return ::GetModuleFileNameA(nullptr, buffer, size); }

uint32_t getFullPathName(const char* path, uint32_t size, char* buffer) {
  return ::GetFullPathNameA(path, size, buffer, nullptr);
}

uint32_t getFileAttributes(const char* path) { return ::GetFileAttributesA(path); }

uint32_t getTempPath(uint32_t size, char* buffer) { return ::GetTempPathA(size, buffer); }

Handle createFile(const char* path) {
  return ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

uint32_t getFileSize(Handle file) { return ::GetFileSize(file, nullptr); }

int deleteFile(const char* path) { return ::DeleteFileA(path) ? 1 : 0; }

int closeHandle(Handle handle) { return ::CloseHandle(handle) ? 1 : 0; }

uint32_t getCurrentProcessId() { return ::GetCurrentProcessId(); }

Handle getStdHandle(uint32_t which) { return ::GetStdHandle(which); }

int setHandleInformation(Handle handle, uint32_t mask, uint32_t flags) {
  return ::SetHandleInformation(handle, mask, flags) ? 1 : 0;
}

int createProcess(char* commandLine, int inheritHandles, uint32_t creationFlags,
                  const StartupInfo* startupInfo, ProcessInformation* processInformation) {
  STARTUPINFOA info;
  ZeroMemory(&info, sizeof info);
  info.cb = sizeof info;
  info.dwFlags = startupInfo->flags;
  info.hStdInput = startupInfo->stdInput;
  info.hStdOutput = startupInfo->stdOutput;
  info.hStdError = startupInfo->stdError;
  PROCESS_INFORMATION created;
  ZeroMemory(&created, sizeof created);
  BOOL result = ::CreateProcessA(nullptr, commandLine, nullptr, nullptr, inheritHandles ? TRUE : FALSE,
                                 creationFlags, nullptr, nullptr, &info, &created);
  processInformation->process = created.hProcess;
  processInformation->thread = created.hThread;
  processInformation->processId = created.dwProcessId;
  processInformation->threadId = created.dwThreadId;
  return result;
}

uint32_t getLastError() { return ::GetLastError(); }

Handle openProcess(uint32_t access, int inheritHandle, uint32_t processId) {
  return ::OpenProcess(access, inheritHandle ? TRUE : FALSE, processId);
}

int terminateProcess(Handle process, uint32_t exitCode) { return ::TerminateProcess(process, exitCode) ? 1 : 0; }

int getExitCodeProcess(Handle process, uint32_t* exitCode) {
  DWORD code = 0;
  BOOL result = ::GetExitCodeProcess(process, &code);
  if (result) *exitCode = code;
  return result ? 1 : 0;
}

void sleepFor(uint32_t milliseconds) { ::Sleep(milliseconds); }

int64_t secondsSince1970(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  const uint64_t kEpochDifference = 116444736000000000ULL;  // 1601 to 1970 in 100 ns steps
  return static_cast<int64_t>((value.QuadPart - kEpochDifference) / 10000000ULL);
}

int getProcessCreationTime(Handle process, int64_t* seconds) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
  *seconds = secondsSince1970(created);
  return 0;
}

int getFileWriteTime(const char* path, int64_t* seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  *seconds = secondsSince1970(data.ftLastWriteTime);
  return 0;
}

// Append access without write-data access makes every write land at the end
// of the file; read-data access is what a byte-range lock needs.
//
// Another run deleting the log over its size cap holds it for deletion for
// a moment, refusing opens meanwhile; a short retry keeps this run's entry.
FILE* openLogForAppend(const char* path) {
  HANDLE file = INVALID_HANDLE_VALUE;
  ULONGLONG deadline = ::GetTickCount64() + 50;
  for (;;) {
    file = ::CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = ::GetLastError();
    if (file != INVALID_HANDLE_VALUE || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        ::GetTickCount64() >= deadline)
      break;
    ::Sleep(1);
  }
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_TEXT);
  if (fd == -1) {
    ::CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "a");
  if (stream == nullptr) _close(fd);
  return stream;
}

// A byte far past any real end of file, so that readers of the log never
// meet the lock.
void setLogLockRange(OVERLAPPED* range) {
  ZeroMemory(range, sizeof *range);
  range->Offset = 0xFFFFFFFEu;
  range->OffsetHigh = 0x7FFFFFFFu;
}

HANDLE osHandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void lockLogAppend(FILE* stream) {
  HANDLE file = osHandleOf(_fileno(stream));
  OVERLAPPED range;
  setLogLockRange(&range);
  ULONGLONG deadline = ::GetTickCount64() + 2000;
  while (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range) &&
         ::GetLastError() == ERROR_LOCK_VIOLATION && ::GetTickCount64() < deadline) {
    ::Sleep(1);
    setLogLockRange(&range);
  }
}

void unlockLogAppend(FILE* stream) {
  OVERLAPPED range;
  setLogLockRange(&range);
  ::UnlockFileEx(osHandleOf(_fileno(stream)), 0, 1, 0, &range);
}

FILE* openExclusiveForWrite(const char* path) {
  FILE* stream = nullptr;
  if (fopen_s(&stream, path, "w") != 0) return nullptr;
  return stream;
}

FILE* openSharedForRead(const char* path) { return fopen(path, "r"); }

int makeDirectory(const char* path) { return _mkdir(path); }

int statPath(const char* path) {
  struct _stat status;
  return _stat(path, &status) < 0 ? -1 : 0;
}

int removeFile(const char* path) { return remove(path); }

int openReadWrite(const char* path) { return _open(path, _O_RDWR); }

// The runtime's _locking does the same, but under Wine it fails on a held
// byte without setting errno; callers rely on EACCES there.
int lockFirstByte(int fd) {
  OVERLAPPED range;
  ZeroMemory(&range, sizeof range);
  if (::LockFileEx(osHandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) return 0;
  DWORD error = ::GetLastError();
  errno = (error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED) ? EACCES
          : error == ERROR_INVALID_HANDLE                                  ? EBADF
                                                                           : EINVAL;
  return -1;
}

int unlockFirstByte(int fd) {
  OVERLAPPED range;
  ZeroMemory(&range, sizeof range);
  if (::UnlockFileEx(osHandleOf(fd), 0, 1, 0, &range)) return 0;
  errno = EACCES;
  return -1;
}

int closeDescriptor(int fd) { return _close(fd); }

constexpr Platform kHost = {
    .GetModuleFileNameA = getModuleFileName,
    .GetFullPathNameA = getFullPathName,
    .GetFileAttributesA = getFileAttributes,
    .GetTempPathA = getTempPath,
    .CreateFileA = createFile,
    .GetFileSize = getFileSize,
    .DeleteFileA = deleteFile,
    .CloseHandle = closeHandle,
    .GetCurrentProcessId = getCurrentProcessId,
    .GetStdHandle = getStdHandle,
    .SetHandleInformation = setHandleInformation,
    .CreateProcessA = createProcess,
    .GetLastError = getLastError,
    .OpenProcess = openProcess,
    .TerminateProcess = terminateProcess,
    .GetExitCodeProcess = getExitCodeProcess,
    .Sleep = sleepFor,
    .getProcessCreationTime = getProcessCreationTime,
    .getFileWriteTime = getFileWriteTime,
    .openLogForAppend = openLogForAppend,
    .lockLogAppend = lockLogAppend,
    .unlockLogAppend = unlockLogAppend,
    .openExclusiveForWrite = openExclusiveForWrite,
    .openSharedForRead = openSharedForRead,
    .makeDirectory = makeDirectory,
    .statPath = statPath,
    .removeFile = removeFile,
    .openReadWrite = openReadWrite,
    .lockFirstByte = lockFirstByte,
    .unlockFirstByte = unlockFirstByte,
    .closeDescriptor = closeDescriptor,
};
PLATFORM_OPERATIONS(PLATFORM_CHECK_FILLED)

}  // namespace

Platform os = kHost;

const Platform& hostPlatform() { return kHost; }
