// The start subcommand: the server started detached and its PID recorded.
#include "instance/start.h"

#include <cstdlib>

#include "child/command_line.h"
#include "child/process.h"
#include "instance/instance_dir.h"
#include "instance/pid_file.h"
#include "log/log.h"

int startCommand(int, char** argv) {
  char* instanceDir = getInstanceDirArgument(argv[2]);
  if (instanceDir == nullptr) return -1;
  int result = -1;
  char commandLine[kCommandLineSize];
  if (!buildCommandLine(argv + 3, commandLine, kCommandLineSize)) {
    logError("Couldn't start the child process because the full command line could not be constructed.");
  } else {
    ProcessId pid = spawnProcess(commandLine, 1);
    if (pid <= 0) {
      logError("Couldn't start the child process because the spawn failed.");
    } else {
      // The PID is the result whether or not the PID file gets written.
      createPidFile(instanceDir, pid);
      result = pid;
    }
  }
  free(instanceDir);
  return result;
}
