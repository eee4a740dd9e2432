// stop: terminating the server, waiting for its lock, removing its PID file.
#include "instance/stop.h"

#include <cstdio>
#include <cstdlib>

#include "instance/instance_dir.h"
#include "instance/pid_file.h"
#include "instance/server_lock.h"
#include "instance/termination.h"
#include "log/log.h"
#include "platform/format.h"
#include "platform/platform.h"

namespace {

const int kLockProbes = 30;
const uint32_t kLockProbeInterval = 1000;
const int kRemoveAttempts = 10;
const uint32_t kRemoveRetryInterval = 500;

// Logs whether the PID file, name in folder, exists; 1 when it does.
int reportExistence(Handle folder, const char* name) {
  int exists = os.fileExistsInFolder(folder, "server.pid");
  logMessage("File '%s' does%s exist.", name, exists ? "" : " not");
  return exists;
}

}  // namespace

int waitForLockRelease(const char* instanceDir) {
  int remaining = kLockProbes;
  char name[kFileNameSize];
  if (!getLockFileName(instanceDir, name, kFileNameSize)) return 0;
  for (;;) {
    int error = 0;
    ServerLockState state = probeServerLock(instanceDir, &error);
    logMessage("File '%s' does%s exist.", name, state == kLockFileMissing ? " not" : "");
    switch (state) {
      case kLockFileMissing:
        logMessage("Lock file '%s' does not exist, so the server is stopped.", name);
        return 1;
      case kLockFileIsAFolder:
      case kLockFileUnopened:
        // No evidence either way: only a released lock or a missing file
        // says the server has stopped.
        logMessage("Could not open the lock file '%s' (last error %d), so the server may still hold it.", name,
                   error);
        break;
      case kLockFree:
        logMessage("Acquired the lock on '%s', so the server is stopped.", name);
        return 1;
      case kLockFailed:
        logError("Unexpected error locking '%s': %d", name, error);
        break;
      case kLockHeld:
        break;
    }
    remaining--;
    logMessage("The server still holds the lock on '%s'.  Sleeping for 1 second and will try %d more time(s).", name,
               remaining);
    os.Sleep(kLockProbeInterval);
    if (remaining <= 0) {
      logError("The server did not release the lock on '%s'.", name);
      return 0;
    }
  }
}

int deletePidFile(const char* instanceDir) {
  int removed = 0;
  int remaining = kRemoveAttempts;
  logMessage("Attempting to delete the PID file from instanceDir='%s'.", instanceDir);
  char name[kFileNameSize];
  Handle folder = nullptr;
  if (getPidFileName(instanceDir, name, kFileNameSize)) {
    // Removed through the folder opened as itself, never through a link.
    folder = openInstanceFolder(instanceDir, "logs");
    int exists = folder != nullptr && reportExistence(folder, name);
    while (exists && remaining > 0 && !removed) {
      logMessage("PID file '%s' exists, attempting to remove it.", name);
      if (os.removeFileInFolder(folder, "server.pid") == 0) {
        logMessage("Successfully removed PID file: '%s'.", name);
        removed = 1;
      } else {
        remaining--;
        logMessage("Failed to remove the PID file.  Sleeping for a bit.  Will try %d more time(s).", remaining);
        os.Sleep(kRemoveRetryInterval);
      }
      exists = reportExistence(folder, name);
    }
  }
  if (folder != nullptr) os.CloseHandle(folder);
  logMessage("deletePidFile('%s') returning %d.", instanceDir, removed);
  return removed;
}

namespace {

// The stop sequence, with the instance directory held.
int stopHeldServer(const char* instanceDir) {
  int64_t writtenAt = kUnknownTime;
  ProcessId pid = getPid(instanceDir, &writtenAt);
  if (pid != 0) {
    // Opened before the decision, and kept open through it: which process
    // holds this very file open tells the server from a stranger.
    int lockFd = openServerLockFile(instanceDir);
    int killed = killProcess(pid, writtenAt, lockFd);
    if (lockFd >= 0) os.closeDescriptor(lockFd);
    if (killed == 0) return -1;
    if (killed == kPidIsTheLauncher) pid = 0;
  }
  if (pid == 0) {
    logMessage("Could not locate the pid of the server running at root '%s': relying on the server lock alone.",
               instanceDir);
  }
  if (!waitForLockRelease(instanceDir)) {
    const char* kMessage = "The server at '%s' is still running: it did not release the server lock.\n";
    logError(kMessage, instanceDir);
    printError(kMessage, instanceDir);
    return -1;
  }
  if (pid != 0) deletePidFile(instanceDir);
  return 0;
}

}  // namespace

int stopServer(const char* instanceDir) {
  logMessage("Attempting to stop the server running at root '%s'.", instanceDir);
  holdInstanceDir(instanceDir);
  int result = stopHeldServer(instanceDir);
  releaseInstanceDir();
  return result;
}

int stopCommand(int, char** argv) {
  char* instanceDir = getInstanceDirArgument(argv[2]);
  if (instanceDir == nullptr) return -1;
  int result = stopServer(instanceDir);
  free(instanceDir);
  return result;
}
