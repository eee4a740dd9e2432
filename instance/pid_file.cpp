// The PID file: its name, writing, reading and write time.
#include "instance/pid_file.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "instance/instance_dir.h"
#include "log/log.h"
#include "platform/format.h"
#include "platform/platform.h"

namespace {

const char kPidFileSuffix[] = PATH_SEP "logs" PATH_SEP "server.pid";

// The launcher runs elevated, and others may be able to write into the logs
// folder: the PID file's name may hold a link to a file elsewhere, a second
// name of another file, or a FIFO. Only a plain file is read or written.
int isPlainFile(const InstanceFileInfo& info) { return info.isRegular && info.links == 1; }

const char kPidFileLeaf[] = "server.pid";
// Names a new PID file may take before it is renamed over the PID file.
const int kNewPidFileNames = 16;

// What writePidFile achieved.
enum PidFileWrite { kPidFileWritten, kPidFileNotCreated, kPidFileNotWritten, kPidFileNotReplaced };

// A new file of this run's own, created exclusively in folder with its
// rights set from the start, and its name in name: the run's process id and
// a counter, so that a file left or held at one name (by a run that died,
// a concurrent start, another user) is passed by, never reused or removed.
// -1 when none could be created.
int createNewPidFile(Handle folder, char* name, size_t size) {
  for (int counter = 0; counter < kNewPidFileNames; counter++) {
    formatBounded(name, size, "%s.%u-%d.new", kPidFileLeaf, static_cast<unsigned>(os.GetCurrentProcessId()), counter);
    int fd = os.openFileInFolder(folder, name, kFolderFileCreateNew);
    if (fd != -1) return fd;
  }
  return -1;
}

// pid written into a new file and renamed over the PID file, so that
// readers see the old file or the new one whole. The new file is removed
// when it could not be completed; when it could not replace the old one, the
// old one is removed too, so that no PID file names a process this start
// did not create.
PidFileWrite writePidFile(Handle folder, ProcessId pid, uint32_t* error) {
  char newName[64];
  int fd = createNewPidFile(folder, newName, sizeof newName);
  if (fd == -1) {
    *error = os.GetLastError();
    return kPidFileNotCreated;
  }
  char text[16];
  int length = formatBounded(text, sizeof text, "%d\n", pid);
  int written = os.writeText(fd, text, static_cast<uint32_t>(length));
  int closed = os.closeDescriptor(fd);
  // A full disk shows only here; a PID file without its PID must not be
  // reported as written.
  if (written != 0 || closed != 0) {
    *error = os.GetLastError();
    os.removeFileInFolder(folder, newName);
    return kPidFileNotWritten;
  }
  if (os.renameInFolder(folder, newName, kPidFileLeaf) != 0) {
    *error = os.GetLastError();
    // Where the old file cannot be replaced, it must not stay to name
    // another process; with it gone, the new one may yet take its name.
    os.removeFileInFolder(folder, kPidFileLeaf);
    if (os.renameInFolder(folder, newName, kPidFileLeaf) == 0) return kPidFileWritten;
    os.removeFileInFolder(folder, newName);
    return kPidFileNotReplaced;
  }
  return kPidFileWritten;
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
  holdInstanceDir(instanceDir);
  Handle folder = openInstanceFolder(instanceDir, "logs");
  uint32_t error = 0;
  PidFileWrite written = folder != nullptr ? writePidFile(folder, pid, &error) : kPidFileNotCreated;
  if (folder != nullptr) os.CloseHandle(folder);
  releaseInstanceDir();
  switch (written) {
    case kPidFileNotCreated:
      logError("Couldn't create the pid file '%s' because the file could not be opened.", name);
      return;
    case kPidFileNotWritten:
      logError("Couldn't write pid=%d to the pid file '%s'.", pid, name);
      return;
    case kPidFileNotReplaced:
      logError("Couldn't replace the pid file '%s' (last error %d), so it was removed where it could be.", name,
               static_cast<int>(error));
      return;
    case kPidFileWritten:
      logMessage("Successfully put pid=%d in the pid file '%s'.", pid, name);
      return;
  }
}

ProcessId parsePidText(const char* text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<ProcessId>(value);
}

ProcessId getPid(const char* instanceDir, int64_t* writtenAt) {
  logMessage("Attempting to get the PID for the server rooted at '%s'.", instanceDir);
  ProcessId result = 0;
  *writtenAt = kUnknownTime;
  char name[kFileNameSize];
  if (getPidFileName(instanceDir, name, kFileNameSize)) {
    Handle folder = openInstanceFolder(instanceDir, "logs");
    int fd = folder != nullptr ? os.openFileInFolder(folder, kPidFileLeaf, kFolderFileRead) : -1;
    if (folder != nullptr) os.CloseHandle(folder);
    if (fd == -1) {
      const char* kMessage = "File %s could not be opened.\nMost likely the server has already stopped.\n\n";
      logMessage(kMessage, name);
      printError(kMessage, name);
    } else {
      // Anything but a plain file reads as empty.
      InstanceFileInfo info;
      int plain = os.getInstanceFileInfo(fd, &info) == 0 && isPlainFile(info);
      // Its PID would be terminated with the launcher's rights.
      int trusted = plain && info.isTrusted;
      char text[kPidTextSize];
      int n = trusted ? os.readText(fd, text, kPidTextSize - 1) : 0;
      // The time comes from the file the PID came from: looked up by name
      // later, it could be another file's, put there meanwhile.
      int64_t seconds = 0;
      if (trusted && os.getFileWriteTime(fd, &seconds) == 0) *writtenAt = seconds;
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
