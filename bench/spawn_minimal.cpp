// The bare minimum for a detached start, to compare the launcher with: one
// process creation with the same flags, startup record and handle
// inheritance (none), no log, no composition. Usage: spawn-minimal <command
// line>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  char line[2100];
  snprintf(line, sizeof line, "%s", argv[1]);
  StartupInfo startup;
  memset(&startup, 0, sizeof startup);
  startup.size = sizeof startup;
  startup.flags = kStartfUseStdHandles;
  ProcessInformation info;
  memset(&info, 0, sizeof info);
  if (!os.CreateProcessA(line, 0, kDetachedProcess | kCreateBreakawayFromJob, &startup, &info)) return -1;
  return static_cast<int>(info.processId);
}
