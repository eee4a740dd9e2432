// Simulated processes, time and executable path behind the platform seam.
#include "testing/simulated_host.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "testing/fault_injection.h"

Simulation simulation;

namespace {

const uint32_t kErrorInvalidHandle = 6;

void noteMisuse(const char* invariant, const std::string& what) { simulation.misuse.push_back({invariant, what}); }

void endDueProcesses() {
  for (SimulatedProcess& process : simulation.processes) {
    if (process.ended || process.endsAtMs < 0 || process.endsAtMs > simulation.clockMs) continue;
    process.ended = 1;
    if (process.lockFd != -1) {
      hostPlatform().unlockFirstByte(process.lockFd);
      hostPlatform().closeDescriptor(process.lockFd);
      process.lockFd = -1;
      simulation.releasedDescriptors++;
    }
  }
}

SimulatedHandle* simulatedHandleOf(Handle handle) {
  for (SimulatedHandle& candidate : simulation.handles) {
    if (&candidate == handle) return &candidate;
  }
  return nullptr;
}

Handle newHandle(SimulatedProcess* process, int fromOpenProcess) {
  simulation.handles.push_back({process, 1, fromOpenProcess});
  return &simulation.handles.back();
}

SimulatedProcess* usableProcess(Handle handle, const char* entry) {
  if (handle == kPoisonedHandle) {
    noteMisuse("record", std::string(entry) + " was given a handle from the record of a failed CreateProcessA");
    setInjectedLastError(kErrorInvalidHandle);
    return nullptr;
  }
  SimulatedHandle* simulated = simulatedHandleOf(handle);
  if (simulated == nullptr || !simulated->open) {
    noteMisuse("handles", std::string(entry) + " was given a handle that is no open process handle");
    setInjectedLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return simulated->process;
}

int64_t wallSeconds() { return static_cast<int64_t>(time(nullptr)); }

int createProcess(char*, int, uint32_t, const StartupInfo*, ProcessInformation* info) {
  int64_t endsAt = simulation.childEndsAfterMs < 0 ? -1 : simulation.clockMs + simulation.childEndsAfterMs;
  simulation.processes.push_back({simulation.nextPid, wallSeconds(), endsAt, simulation.childExitCode, 0, -1});
  simulation.nextPid += 4;
  SimulatedProcess* process = &simulation.processes.back();
  simulation.created.push_back(process->pid);
  endDueProcesses();
  info->process = newHandle(process, 0);
  info->thread = newHandle(process, 0);
  info->processId = process->pid;
  info->threadId = process->pid + 1;
  return 1;
}

Handle openProcess(uint32_t, int, uint32_t processId) {
  for (SimulatedProcess& process : simulation.processes) {
    if (process.pid == processId && !process.ended) return newHandle(&process, 1);
  }
  setInjectedLastError(kErrorInvalidParameter);
  return nullptr;
}

int terminateProcess(Handle handle, uint32_t exitCode) {
  SimulatedProcess* process = usableProcess(handle, "TerminateProcess");
  if (process == nullptr) return 0;
  if (process->ended) {
    setInjectedLastError(kErrorAccessDenied);
    return 0;
  }
  // Termination completes a moment later: by the next sleep.
  process->exitCode = exitCode;
  process->endsAtMs = simulation.clockMs + 1;
  return 1;
}

int getExitCodeProcess(Handle handle, uint32_t* exitCode) {
  SimulatedProcess* process = usableProcess(handle, "GetExitCodeProcess");
  if (process == nullptr) return 0;
  *exitCode = process->ended ? process->exitCode : kStillActive;
  return 1;
}

int getProcessCreationTime(Handle handle, int64_t* seconds) {
  SimulatedProcess* process = usableProcess(handle, "getProcessCreationTime");
  if (process == nullptr) return -1;
  *seconds = process->createdAt;
  return 0;
}

int closeHandle(Handle handle) {
  if (handle == kPoisonedHandle) {
    noteMisuse("record", "CloseHandle was given a handle from the record of a failed CreateProcessA");
    setInjectedLastError(kErrorInvalidHandle);
    return 0;
  }
  SimulatedHandle* simulated = simulatedHandleOf(handle);
  if (simulated == nullptr) return hostPlatform().CloseHandle(handle);
  if (!simulated->open) {
    noteMisuse("handles", "CloseHandle closed a process handle twice");
    setInjectedLastError(kErrorInvalidHandle);
    return 0;
  }
  simulated->open = 0;
  return 1;
}

void sleepInstantly(uint32_t milliseconds) {
  simulation.sleeps.push_back(milliseconds);
  simulation.clockMs += milliseconds;
  endDueProcesses();
  if (simulation.sleeps.size() > simulation.sleepLimit || simulation.clockMs > simulation.clockLimitMs) {
    throw RunAborted{std::to_string(simulation.sleeps.size()) + " sleeps, " + std::to_string(simulation.clockMs) +
                     " ms in all"};
  }
}

uint32_t copyText(const std::string& text, char* buffer, uint32_t size) {
  if (text.size() + 1 > size) return static_cast<uint32_t>(text.size() + 1);
  memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<uint32_t>(text.size());
}

uint32_t getModuleFileName(char* buffer, uint32_t size) {
  uint32_t length = copyText(simulation.modulePath, buffer, size);
  return length < size ? length : 0;
}

uint32_t getTempPath(uint32_t size, char* buffer) { return copyText(simulation.tempPath, buffer, size); }

uint64_t getTickCount() { return 1000000 + static_cast<uint64_t>(simulation.clockMs); }

// The size of name in folder, or -1 when it cannot be read.
int64_t fileSizeInFolder(Handle folder, const char* name) {
  int fd = hostPlatform().openFileInFolder(folder, name, kFolderFileRead);
  if (fd < 0) return -1;
  LogFileInfo info;
  int64_t size = hostPlatform().getLogFileInfo(fd, &info) == 0 ? static_cast<int64_t>(info.size) : -1;
  hostPlatform().closeDescriptor(fd);
  return size;
}

// The log's cap deletes the log only when it has grown past the cap.
int deleteLogOverCap(Handle folder, const char* name, uint32_t cap) {
  int64_t size = fileSizeInFolder(folder, name);
  int deleted = hostPlatform().deleteLogOverCap(folder, name, cap);
  if (deleted && size <= static_cast<int64_t>(simulation.logCap)) {
    noteMisuse("cap", "deleteLogOverCap removed '" + std::string(name) + "' at " + std::to_string(size) +
                          " bytes, not over the cap of " + std::to_string(simulation.logCap));
  }
  return deleted;
}

// A simulated process holds no file of the host's open but its server
// lock: one that holds a lock holds the lock file open.
int isProcessUsingFile(int, uint32_t processId) {
  for (const SimulatedProcess& process : simulation.processes) {
    if (process.pid == processId && !process.ended) return process.lockFd != -1 ? 1 : 0;
  }
  return 0;
}

}  // namespace

Platform simulatedHost() {
  Platform platform = hostPlatform();
  platform.GetModuleFileNameA = getModuleFileName;
  platform.GetTempPathA = getTempPath;
  platform.GetTickCount64 = getTickCount;
  platform.deleteLogOverCap = deleteLogOverCap;
  platform.CloseHandle = closeHandle;
  platform.CreateProcessA = createProcess;
  platform.OpenProcess = openProcess;
  platform.TerminateProcess = terminateProcess;
  platform.GetExitCodeProcess = getExitCodeProcess;
  platform.Sleep = sleepInstantly;
  platform.getProcessCreationTime = getProcessCreationTime;
  platform.isProcessUsingFile = isProcessUsingFile;
  return platform;
}

void resetSimulation() {
  for (SimulatedProcess& process : simulation.processes) {
    if (process.lockFd != -1) hostPlatform().closeDescriptor(process.lockFd);
  }
  simulation = Simulation();
}

std::string describeSimulatedHandle(Handle handle) {
  if (handle == kPoisonedHandle) return "the record of a failed CreateProcessA";
  SimulatedHandle* simulated = simulatedHandleOf(handle);
  if (simulated == nullptr) return "";
  return (simulated->fromOpenProcess ? "process " : "child ") + std::to_string(simulated->process->pid);
}
