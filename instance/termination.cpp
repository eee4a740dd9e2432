// Termination of the process that a PID file names.
#include "instance/termination.h"

#include "instance/pid_file.h"
#include "instance/server_lock.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const int kExitQueries = 20;
const uint32_t kExitPollInterval = 1000;
// File times may be coarse (two seconds on FAT), and the PID file is
// written only after its server was created.
const int64_t kWriteTimeSlack = 5;

// What the times say of the process at the PID: a PID file that outlived
// its server may name an unrelated process that got the same id later, and
// one created after the PID file was written is not the server.
ServerTimes timesOf(Handle process, int64_t writtenAt) {
  int64_t createdAt = 0;
  if (writtenAt == kUnknownTime || os.getProcessCreationTime(process, &createdAt) != 0) return kTimesUnknown;
  return createdAt <= writtenAt + kWriteTimeSlack ? kTimesAgree : kTimesDisagree;
}

// Whether the process holds the lock file open: 1, 0, or -1 when that
// cannot be told. Windows ignores the low two bits of a process id, so the
// id of the process opened is asked about, not the PID.
int holdsLockFile(Handle process, ProcessId pid, int lockFd) {
  if (lockFd == kServerLockFileMissing) return 0;
  if (lockFd < 0) return -1;
  uint32_t id = os.GetProcessId(process);
  return os.isProcessUsingFile(lockFd, id != 0 ? id : static_cast<uint32_t>(pid));
}

// Times can mislead where they are not the launcher's own clock (a wall
// clock stepped after start, a share's or FAT's time stamps), so a process
// that holds the lock file open is the server whatever they say. Only the
// times are asked first: where they agree, as they do but after such a
// step, nothing else is needed. 1 when the process is left alone.
int isNotTheServer(Handle process, ProcessId pid, int64_t writtenAt, int lockFd) {
  ServerTimes times = timesOf(process, writtenAt);
  int holds = times == kTimesAgree ? -1 : holdsLockFile(process, pid, lockFd);
  if (isTheServer(times, holds)) {
    if (times != kTimesAgree) logMessage("The process with pid=%d holds the server lock file open, so it is the server.", pid);
    return 0;
  }
  if (times == kTimesUnknown) {
    logMessage("The start time of the process with pid=%d or the PID file's write time is unknown, so it is not "
               "terminated.",
               pid);
  } else {
    logMessage("The process with pid=%d started after the PID file was written, so it is not the server.", pid);
  }
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
int isRefusingStranger(ProcessId pid, int64_t writtenAt, int lockFd) {
  logMessage("Access to the process with pid=%d was denied; opening it for queries only.", pid);
  Handle process = os.OpenProcess(kProcessQueryLimitedInformation, 0, static_cast<uint32_t>(pid));
  if (process == nullptr) return 0;
  int stranger = isNotTheServer(process, pid, writtenAt, lockFd);
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

// A lock on the server lock file is no proof: anyone who can read the file
// can take one, from any process. Holding the file open is evidence of
// another kind, tied to the process itself: a process that got a dead
// server's id holds it open only if it is a reader of that very file. The
// times decide where the evidence cannot be had; where neither clears the
// process, it is not terminated, and the server lock decides the stop.
int isTheServer(ServerTimes times, int holdsLockFile) { return times == kTimesAgree || holdsLockFile == 1; }

int killProcess(ProcessId pid, int64_t writtenAt, int lockFd) {
  logMessage("killProcess(pid=%d)", pid);
  logMessage("Opening process with pid=%d.", pid);
  int result = 0;
  Handle process = os.OpenProcess(kProcessTerminate | kProcessQueryInformation, 0, static_cast<uint32_t>(pid));
  if (process == nullptr) {
    uint32_t error = os.GetLastError();
    if (error == kErrorInvalidParameter) {
      logMessage("The process with pid=%d has already terminated.", pid);
      result = 1;
    } else if (error == kErrorAccessDenied && isRefusingStranger(pid, writtenAt, lockFd)) {
      result = 1;
    } else {
      logError("Failed to open the process (pid=%d) lastError=%d.", pid, static_cast<int>(error));
    }
  } else {
    if (isTheLauncher(process)) {
      logError("The process with pid=%d is the launcher itself, so the PID file names no server process.", pid);
      result = kPidIsTheLauncher;
    } else {
      result = isNotTheServer(process, pid, writtenAt, lockFd) ? 1 : terminate(process, pid);
    }
    os.CloseHandle(process);
  }
  logMessage("killProcess(pid=%d) returning %d", pid, result);
  return result;
}
