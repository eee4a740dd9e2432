// The tests' own operating-system calls on Windows.
#include "testing/test_platform.h"

#include <windows.h>

#include <direct.h>
#include <string.h>

uint32_t testCurrentDirectory(uint32_t size, char* buffer) { return ::GetCurrentDirectoryA(size, buffer); }

const char* testCommandLine() { return ::GetCommandLineA(); }

int testRemoveDirectory(const char* path) { return _rmdir(path); }

int testHoldFile(const char* path, const char* how) {
  HANDLE file = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  if (strcmp(how, "lock-all") != 0) return 0;
  OVERLAPPED whole;
  ZeroMemory(&whole, sizeof whole);
  return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole) ? 0
                                                                                                              : -1;
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
