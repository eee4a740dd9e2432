#include "instance/instance_dir.h"

#include <cstdio>
#include <cstring>

#include "common/format.h"
#include "common/text.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const char kPidFileSuffix[] = PATH_SEP "logs" PATH_SEP "server.pid";
const char kLockFileSuffix[] = PATH_SEP "locks" PATH_SEP "server.lock";

}  // namespace

char* resolveInstanceDir(const char* path) {
  if (path == nullptr) return nullptr;
  // "C:" names the current directory of drive C, which differs per process.
  if (strlen(path) == 2 && path[1] == ':') {
    logError("The path '%s' is drive-relative.", path);
    return nullptr;
  }
  char buffer[kMaxPath];
  uint32_t length = os.GetFullPathNameA(path, kMaxPath, buffer);
  if (length == 0) {
    uint32_t error = os.GetLastError();
    logError("Could not resolve the path '%s'.  Last error = %d.", path, static_cast<int>(error));
    return nullptr;
  }
  if (length >= static_cast<uint32_t>(kMaxPath)) {
    logError("The resolved form of the path '%s' is too long (%d chars).", path, static_cast<int>(length));
    return nullptr;
  }
  uint32_t attributes = os.GetFileAttributesA(buffer);
  if (attributes != kInvalidFileAttributes && (attributes & kFileAttributeDirectory)) return duplicateString(buffer);
  logError("The path '%s' is not an existing directory.", buffer);
  return nullptr;
}

char* getInstanceDirArgument(const char* argument) {
  char* dir = resolveInstanceDir(argument);
  if (dir != nullptr) return dir;
  const char* kMessage = "The instance directory '%s' is not valid.\n";
  const char* typed = argument != nullptr ? argument : "(null)";
  logError(kMessage, typed);
  fprintf(stderr, kMessage, typed);
  return nullptr;
}

int isSafePath(const char* path) { return path != nullptr && strstr(path, "..") == nullptr; }

int composePidFileName(const char* instanceDir, char* buffer, size_t size) {
  if (!isSafePath(instanceDir) || !(strlen(instanceDir) + strlen(kPidFileSuffix) < size)) return 0;
  formatBounded(buffer, size, "%s%s", instanceDir, kPidFileSuffix);
  return 1;
}

int getPidFileName(const char* instanceDir, char* buffer, size_t size) {
  logMessage("Attempting to get the PID file for instanceDir='%s'", instanceDir);
  if (!isSafePath(instanceDir)) {
    logError("Unable to get the PID file name because the instance dir is not a safe path.");
    return 0;
  }
  if (!composePidFileName(instanceDir, buffer, size)) {
    logError("Unable to get the PID file name because the path was too long.");
    return 0;
  }
  logMessage("PID file name is '%s'.", buffer);
  return 1;
}

int getLockFileName(const char* instanceDir, char* buffer, size_t size) {
  if (!isSafePath(instanceDir) || !(strlen(instanceDir) + strlen(kLockFileSuffix) < size)) {
    logError("Unable to get the lock file name for instanceDir='%s'.", instanceDir);
    return 0;
  }
  formatBounded(buffer, size, "%s%s", instanceDir, kLockFileSuffix);
  return 1;
}
