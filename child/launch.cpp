// The launch and run subcommands: a command started detached, and run's bounded wait for it.
#include "child/launch.h"

#include "child/command_line.h"
#include "child/process.h"
#include "log/log.h"

namespace {

const uint32_t kPollInterval = 500;
const uint32_t kWaitBudget = 30000;

}  // namespace

int launchCommand(int, char** argv) {
  char commandLine[kCommandLineSize];
  if (!buildCommandLine(argv + 2, commandLine, kCommandLineSize)) {
    logError("Couldn't launch the child process because the full command line could not be constructed.");
    return -1;
  }
  ProcessId pid = spawnProcess(commandLine, 1);
  if (pid > 0) {
    logMessage("Successfully launched the child process '%s'.", commandLine);
  } else {
    logError("Failed to launch the child process '%s'.", commandLine);
  }
  return pid;
}

int runCommand(int, char** argv) {
  char commandLine[kCommandLineSize];
  if (!buildCommandLine(argv + 2, commandLine, kCommandLineSize)) return -1;
  ProcessInformation child;
  if (!createChildProcess(commandLine, 1, &child)) return -1;
  // A first query that fails leaves this in place: -1, as for a failed run.
  uint32_t code = 0xFFFFFFFFu;
  os.GetExitCodeProcess(child.process, &code);
  int result = static_cast<int>(code);
  uint32_t waited = 0;
  // Each pass sleeps even when its query saw the child end.
  while (code == kStillActive) {
    os.GetExitCodeProcess(child.process, &code);
    os.Sleep(kPollInterval);
    result = static_cast<int>(code);
    waited += kPollInterval;
    if (waited > kWaitBudget) break;
  }
  return result;
}
