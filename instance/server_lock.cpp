// The server lock file: its name.
#include "instance/server_lock.h"

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
