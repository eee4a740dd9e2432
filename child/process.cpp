// Creation of the launcher's detached children, traced in the log.
#include "child/process.h"

#include <cstring>

#include "log/log.h"

namespace {

// The child gets null standard handles through its startup record; the
// launcher's own must not leak into it through inheritance either.
void stopInheritingStandardHandles() {
  os.SetHandleInformation(os.GetStdHandle(kStdInputHandle), kHandleFlagInherit, 0);
  os.SetHandleInformation(os.GetStdHandle(kStdOutputHandle), kHandleFlagInherit, 0);
  os.SetHandleInformation(os.GetStdHandle(kStdErrorHandle), kHandleFlagInherit, 0);
}

// Nothing is inherited: a handle the launcher inherited (the write end of a
// CI agent's output pipe, say) would otherwise live on in a server that runs
// for days, and its reader would wait for the server's end.
//
// A detached server also has to outlive its caller's job: CI agents, SSH
// sessions and schedulers run their steps in a job that kills every process
// in it when it closes. A job that does not allow breakaway refuses such a
// creation with access denied; the child is then created inside the job, as
// its owner chose. On failure, error holds the last attempt's code.
int createOutsideTheJobIfAllowed(char* commandLine, uint32_t flags, const StartupInfo* startup,
                                 ProcessInformation* info, uint32_t* error) {
  if (flags & kDetachedProcess) {
    if (os.CreateProcessA(commandLine, 0, flags | kCreateBreakawayFromJob, startup, info)) return 1;
    *error = os.GetLastError();
    if (*error != kErrorAccessDenied) return 0;
  }
  if (os.CreateProcessA(commandLine, 0, flags, startup, info)) return 1;
  *error = os.GetLastError();
  return 0;
}

}  // namespace

int createChildProcess(char* commandLine, int background, ProcessInformation* info) {
  logMessage("createChildProcess: Attempting to create child process '%s' background=%d.", commandLine, background);
  memset(info, 0, sizeof *info);
  StartupInfo startup;
  memset(&startup, 0, sizeof startup);
  startup.size = sizeof startup;
  startup.flags = kStartfUseStdHandles;
  stopInheritingStandardHandles();
  uint32_t flags = background == 1 ? kDetachedProcess : 0;
  uint32_t error = 0;
  int created = createOutsideTheJobIfAllowed(commandLine, flags, &startup, info, &error);
  if (created) {
    logMessage("createChildProcess: Successfully created child process '%s'.", commandLine);
  } else {
    logError("createChildProcess: Failed to create child process '%s'.  Last error = %d.", commandLine,
             static_cast<int>(error));
  }
  return created;
}

ProcessId spawnProcess(char* commandLine, int background) {
  ProcessInformation info;
  if (createChildProcess(commandLine, background, &info) && info.processId != 0xFFFFFFFFu) {
    ProcessId pid = static_cast<ProcessId>(info.processId);
    logMessage("The PID of the spawned process is %d.", pid);
    return pid;
  }
  logError("Could not get the PID of the spawned process.");
  return -1;
}
