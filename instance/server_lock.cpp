// The server lock file: its name and one probe of its lock.
#include "instance/server_lock.h"

#include <cerrno>

#include "instance/instance_dir.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const char kLockFileSuffix[] = PATH_SEP "locks" PATH_SEP "server.lock";

}  // namespace

int getLockFileName(const char* instanceDir, char* buffer, size_t size) {
  if (!composeInstanceFileName(instanceDir, kLockFileSuffix, buffer, size)) {
    logError("Unable to get the lock file name for instanceDir='%s'.", instanceDir);
    return 0;
  }
  return 1;
}

ServerLockState probeServerLock(const char* lockFileName, int* error) {
  if (os.statPath(lockFileName) != 0) return kLockFileMissing;
  int fd = os.openReadWrite(lockFileName);
  if (fd == -1) {
    *error = errno;
    return kLockFileUnopened;
  }
  if (os.lockFirstByte(fd) != -1) {
    // The byte is released before the file is closed.
    os.unlockFirstByte(fd);
    os.closeDescriptor(fd);
    return kLockFree;
  }
  int lockError = errno;
  os.closeDescriptor(fd);
  if (lockError == EACCES) return kLockHeld;
  *error = lockError;
  return kLockFailed;
}

int isServerLockHeld(const char* instanceDir) {
  char name[kFileNameSize];
  int error = 0;
  return composeInstanceFileName(instanceDir, kLockFileSuffix, name, sizeof name) &&
         probeServerLock(name, &error) == kLockHeld;
}
