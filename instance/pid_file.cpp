// The PID file: its name, writing, reading and write time.
#include "instance/pid_file.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "common/format.h"
#include "instance/instance_dir.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const char kPidFileSuffix[] = PATH_SEP "logs" PATH_SEP "server.pid";

// The launcher runs elevated, and others may be able to write into the logs
// folder: the PID file's name may hold a link to a file elsewhere, a second
// name of another file, or a FIFO. Only a plain file is read or written.
int isPlainFile(const InstanceFileInfo& info) { return info.isRegular && info.links == 1; }

const char kPidFileLeaf[] = "server.pid";
// Written first and renamed over the PID file, so that readers see the old
// file or the new one whole.
const char kNewPidFileLeaf[] = "server.pid.new";

// A new file created exclusively in folder, its rights set from the start:
// an existing file at its name (a leftover, or one another user made and
// keeps open) is removed first, never reused. -1 when not created.
int createNewPidFile(Handle folder) {
  int fd = os.openFileInFolder(folder, kNewPidFileLeaf, kFolderFileCreateNew);
  if (fd != -1) return fd;
  os.removeFileInFolder(folder, kNewPidFileLeaf);
  return os.openFileInFolder(folder, kNewPidFileLeaf, kFolderFileCreateNew);
}

// pid written into a new file and renamed over the PID file; 1 when done.
// A new file that could not be completed is removed.
int writePidFile(Handle folder, ProcessId pid) {
  int fd = createNewPidFile(folder);
  if (fd == -1) return -1;
  char text[16];
  int length = formatBounded(text, sizeof text, "%d\n", pid);
  int written = os.writeText(fd, text, static_cast<uint32_t>(length));
  int closed = os.closeDescriptor(fd);
  // A full disk shows only here; a PID file without its PID must not be
  // reported as written.
  if (written != 0 || closed != 0 || os.renameInFolder(folder, kNewPidFileLeaf, kPidFileLeaf) != 0) {
    os.removeFileInFolder(folder, kNewPidFileLeaf);
    return 0;
  }
  return 1;
}

}  // namespace

int getPidFileName(const char* instanceDir, char* buffer, size_t size) {
  logMessage("Attempting to get the PID file for instanceDir='%s'", instanceDir);
  if (!isSafePath(instanceDir)) {
    logError("Unable to get the PID file name because the instance dir is not a safe path.");
    return 0;
  }
  if (!composeInstanceFileName(instanceDir, kPidFileSuffix, buffer, size)) {
    logError("Unable to get the PID file name because the path was too long.");
    return 0;
  }
  logMessage("PID file name is '%s'.", buffer);
  return 1;
}

void createPidFile(const char* instanceDir, ProcessId pid) {
  logMessage("createPidFile(instanceDir='%s',pid=%d)", instanceDir, pid);
  char name[kFileNameSize];
  if (!getPidFileName(instanceDir, name, kFileNameSize)) {
    logError("Couldn't create the pid file because the pid file name could not be constructed.");
    return;
  }
  Handle folder = openInstanceFolder(instanceDir, "logs");
  int written = folder != nullptr ? writePidFile(folder, pid) : -1;
  if (folder != nullptr) os.CloseHandle(folder);
  if (written == -1) {
    logError("Couldn't create the pid file '%s' because the file could not be opened.", name);
    return;
  }
  if (written == 0) {
    logError("Couldn't write pid=%d to the pid file '%s'.", pid, name);
    return;
  }
  logMessage("Successfully put pid=%d in the pid file '%s'.", pid, name);
}

ProcessId parsePidText(const char* text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<ProcessId>(value);
}

ProcessId getPid(const char* instanceDir) {
  logMessage("Attempting to get the PID for the server rooted at '%s'.", instanceDir);
  ProcessId result = 0;
  char name[kFileNameSize];
  if (getPidFileName(instanceDir, name, kFileNameSize)) {
    Handle folder = openInstanceFolder(instanceDir, "logs");
    int fd = folder != nullptr ? os.openFileInFolder(folder, kPidFileLeaf, kFolderFileRead) : -1;
    if (folder != nullptr) os.CloseHandle(folder);
    if (fd == -1) {
      const char* kMessage = "File %s could not be opened.\nMost likely the server has already stopped.\n\n";
      logMessage(kMessage, name);
      fprintf(stderr, kMessage, name);
    } else {
      // Anything but a plain file reads as empty.
      InstanceFileInfo info;
      int plain = os.getInstanceFileInfo(fd, &info) == 0 && isPlainFile(info);
      // Its PID would be terminated with the launcher's rights.
      int trusted = plain && info.isTrusted;
      char text[kPidTextSize];
      int n = trusted ? os.readText(fd, text, kPidTextSize - 1) : 0;
      os.closeDescriptor(fd);
      if (n < 0) n = 0;
      text[n] = '\0';
      if (plain && !trusted) {
        logError("The PID file '%s' is not trusted: another user could have written it.", name);
      } else if (n == 0) {
        logError("The PID file '%s' is empty.", name);
      } else {
        logMessage("Read '%s' from the PID file '%s'.", text, name);
        result = parsePidText(text);
      }
    }
  }
  logMessage("getPid('%s') returning %d.", instanceDir, result);
  return result;
}

int64_t pidFileWriteTime(const char* instanceDir) {
  char name[kFileNameSize];
  int64_t writtenAt = 0;
  if (!composeInstanceFileName(instanceDir, kPidFileSuffix, name, sizeof name) ||
      os.getFileWriteTime(name, &writtenAt) != 0)
    return kUnknownTime;
  return writtenAt;
}
