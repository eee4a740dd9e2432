// The PID file: its name, writing, reading and write time.
#include "instance/pid_file.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
// Runs asked about, at most, for the files of the run's own form in the
// logs folder: others who may write there could put any number of them.
const int kRunQueries = 32;

// What writePidFile achieved.
enum PidFileWrite { kPidFileWritten, kPidFileNotCreated, kPidFileNotWritten, kPidFileNotReplaced };

// What became of the old PID file when the new one did not take its place.
enum OldPidFile { kOldPidFileAbsent, kOldPidFileRemoved, kOldPidFileRewritten, kOldPidFileKept };

struct PidFileOutcome {
  PidFileWrite write;
  uint32_t error;
  OldPidFile old;
  uint32_t oldError;
};

// The run's own files beside the PID file: server.pid.<process id>-<part>
// followed by ".new" (a new PID file before its rename) or ".old" (the old
// one renamed aside, where the system cannot replace a file others hold
// open). The process id of the run that made name, or 0 when name is none
// of them.
uint32_t runOfOwnFile(const char* name) {
  size_t leaf = strlen(kPidFileLeaf);
  if (strncmp(name, kPidFileLeaf, leaf) != 0 || name[leaf] != '.' || !isdigit(static_cast<unsigned char>(name[leaf + 1])))
    return 0;
  char* end = nullptr;
  unsigned long processId = strtoul(name + leaf + 1, &end, 10);
  size_t length = strlen(name);
  if (*end != '-' || length < 4) return 0;
  const char* suffix = name + length - 4;
  if (strcmp(suffix, ".new") != 0 && strcmp(suffix, ".old") != 0) return 0;
  return static_cast<uint32_t>(processId);
}

// Whether the process with this id has ended (or there is none). One that
// cannot be asked about counts as running.
int hasEnded(uint32_t processId) {
  Handle process = os.OpenProcess(kProcessQueryLimitedInformation, 0, processId);
  if (process == nullptr) return os.GetLastError() == kErrorInvalidParameter;
  uint32_t code = kStillActive;
  int ended = os.GetExitCodeProcess(process, &code) && code != kStillActive;
  os.CloseHandle(process);
  return ended;
}

struct Leftovers {
  Handle folder;
  int queries;
};

void removeIfLeftOver(const char* name, void* context) {
  Leftovers* leftovers = static_cast<Leftovers*>(context);
  uint32_t run = runOfOwnFile(name);
  if (run == 0 || run == os.GetCurrentProcessId() || leftovers->queries >= kRunQueries) return;
  leftovers->queries++;
  if (hasEnded(run) && os.removeFileInFolder(leftovers->folder, name) == 0)
    logMessage("Removed '%s', left in the logs folder by a start that is gone.", name);
}

// A start that died between creating its new file and renaming it in (or
// between renaming the old one aside and deleting it) leaves that file
// behind; once its run is gone, it is removed. A few at a time: each costs
// a query of the run that made it, and the rest wait for later starts.
void removeLeftoverFiles(Handle folder) {
  Leftovers leftovers = {folder, 0};
  os.listFolder(folder, removeIfLeftOver, &leftovers);
}

// A new file of this run's own, created exclusively in folder with its
// rights set from the start, and its name in name: the run's process id,
// so that a later start can tell when its run is gone, and a random part,
// so that no one can make the names beforehand. A name that is taken (by a
// run that died, a concurrent start, another user) is passed by, never
// reused or removed. -1 when none could be created.
int createNewPidFile(Handle folder, char* name, size_t size) {
  for (int counter = 0; counter < kNewPidFileNames; counter++) {
    // Without a random source the counter is the only part that differs.
    uint32_t random[2] = {0, static_cast<uint32_t>(counter)};
    os.getRandomBytes(random, sizeof random);
    formatBounded(name, size, "%s.%u-%08x%08x.new", kPidFileLeaf, static_cast<unsigned>(os.GetCurrentProcessId()),
                  static_cast<unsigned>(random[0]), static_cast<unsigned>(random[1]));
    int fd = os.openFileInFolder(folder, name, kFolderFileCreateNew);
    if (fd != -1) return fd;
  }
  return -1;
}

// The last resort for an old PID file that others hold open so that it can
// be neither replaced nor removed (a reader that shares no deletion): pid
// written into it in place, where they let it be written. Only a plain file
// that the launcher's own users alone could have written is written, so
// that nothing is written through it to another file. 0 when pid is in it.
int rewriteOldPidFile(Handle folder, ProcessId pid) {
  int fd = os.openFileInFolder(folder, kPidFileLeaf, kFolderFileRewrite);
  if (fd == -1) return -1;
  InstanceFileInfo info;
  char text[16];
  int length = formatBounded(text, sizeof text, "%d\n", pid);
  int written = os.getInstanceFileInfo(fd, &info) == 0 && isPlainFile(info) && info.isTrusted &&
                os.truncateFile(fd, 0) == 0 && os.writeText(fd, text, static_cast<uint32_t>(length)) == 0;
  if (written) os.stampFileWriteTime(fd);
  int closed = os.closeDescriptor(fd);
  return written && closed == 0 ? 0 : -1;
}

// The old PID file, which the new one could not replace, removed (or else
// rewritten) so that it does not stay to name a process this start did not
// create.
OldPidFile removeOldPidFile(Handle folder, ProcessId pid, uint32_t* error) {
  if (os.removeFileInFolder(folder, kPidFileLeaf) == 0) return kOldPidFileRemoved;
  *error = os.GetLastError();
  if (*error == kErrorFileNotFound || *error == kErrorPathNotFound) return kOldPidFileAbsent;
  return rewriteOldPidFile(folder, pid) == 0 ? kOldPidFileRewritten : kOldPidFileKept;
}

