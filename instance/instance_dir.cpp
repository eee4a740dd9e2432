// The instance directory of start and stop, and the names of its files.
#include "instance/instance_dir.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "log/log.h"
#include "platform/format.h"
#include "platform/platform.h"

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
  printError(kMessage, typed);
  return nullptr;
}

int isSafePath(const char* path) { return path != nullptr && strstr(path, "..") == nullptr; }

namespace {

// The instance directory of the operation under way, opened once: every
// folder and file beneath it is named relative to this handle, so that a
// folder along its path renamed or swapped meanwhile cannot move the
// operation to another instance.
const char* heldDir = nullptr;
Handle heldFolder = nullptr;

}  // namespace

void holdInstanceDir(const char* instanceDir) {
  releaseInstanceDir();
  if (!isSafePath(instanceDir)) return;
  heldFolder = os.openFolderAt(nullptr, instanceDir);
  if (heldFolder != nullptr) heldDir = instanceDir;
}

void releaseInstanceDir() {
  if (heldFolder != nullptr) os.CloseHandle(heldFolder);
  heldFolder = nullptr;
  heldDir = nullptr;
}

Handle openInstanceFolder(const char* instanceDir, const char* folderName, uint32_t* openError) {
  if (!isSafePath(instanceDir)) return nullptr;
  int held = heldDir != nullptr && strcmp(heldDir, instanceDir) == 0;
  Handle parent = held ? heldFolder : os.openFolderAt(nullptr, instanceDir);
  Handle folder = parent != nullptr ? os.openFolderAt(parent, folderName) : nullptr;
  uint32_t error = folder == nullptr ? os.GetLastError() : 0;
  if (parent != nullptr && !held) os.CloseHandle(parent);
  if (folder != nullptr) return folder;
  if (openError != nullptr) *openError = error;
  if (error == kErrorReparsePoint || error == kErrorDirectory)
    logError("The folder '%s" PATH_SEP "%s' is a link or not a folder, so it is not used.", instanceDir, folderName);
  return nullptr;
}

int composeInstanceFileName(const char* instanceDir, const char* suffix, char* buffer, size_t size) {
  if (!isSafePath(instanceDir) || !(strlen(instanceDir) + strlen(suffix) < size)) return 0;
  formatBounded(buffer, size, "%s%s", instanceDir, suffix);
  return 1;
}
