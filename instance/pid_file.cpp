#include "instance/pid_file.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "instance/instance_dir.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const int kNameSize = 1024;

}  // namespace

void createPidFile(const char* instanceDir, ProcessId pid) {
  logMessage("createPidFile(instanceDir='%s',pid=%d)", instanceDir, pid);
  char name[kNameSize];
  if (!getPidFileName(instanceDir, name, kNameSize)) {
    logError("Couldn't create the pid file because the pid file name could not be constructed.");
    return;
  }
  FILE* stream = os.openExclusiveForWrite(name);
  if (stream == nullptr) {
    logError("Couldn't create the pid file '%s' because the file could not be opened.", name);
    return;
  }
  int written = fprintf(stream, "%d\n", pid);
  int closed = fclose(stream);
  // A full disk shows only here; a PID file without its PID must not be
  // reported as written.
  if (written < 0 || closed != 0) {
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
  char name[kNameSize];
  if (getPidFileName(instanceDir, name, kNameSize)) {
    FILE* stream = os.openSharedForRead(name);
    if (stream == nullptr) {
      const char* kMessage = "File %s could not be opened.\nMost likely the server has already stopped.\n\n";
      logMessage(kMessage, name);
      fprintf(stderr, kMessage, name);
    } else {
      char text[kNameSize];
      size_t n = fread(text, 1, kNameSize - 1, stream);
      fclose(stream);
      text[n] = '\0';
      if (n == 0) {
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
