// Termination of the process that a PID file names.
#include "instance/termination.h"

#include "instance/pid_file.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const int kExitQueries = 20;
const uint32_t kExitPollInterval = 1000;
// File times may be coarse (two seconds on FAT), and the PID file is
// written only after its server was created.
const int64_t kWriteTimeSlack = 5;

// A PID file that outlived its server may name an unrelated process that
// got the same id later: one created after the PID file was written is not
// the server. The times decide alone: a lock on the server lock file, which
// anyone who can read it may take, says nothing about which process holds
// the id. Where a time is unknown the process cannot be cleared as the
// server, so it is not terminated; the server lock then decides the stop.
int isNotTheServer(Handle process, ProcessId pid, int64_t writtenAt) {
  int64_t createdAt = 0;
  if (writtenAt == kUnknownTime || os.getProcessCreationTime(process, &createdAt) != 0) {
    logMessage("The start time of the process with pid=%d or the PID file's write time is unknown, so it is not "
               "terminated.",
               pid);
    return 1;
  }
  if (createdAt <= writtenAt + kWriteTimeSlack) return 0;
  logMessage("The process with pid=%d started after the PID file was written, so it is not the server.", pid);
  return 1;
}

// Terminating the launcher would end the stop before it could report that
// the server still runs. Windows ignores the low two bits of a process id,
// so that 4n+1 to 4n+3 open process 4n: the id of the process opened is
// compared, not the PID.
int isTheLauncher(Handle process) { return os.GetProcessId(process) == os.GetCurrentProcessId(); }

// A SYSTEM service or a protected process refuses even an administrator the
// right to terminate it, and after a reboot one of them may hold the id a
// server had: every later stop would fail on it. Such a process still lets
// its creation time be read, and the guard above tells whether it can be
// the server.
int isRefusingStranger(ProcessId pid, int64_t writtenAt) {
  logMessage("Access to the process with pid=%d was denied; opening it for queries only.", pid);
  Handle process = os.OpenProcess(kProcessQueryLimitedInformation, 0, static_cast<uint32_t>(pid));
  if (process == nullptr) return 0;
  int stranger = isNotTheServer(process, pid, writtenAt);
  os.CloseHandle(process);
  return stranger;
}

int waitForExit(Handle process, ProcessId pid) {
  int remaining = kExitQueries;
  int exited = 0;
  do {
    // A failed query counts as still running.
    uint32_t code = kStillActive;
    os.GetExitCodeProcess(process, &code);
    if (code == kStillActive) {
      remaining--;
      logMessage("Process (pid=%d) has not yet exited.  Sleeping for 1 second and will try %d more time(s).", pid,
                 remaining);
      os.Sleep(kExitPollInterval);
    } else {
      logMessage("Process (pid=%d) has exited with exit code %d.", pid, static_cast<int>(code));
      exited = 1;
    }
  } while (!exited && remaining > 0);
  return exited;
}

int terminate(Handle process, ProcessId pid) {
  if (!os.TerminateProcess(process, 0)) {
    uint32_t error = os.GetLastError();
    // A process that has already ended, kept known by a handle still open
    // somewhere, cannot be terminated: Windows answers access denied. It is
    // gone all the same. A failed query counts as still running.
    uint32_t code = kStillActive;
    os.GetExitCodeProcess(process, &code);
    if (code != kStillActive) {
      logMessage("Process (pid=%d) has exited with exit code %d.", pid, static_cast<int>(code));
      return 1;
    }
    logError("Failed to terminate process (pid=%d) lastError=%d.", pid, static_cast<int>(error));
    return 0;
  }
  logMessage("Successfully began termination process for (pid=%d).", pid);
  return waitForExit(process, pid);
}

}  // namespace

int killProcess(ProcessId pid, int64_t writtenAt) {
  logMessage("killProcess(pid=%d)", pid);
  logMessage("Opening process with pid=%d.", pid);
  int result = 0;
  Handle process = os.OpenProcess(kProcessTerminate | kProcessQueryInformation, 0, static_cast<uint32_t>(pid));
  if (process == nullptr) {
    uint32_t error = os.GetLastError();
    if (error == kErrorInvalidParameter) {
      logMessage("The process with pid=%d has already terminated.", pid);
      result = 1;
    } else if (error == kErrorAccessDenied && isRefusingStranger(pid, writtenAt)) {
      result = 1;
    } else {
      logError("Failed to open the process (pid=%d) lastError=%d.", pid, static_cast<int>(error));
    }
  } else {
    if (isTheLauncher(process)) {
      logError("The process with pid=%d is the launcher itself, so the PID file names no server process.", pid);
      result = kPidIsTheLauncher;
    } else {
      result = isNotTheServer(process, pid, writtenAt) ? 1 : terminate(process, pid);
    }
    os.CloseHandle(process);
  }
  logMessage("killProcess(pid=%d) returning %d", pid, result);
  return result;
}
