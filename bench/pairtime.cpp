// Times command lines against each other from one parent process, so that
// what starts that parent (Wine's own start-up, under Wine) is paid once and
// not inside any figure. The commands take turns, A B C then C B A, so that
// a slow moment of the machine falls on all of them alike.
//
// Usage: pairtime <runs> <passes> <command line>...
// Prints per pass "pass <n> <median wall time of each command, in µs>", and
// on Windows at the end "peak <command index> <largest peak working set of
// its runs, in KiB>". (Natively a spawned child's peak starts from its
// parent's, so GNU time, a small parent, measures it there.) Between runs it waits until every process that a
// run left behind (the detached child) has ended, so that no run pays for
// the one before it; that wait is not timed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#else
#include <errno.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

const int kMaxCommands = 16;
const int kLeftoverDeadlineMs = 10000;
const int kCreationAttempts = 3;
long peakKib[kMaxCommands];

#ifdef _WIN32

double ticksPerMicrosecond;

void prepareHost() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  ticksPerMicrosecond = static_cast<double>(frequency.QuadPart) / 1e6;
}

uint64_t creationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// Waits for the processes that the ended process made (and theirs). Not
// through a job: the launcher takes its child out of its caller's job, or
// tries to, and a job of the bench's own would change what it does. Wine
// reuses process ids at once, so a process counts as the run's only if it
// was created after the run began.
void waitForLeftovers(DWORD parent, uint64_t runCreated) {
  std::vector<DWORD> parents(1, parent);
  while (!parents.empty()) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    std::vector<DWORD> children;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
      if (std::find(parents.begin(), parents.end(), entry.th32ParentProcessID) != parents.end())
        children.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    std::vector<DWORD> ours;
    for (DWORD child : children) {
      HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, child);
      if (process == nullptr) continue;
      if (creationTime(process) >= runCreated) {
        ours.push_back(child);
        if (WaitForSingleObject(process, kLeftoverDeadlineMs) == WAIT_TIMEOUT)
          fprintf(stderr, "pairtime: a run left a process that did not end within %d ms\n", kLeftoverDeadlineMs);
      }
      CloseHandle(process);
    }
    parents = ours;
  }
}

// Wall time of one run in microseconds, from creation to its end.
double timeOne(const char* commandLine, int index) {
  char line[4096];
  snprintf(line, sizeof line, "%s", commandLine);
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  LARGE_INTEGER start, end;
  // Wine under a heavy load now and then fails a creation (error 1359):
  // such a run is no sample, and is made again.
  for (int attempt = 1;; attempt++) {
    QueryPerformanceCounter(&start);
    if (CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) break;
    fprintf(stderr, "pairtime: cannot start %s (error %lu)\n", commandLine, GetLastError());
    if (attempt == kCreationAttempts) exit(2);
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  PROCESS_MEMORY_COUNTERS memory;
  if (K32GetProcessMemoryInfo(info.hProcess, &memory, sizeof memory))
    peakKib[index] = std::max(peakKib[index], static_cast<long>(memory.PeakWorkingSetSize / 1024));
  uint64_t runCreated = creationTime(info.hProcess);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  waitForLeftovers(info.dwProcessId, runCreated);
  return static_cast<double>(end.QuadPart - start.QuadPart) / ticksPerMicrosecond;
}

#else

// Orphans of a run (the detached child) come back to this process, which
// reaps them.
void prepareHost() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

double nowMicroseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void waitForLeftovers() {
  for (int waited = 0; waited < kLeftoverDeadlineMs;) {
    pid_t got = waitpid(-1, nullptr, WNOHANG);
    if (got < 0 && errno == ECHILD) return;
    if (got > 0) continue;
    struct timespec pause = {0, 1000000L};
    nanosleep(&pause, nullptr);
    waited++;
  }
  fprintf(stderr, "pairtime: a run left a process that did not end within %d ms\n", kLeftoverDeadlineMs);
}

// The command line split at spaces: the bench's words hold none.
double timeOne(const char* commandLine, int index) {
  char line[4096];
  snprintf(line, sizeof line, "%s", commandLine);
  char* words[64];
  int count = 0;
  for (char* word = strtok(line, " "); word != nullptr && count < 63; word = strtok(nullptr, " ")) words[count++] = word;
  words[count] = nullptr;
  double start = nowMicroseconds();
  pid_t pid;
  if (posix_spawnp(&pid, words[0], nullptr, nullptr, words, environ) != 0) {
    fprintf(stderr, "pairtime: cannot start %s\n", commandLine);
    exit(2);
  }
  (void)index;
  int status;
  waitpid(pid, &status, 0);
  double end = nowMicroseconds();
  waitForLeftovers();
  return end - start;
}

#endif

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc - 3 > kMaxCommands) {
    fprintf(stderr, "usage: pairtime <runs> <passes> <command line>... (at most %d)\n", kMaxCommands);
    return 2;
  }
  int runs = atoi(argv[1]);
  int passes = atoi(argv[2]);
  int commands = argc - 3;
  char** lines = argv + 3;
  if (runs < 1 || passes < 1) return 2;
  prepareHost();
  for (int i = 0; i < commands; i++) timeOne(lines[i], i);
  for (int pass = 1; pass <= passes; pass++) {
    std::vector<std::vector<double>> times(static_cast<size_t>(commands));
    for (int run = 0; run < runs; run++) {
      for (int k = 0; k < commands; k++) {
        int i = run % 2 == 0 ? k : commands - 1 - k;
        times[static_cast<size_t>(i)].push_back(timeOne(lines[i], i));
      }
    }
    printf("pass %d", pass);
    for (int i = 0; i < commands; i++) printf(" %.1f", median(times[static_cast<size_t>(i)]));
    printf("\n");
    fflush(stdout);
  }
  for (int i = 0; i < commands; i++) {
    if (peakKib[i] > 0) printf("peak %d %ld\n", i, peakKib[i]);
  }
  return 0;
}
