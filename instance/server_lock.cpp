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

ServerLockState probeServerLock(const char* instanceDir, int* error) {
  uint32_t folderError = kErrorPathNotFound;
  Handle folder = openInstanceFolder(instanceDir, "locks", &folderError);
  if (folder == nullptr) {
    // Only a folder that is not there says the server is gone: one refused
    // (a link, a file) or unreadable (rights, descriptors) says nothing.
    if (folderError == kErrorFileNotFound || folderError == kErrorPathNotFound) return kLockFileMissing;
    *error = static_cast<int>(folderError);
    return kLockFileUnopened;
  }
  int fd = os.openFileInFolder(folder, "server.lock", kFolderFileProbe);
  uint32_t openError = fd == -1 ? os.GetLastError() : 0;
  os.CloseHandle(folder);
  if (fd == -1) {
    *error = static_cast<int>(openError);
    if (openError == kErrorFileNotFound || openError == kErrorPathNotFound) return kLockFileMissing;
    return openError == kErrorDirectory ? kLockFileIsAFolder : kLockFileUnopened;
  }
  int held = os.probeFirstByteLock(fd);
  int lockError = errno;
  os.closeDescriptor(fd);
  if (held == 1) return kLockHeld;
  if (held == 0) return kLockFree;
  *error = lockError;
  return kLockFailed;
}