// pid written into a new file and renamed over the PID file, so that
// readers see the old file or the new one whole. The new file's write time
// is set from this system's clock: stop compares it with the server's
// creation time. The new file is removed when it could not be completed;
// when it could not be made, completed or renamed in, the old one is
// removed where it can be.
PidFileOutcome writePidFile(Handle folder, ProcessId pid) {
  PidFileOutcome outcome = {kPidFileWritten, 0, kOldPidFileAbsent, 0};
  removeLeftoverFiles(folder);
  char newName[64];
  int fd = createNewPidFile(folder, newName, sizeof newName);
  if (fd == -1) {
    outcome.write = kPidFileNotCreated;
    outcome.error = os.GetLastError();
    outcome.old = removeOldPidFile(folder, pid, &outcome.oldError);
    return outcome;
  }
  char text[16];
  int length = formatBounded(text, sizeof text, "%d\n", pid);
  int written = os.writeText(fd, text, static_cast<uint32_t>(length));
  // A file whose time cannot be set keeps the one its file system gave it.
  if (written == 0) os.stampFileWriteTime(fd);
  int closed = os.closeDescriptor(fd);
  // A full disk shows only here; a PID file without its PID must not be
  // reported as written.
  if (written != 0 || closed != 0) {
    outcome.write = kPidFileNotWritten;
    outcome.error = os.GetLastError();
    os.removeFileInFolder(folder, newName);
    outcome.old = removeOldPidFile(folder, pid, &outcome.oldError);
    return outcome;
  }
  if (os.renameInFolder(folder, newName, kPidFileLeaf) != 0) {
    outcome.error = os.GetLastError();
    // With the old one gone, the new one may yet take its name.
    outcome.old = removeOldPidFile(folder, pid, &outcome.oldError);
    if (outcome.old != kOldPidFileRewritten && os.renameInFolder(folder, newName, kPidFileLeaf) == 0)
      return {kPidFileWritten, 0, kOldPidFileAbsent, 0};
    outcome.write = kPidFileNotReplaced;
    os.removeFileInFolder(folder, newName);
  }
  return outcome;
}

// What became of the old PID file, after the error that says why the new
// one is not in its place.
void reportOldPidFile(const PidFileOutcome& outcome, const char* name) {
  if (outcome.old == kOldPidFileRemoved) {
    logMessage("Removed the old pid file '%s', so that it names no process this start did not create.", name);
  } else if (outcome.old == kOldPidFileRewritten) {
    logMessage("The old pid file '%s' could be neither replaced nor removed (last error %d): another program holds "
               "it open. Wrote the new pid into it in place.",
               name, static_cast<int>(outcome.oldError));
  } else if (outcome.old == kOldPidFileKept) {
    logError("The old pid file '%s' could be neither replaced, removed nor rewritten (last error %d): another "
             "program holds it open. It may still name an earlier process, not the server just started.",
             name, static_cast<int>(outcome.oldError));
  }
}

struct AsideCopy {
  char name[64];
  int queries;
};

void findAsideCopy(const char* name, void* context) {
  AsideCopy* copy = static_cast<AsideCopy*>(context);
  size_t length = strlen(name);
  uint32_t run = runOfOwnFile(name);
  if (copy->name[0] != '\0' || run == 0 || length >= sizeof copy->name || strcmp(name + length - 4, ".old") != 0 ||
      copy->queries >= kRunQueries)
    return;
  copy->queries++;
  if (!hasEnded(run)) memcpy(copy->name, name, length + 1);
}

// The PID file opened for reading, from folder. Where the system cannot
// replace a file others hold open, a start renames the old file aside
// before it renames the new one in, and for that moment the name is
// missing: then the copy a running start moved aside is read, as the stop
// would have read it a moment earlier; once that start has deleted it, its
// new file is in place.
int openPidFile(Handle folder) {
  int fd = os.openFileInFolder(folder, kPidFileLeaf, kFolderFileRead);
  if (fd != -1 || os.GetLastError() != kErrorFileNotFound) return fd;
  AsideCopy copy = {"", 0};
  os.listFolder(folder, findAsideCopy, &copy);
  fd = copy.name[0] != '\0' ? os.openFileInFolder(folder, copy.name, kFolderFileRead) : -1;
  if (fd != -1) {
    logMessage("The pid file is being replaced by a start: reading the old one from '%s'.", copy.name);
    return fd;
  }
  // No copy (left): a start may have put its new file in place meanwhile.
  return os.openFileInFolder(folder, kPidFileLeaf, kFolderFileRead);
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
  PidFileOutcome outcome = {kPidFileNotCreated, 0, kOldPidFileAbsent, 0};
  if (folder != nullptr) outcome = writePidFile(folder, pid);
  if (folder != nullptr) os.CloseHandle(folder);
  releaseInstanceDir();
  switch (outcome.write) {
    case kPidFileNotCreated:
      logError("Couldn't create the pid file '%s' because the file could not be opened.", name);
      break;
    case kPidFileNotWritten:
      logError("Couldn't write pid=%d to the pid file '%s'.", pid, name);
      break;
    case kPidFileNotReplaced:
      logError("Couldn't replace the pid file '%s' (last error %d), so it was removed where it could be.", name,
               static_cast<int>(outcome.error));
      break;
    case kPidFileWritten:
      logMessage("Successfully put pid=%d in the pid file '%s'.", pid, name);
      return;
  }
  reportOldPidFile(outcome, name);
  if (outcome.old == kOldPidFileRewritten) logMessage("Successfully put pid=%d in the pid file '%s'.", pid, name);
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
    int fd = folder != nullptr ? openPidFile(folder) : -1;
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
