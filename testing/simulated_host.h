// The host's operations with processes, time and the executable's own path
// simulated, for runs of the launcher that need no real child: creation,
// opening, termination and exit codes are answered here, and time (the
// tick count of bounded waits too) passes only when the launcher sleeps,
// at once, recorded. Files are the host's.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

struct SimulatedProcess {
  uint32_t pid;
  int64_t createdAt;  // seconds since 1970
  int64_t endsAtMs;   // on the clock of slept time; -1 while nothing ends it
  uint32_t exitCode;
  int ended;
  int lockFd;  // a lock it holds until it ends (its server lock), or -1
};

struct SimulatedHandle {
  SimulatedProcess* process;
  int open;
  int fromOpenProcess;  // 0 for the handles of a created child
};

struct Simulation {
  std::deque<SimulatedProcess> processes;
  std::deque<SimulatedHandle> handles;
  int64_t clockMs = 0;
  std::vector<uint32_t> sleeps;
  // A run that sleeps more often, or longer in all, is stopped (RunAborted).
  size_t sleepLimit = 0;
  int64_t clockLimitMs = 0;
  uint32_t nextPid = 5000;
  // How a created child behaves: it ends after this much slept time (-1:
  // never by itself), with this exit code.
  int64_t childEndsAfterMs = -1;
  uint32_t childExitCode = 0;
  std::vector<uint32_t> created;
  // Misuse seen by the stand-ins, as invariant and what happened: a handle
  // that is no open process handle, one from a failed creation's record, a
  // double close, a log deleted within its cap.
  std::vector<std::pair<std::string, std::string>> misuse;
  // Descriptors that simulated processes closed when they ended.
  int releasedDescriptors = 0;
  std::string modulePath;
  std::string tempPath;
  uint32_t logCap = 500000;
};

extern Simulation simulation;

// The host's table with the simulated entries in place.
Platform simulatedHost();
// Closes what the simulated processes hold and starts afresh.
void resetSimulation();
// What a simulated process handle stands for ("process N", "child N"), or
// "" for a handle that is not one.
std::string describeSimulatedHandle(Handle handle);
