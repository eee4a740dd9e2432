// The tests' own operating-system calls on Windows.
#include "testing/test_platform.h"

#include <windows.h>

#include <aclapi.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

uint32_t testCurrentDirectory(uint32_t size, char* buffer) { return ::GetCurrentDirectoryA(size, buffer); }

int testChangeDirectory(const char* path) { return _chdir(path); }

const char* testCommandLine() { return ::GetCommandLineA(); }

int testRemoveDirectory(const char* path) { return _rmdir(path); }

int testHoldFile(const char* path, const char* how) {
  // A monitoring script, an editor or a scanner: it reads and lets anyone
  // read, write, rename or delete the file meanwhile.
  if (strcmp(how, "share-all") == 0) {
    return ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) != INVALID_HANDLE_VALUE
               ? 0
               : -1;
  }
  if (strcmp(how, "read-lock") == 0) {
    HANDLE reader = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED first;
    ZeroMemory(&first, sizeof first);
    return reader != INVALID_HANDLE_VALUE && ::LockFileEx(reader, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first) ? 0 : -1;
  }
  if (strcmp(how, "lock-share-read") == 0) {
    HANDLE held = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED first;
    ZeroMemory(&first, sizeof first);
    return held != INVALID_HANDLE_VALUE &&
                   ::LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first)
               ? 0
               : -1;
  }
  // The launcher's entry lock, held as a run stopped inside its write
  // holds it: every other run's wait for it runs out, and they write
  // without it.
  if (strcmp(how, "entry-lock") == 0) {
    HANDLE entry = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED entryByte;
    ZeroMemory(&entryByte, sizeof entryByte);
    entryByte.Offset = 0xFFFFFFFEu;
    entryByte.OffsetHigh = 0x7FFFFFFFu;
    return entry != INVALID_HANDLE_VALUE &&
                   ::LockFileEx(entry, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &entryByte)
               ? 0
               : -1;
  }
  HANDLE file = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  if (strcmp(how, "lock-all") != 0) return 0;
  OVERLAPPED whole;
  ZeroMemory(&whole, sizeof whole);
  return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole) ? 0
                                                                                                              : -1;
}

int testSetCreationMask(int) { return -1; }

int testPermissionBits(const char*) { return -1; }

// Setting another account as owner needs the restore privilege, present but
// disabled in an administrator's token.
void enableRestorePrivilege() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  TOKEN_PRIVILEGES privileges;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (::LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &privileges.Privileges[0].Luid))
    ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  ::CloseHandle(token);
}

int testGiveToAnotherUser(const char* path) {
  BYTE guests[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof guests;
  if (!::CreateWellKnownSid(WinBuiltinGuestsSid, nullptr, guests, &size)) return -1;
  enableRestorePrivilege();
  if (::SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, guests, nullptr,
                              nullptr, nullptr) != ERROR_SUCCESS)
    return -1;
  // Wine accepts the change but keeps deriving the owner from the Unix one.
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS)
    return -1;
  int given = owner != nullptr && ::EqualSid(owner, guests);
  ::LocalFree(descriptor);
  return given ? 0 : -1;
}

int testListDirectory(const char* path, void (*visit)(const char* name, int isDirectory, void* context),
                      void* context) {
  char pattern[MAX_PATH + 4];
  if (snprintf(pattern, sizeof pattern, "%s\\*", path) >= static_cast<int>(sizeof pattern)) return -1;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  do {
    if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
    visit(found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, context);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return 0;
}

int testRedirectDescriptor(int fd, const char* path) {
  fflush(fd == 1 ? stdout : stderr);
  int file = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (file < 0) return -1;
  int saved = _dup(fd);
  if (saved >= 0) _dup2(file, fd);
  _close(file);
  return saved;
}

void testRestoreDescriptor(int fd, int saved) {
  if (saved < 0) return;
  fflush(fd == 1 ? stdout : stderr);
  _dup2(saved, fd);
  _close(saved);
}

void testWriteDescriptor(int fd, const char* text) { _write(fd, text, static_cast<unsigned>(strlen(text))); }

// A live process always holds some handles: a count of 0 comes from a host
// that does not keep the count (Wine answers 0 always).
int testOpenDescriptorCount() {
  DWORD count = 0;
  if (!::GetProcessHandleCount(::GetCurrentProcess(), &count) || count == 0) return -1;
  return static_cast<int>(count);
}

namespace {

void (*crashNote)() = nullptr;

LONG WINAPI noteUnhandled(EXCEPTION_POINTERS*) {
  if (crashNote != nullptr) crashNote();
  return EXCEPTION_CONTINUE_SEARCH;
}

void noteAbort(int) {
  if (crashNote != nullptr) crashNote();
}

}  // namespace

void testOnCrash(void (*note)()) {
  crashNote = note;
  ::SetUnhandledExceptionFilter(noteUnhandled);
  signal(SIGABRT, noteAbort);
}

Handle testCreateKillOnCloseJob(int allowBreakaway) {
  HANDLE job = ::CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | (allowBreakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
  if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    ::CloseHandle(job);
    return nullptr;
  }
  return job;
}

int testCreateProcessInJob(Handle job, char* commandLine, ProcessInformation* info) {
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created;
  ZeroMemory(&created, sizeof created);
  if (!::CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &created))
    return 0;
  if (!::AssignProcessToJobObject(job, created.hProcess)) {
    ::TerminateProcess(created.hProcess, 1);
    ::CloseHandle(created.hProcess);
    ::CloseHandle(created.hThread);
    return 0;
  }
  ::ResumeThread(created.hThread);
  info->process = created.hProcess;
  info->thread = created.hThread;
  info->processId = created.dwProcessId;
  info->threadId = created.dwThreadId;
  return 1;
}

int testIsProcessInJob(Handle process, Handle job) {
  BOOL inJob = FALSE;
  if (!::IsProcessInJob(process, job, &inJob)) return -1;
  return inJob ? 1 : 0;
}

int testHasEnded(Handle process, uint32_t) { return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }
