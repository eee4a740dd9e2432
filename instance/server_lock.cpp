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

namespace {

// The lock file opened for reading through its locks folder (see
// openInstanceFolder); -1 with the folder's or the file's last error in
// *error, and *ofFolder set when the folder's.
int openLockFile(const char* instanceDir, uint32_t* error, int* ofFolder) {
  uint32_t folderError = kErrorPathNotFound;
  Handle folder = openInstanceFolder(instanceDir, "locks", &folderError);
  *ofFolder = folder == nullptr;
  if (folder == nullptr) {
    *error = folderError;
    return -1;
  }
  int fd = os.openFileInFolder(folder, "server.lock", kFolderFileProbe);
  *error = fd == -1 ? os.GetLastError() : 0;
  os.CloseHandle(folder);
  return fd;
}

int isMissing(uint32_t error) { return error == kErrorFileNotFound || error == kErrorPathNotFound; }

}  // namespace

int openServerLockFile(const char* instanceDir) {
  uint32_t error = 0;
  int ofFolder = 0;
  int fd = openLockFile(instanceDir, &error, &ofFolder);
  if (fd != -1) return fd;
  return isMissing(error) ? kServerLockFileMissing : kServerLockFileUnopened;
}

ServerLockState probeServerLock(const char* instanceDir, int* error) {
  uint32_t openError = 0;
  int ofFolder = 0;
  int fd = openLockFile(instanceDir, &openError, &ofFolder);
  if (fd == -1) {
    // Only a file or folder that is not there says the server is gone: one
    // refused (a link, a file) or unreadable (rights, descriptors) says
    // nothing.
    *error = static_cast<int>(openError);
    if (isMissing(openError)) return kLockFileMissing;
    return openError == kErrorDirectory && !ofFolder ? kLockFileIsAFolder : kLockFileUnopened;
  }
  int held = os.probeFirstByteLock(fd);
  int lockError = errno;
  os.closeDescriptor(fd);
  if (held == 1) return kLockHeld;
  if (held == 0) return kLockFree;
  *error = lockError;
  return kLockFailed;
}
