// Every platform call fails once: each scenario of the launcher runs once
// counting its calls through the seam, then once for every call and every
// way that call can fail, and each run is checked against what the launcher
// promises whatever fails.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "app/launcher.h"
#include "log/log.h"
#include "child/process.h"
#include "testing/fault_injection.h"
#include "testing/simulated_host.h"
#include "testing/test_support.h"

namespace {

const uint32_t kLogCap = 500000;
const char kLogName[] = "native-windows.out";
const char kLostEntry[] = "Could not create log file.\n";
const uint32_t kServerPid = 4100;
const char kStalePid[] = "4200";
const char kOldPid[] = "31337";
const size_t kCallLimit = 20000;

// For a crash in the middle of a run: which run, and where its standard
// streams went.
std::string currentRun;
std::string currentCaptures;
int crashReportFd = 2;

// ---------------------------------------------------------------------------
// Scenarios.

enum Kind { kStart, kStop, kLaunch, kRun, kUnknown };

struct Setup {
  const char* pidFile = nullptr;  // the PID file's line before the run; "@server" for the server's PID
  bool server = false;            // the server runs and holds its lock
  bool serverLooksYounger = false;  // its creation time is after its PID file's, as after a clock step
  bool freeLockFile = false;      // a lock file that nobody holds
  int64_t childEndsAfterMs = -1;  // a created child ends after this much slept time; -1 never
  uint32_t childExitCode = 0;
  bool logInTemp = false;  // no logs directory beside the executable's: the log goes to the temporary one
  bool oversizedLog = false;
};

// What a scenario returns when nothing fails; kFirstChild stands for the
// PID of the first child it creates.
const int kFirstChild = -1000;

struct Scenario {
  const char* name;
  Kind kind;
  std::vector<std::string> words;  // after the launcher's own name; "@instance" is the instance directory
  Setup setup;
  int unfailedResult;
  int (*program)(int, char**) = runLauncher;
};

const Scenario kScenarios[] = {
    {"start of a server into a fresh instance",
     kStart,
     {"start", "@instance", "server.exe", "--port", "8080"},
     {},
     kFirstChild},
    {"start with an existing PID file", kStart, {"start", "@instance", "server.exe"}, {.pidFile = kOldPid}, kFirstChild},
    {"stop of a running server", kStop, {"stop", "@instance"}, {.pidFile = "@server", .server = true}, 0},
    {"stop of a server that looks younger than its PID file",
     kStop,
     {"stop", "@instance"},
     {.pidFile = "@server", .server = true, .serverLooksYounger = true},
     0},
    {"stop with a stale PID file", kStop, {"stop", "@instance"}, {.pidFile = kStalePid, .freeLockFile = true}, 0},
    {"stop with nothing there", kStop, {"stop", "@instance"}, {}, 0},
    {"launch", kLaunch, {"launch", "tool.exe", "one", "two words"}, {}, kFirstChild},
    {"run of a child that ends at once",
     kRun,
     {"run", "tool.exe", "--quick"},
     {.childEndsAfterMs = 0, .childExitCode = 7},
     7},
    {"run of a child that ends late",
     kRun,
     {"run", "tool.exe", "--slow"},
     {.childEndsAfterMs = 1200, .childExitCode = 3},
     3},
    {"an unknown subcommand", kUnknown, {"frobnicate", "x"}, {.logInTemp = true}, -1},
    {"a first run that deletes a log over the cap",
     kLaunch,
     {"launch", "tool.exe"},
     {.oversizedLog = true},
     kFirstChild},
};

// The design's wait budgets: run polls at most 61 times (500 ms each); stop
// waits at most 20 times for the exit, 30 for the lock (1000 ms each) and
// 10 for the removal (500 ms). Sleeps shorter than those are the log's
// brief waits for other runs: 50 ms for an open, 100 ms once for another
// program's lock, 2000 ms for a run's lock on one entry.
const uint32_t kShortestPoll = 500;
size_t pollBudget(Kind kind) { return kind == kRun ? 61 : kind == kStop ? 20 + 30 + 10 : 0; }
const uint64_t kBriefWaitBudgetMs = 50 + 100 + 2000;

// ---------------------------------------------------------------------------
// What the design says of a failed step, by what the step acted on.

enum Role { kRoleAny, kRoleLog, kRolePidFile, kRoleLockFile, kRoleInstance, kRoleProcess, kRoleChild, kRoleStd };

struct Paths {
  std::string root, cwd, instance, pidFile, lockFile, rootLogsDir, tempLogsDir;
  std::vector<std::string> logs;  // where the log may be: beside the executable, in the temporary directory, here
};

// The log's folders (held open for the run, the temporary one checked
// first) and the log named in the current directory.
bool isLogPlace(const std::string& subject, const Paths& paths) {
  std::string rootLogs = paths.rootLogsDir.substr(0, paths.rootLogsDir.size() - 1);
  std::string tempLogs = paths.tempLogsDir.substr(0, paths.tempLogsDir.size() - 1);
  std::string temp = tempLogs.substr(0, tempLogs.size() - 4);
  return subject == kLogName || subject == "." || subject == std::string(".") + PATH_SEP + kLogName ||
         subject == paths.rootLogsDir || subject == paths.tempLogsDir || subject == rootLogs || subject == tempLogs ||
         subject == temp;
}

Role roleOf(const SeamCall& call, const Paths& paths) {
  const std::string& subject = call.subject;
  for (const std::string& log : paths.logs) {
    if (subject == log) return kRoleLog;
  }
  if (isLogPlace(subject, paths)) return kRoleLog;
  if (subject == paths.pidFile) return kRolePidFile;
  if (subject == paths.lockFile) return kRoleLockFile;
  if (subject == paths.instance || subject == paths.instance + PATH_SEP) return kRoleInstance;
  if (subject.compare(0, 8, "process ") == 0) return kRoleProcess;
  if (subject.compare(0, 6, "child ") == 0) return kRoleChild;
  // Entries that name nothing they act on: what they serve in this launcher.
  switch (call.entry) {
    case kSeam_GetModuleFileNameA:
    case kSeam_GetTempPathA:
    case kSeam_GetCurrentProcessId:
    case kSeam_GetTickCount64:
    case kSeam_getCurrentTime:
    case kSeam_toLocalTime:
      return kRoleLog;
    case kSeam_GetStdHandle:
    case kSeam_SetHandleInformation:
      return kRoleStd;
    case kSeam_OpenProcess:
      return kRoleProcess;
    case kSeam_CreateProcessA:
      return kRoleChild;
  }
  return kRoleAny;
}

// A failed step is ignored (the run ends as it does without the failure),
// or it fails the run (-1).
enum Expect { kSameOutcome, kFailsRun };

struct DesignRule {
  int entry;  // -1: any
  Role role;
  const char* failure;  // nullptr: any
  Expect expect;
  const char* row;
  // For kFailsRun: the log line giving the failure's code, with what the
  // step acted on (or the PID, for a process) and the code.
  const char* reported;
};

const DesignRule kDesignRules[] = {
    {-1, kRoleLog, nullptr, kSameOutcome, "logging never changes what an operation does", nullptr},
    {-1, kRoleStd, nullptr, kSameOutcome,
     "failures of GetStdHandle and SetHandleInformation are not reported and do not change the outcome", nullptr},
    {kSeam_removeFileInFolder, kRolePidFile, nullptr, kSameOutcome,
     "failed removals of the PID file are logged and retried; they never change the result", nullptr},
    {kSeam_CloseHandle, kRoleProcess, nullptr, kSameOutcome, "CloseHandle: result ignored", nullptr},
    {kSeam_unlockFirstByte, kRoleLockFile, nullptr, kSameOutcome, "the unlock's result is not examined", nullptr},
    {kSeam_closeDescriptor, kRoleLockFile, nullptr, kSameOutcome, "closing the probe's descriptor", nullptr},
    {kSeam_GetExitCodeProcess, kRoleProcess, nullptr, kSameOutcome,
     "a failed query of the terminated process counts as still running", nullptr},
    // A guard that cannot tell (getProcessCreationTime, getFileWriteTime)
    // terminates nothing and leaves the stop to the server lock: a stale PID
    // file still stops with 0, a running server's lock fails the stop.
    // A caller's job that does not allow breakaway refuses the first creation
    // with 5; the child is then created once more without breaking away.
    {kSeam_CreateProcessA, kRoleAny, "access denied", kSameOutcome,
     "a job refusing breakaway (5): the child is created again within the job", nullptr},
    {kSeam_CreateProcessA, kRoleAny, nullptr, kFailsRun, "child not created: -1",
     "Failed to create child process '%s'.  Last error = %d."},
    {kSeam_GetFullPathNameA, kRoleInstance, "invalid name", kFailsRun, "resolution fails: the directory is refused",
     "Could not resolve the path '%s'.  Last error = %d."},
    {kSeam_GetFullPathNameA, kRoleInstance, nullptr, kFailsRun,
     "resolved form needs 260 or more: the directory is refused", nullptr},
    {kSeam_GetFileAttributesA, kRoleInstance, nullptr, kFailsRun, "not an existing directory: refused", nullptr},
    {kSeam_OpenProcess, kRoleProcess, "access denied", kFailsRun,
     "the process cannot be opened for another reason: killProcess gives 0, the stop -1",
     "Failed to open the process (pid=%d) lastError=%d."},
    {kSeam_TerminateProcess, kRoleProcess, nullptr, kFailsRun, "termination refused: killProcess gives 0",
     "Failed to terminate process (pid=%d) lastError=%d."},
    // Asked only where the times do not clear the process: without the
    // evidence such a process is not terminated, and the server's lock
    // fails the stop.
    {kSeam_isProcessUsingFile, kRoleLockFile, nullptr, kFailsRun,
     "who holds the lock file open cannot be told: the times decide, and spare the server", nullptr},
    {kSeam_stampFileWriteTime, kRoleAny, nullptr, kSameOutcome,
     "a write time that cannot be set is left as the file system set it", nullptr},
    {kSeam_getRandomBytes, kRoleAny, nullptr, kSameOutcome,
     "without a random source the new file's names differ by a counter", nullptr},
    {kSeam_listFolder, kRoleAny, nullptr, kSameOutcome,
     "a folder that cannot be listed: no leftovers removed, no copy moved aside read", nullptr},
};

const DesignRule* designRuleFor(const SeamCall& call, Role role, const char* failure) {
  for (const DesignRule& rule : kDesignRules) {
    if (rule.entry != -1 && rule.entry != call.entry) continue;
    if (rule.role != kRoleAny && rule.role != role) continue;
    if (rule.failure != nullptr && strcmp(rule.failure, failure) != 0) continue;
    return &rule;
  }
  return nullptr;
}

// A violation that the design prescribes, or a product fault reported to
// the owner of its part instead of fixed here: counted and listed, not
// failed.
struct Allowance {
  int entry;
  const char* failure;  // nullptr: any
  const char* invariant;
  const char* reason;
  bool finding;  // a fault left to its owner, rather than what the design prescribes
};

const Allowance kAllowances[] = {
    {kSeam_writeText, nullptr, "pid-file", "createPidFile, write or close fails: \"file may be incomplete\"", false},
    {kSeam_openFolderAt, nullptr, "pid-file",
     "the logs folder cannot be opened: the old PID file cannot be reached to be removed either", false},
};

const Allowance* allowanceFor(const SeamCall* call, const char* failure, const std::string& invariant) {
  if (call == nullptr) return nullptr;
  for (const Allowance& allowance : kAllowances) {
    if (allowance.entry != call->entry || invariant != allowance.invariant) continue;
    if (allowance.failure != nullptr && strcmp(allowance.failure, failure) != 0) continue;
    return &allowance;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// One run and what it left.

struct FileState {
  bool isDirectory;
  std::string content;
};
using Snapshot = std::map<std::string, FileState>;

struct SnapshotWalk {
  Snapshot* snapshot;
  std::string dir;
  const std::vector<std::string>* skipContent;
};

void snapshotDir(Snapshot& snapshot, const std::string& dir, const std::vector<std::string>& skipContent);

void snapshotEntry(const char* name, int isDirectory, void* context) {
  SnapshotWalk* walk = static_cast<SnapshotWalk*>(context);
  std::string path = joinPath(walk->dir, name);
  FileState state = {isDirectory != 0, ""};
  bool skip = false;
  for (const std::string& other : *walk->skipContent) skip = skip || other == path;
  if (!isDirectory && !skip) state.content = readFile(path);
  (*walk->snapshot)[path] = state;
  if (isDirectory) snapshotDir(*walk->snapshot, path, *walk->skipContent);
}

// Every file and directory under dir, with the content of the files (but
// those in skipContent, which may be large).
void snapshotDir(Snapshot& snapshot, const std::string& dir, const std::vector<std::string>& skipContent) {
  SnapshotWalk walk = {&snapshot, dir, &skipContent};
  testListDirectory(dir.c_str(), snapshotEntry, &walk);
}

struct Outcome {
  int result = 0;
  std::string aborted;
  std::vector<SeamCall> calls;
  bool injected = false;
  std::string out, err;
  std::vector<uint32_t> sleeps;
  bool pidFileExists = false;
  std::string pidFile;
  std::vector<uint32_t> alive, created;
  std::vector<std::pair<std::string, std::string>> misuse;
  Snapshot before, after;
  std::vector<std::string> logs;  // the content at each of Paths::logs
  int descriptorsBefore = 0, descriptorsAfter = 0;
  int openProcessHandles = 0;
};

std::string withoutCarriageReturns(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// A log of whole entries by another process, just over the cap.
std::string oversizedLogText() {
  std::string text;
  std::string line = hostText("2020/01/02 03:04:05: (pid=1)  an older run's entry\n");
  while (text.size() <= kLogCap) text += line;
  return text;
}

std::string currentDirectory() {
  char dir[4096];
  return testCurrentDirectory(sizeof dir, dir) > 0 ? std::string(dir) : std::string();
}

// Lays out a scratch install for one scenario (logs/, tmp/, cwd/ and the
// instance directory; the executable is only a name in bin/) and runs the
// scenario there, each time afresh.
class ScenarioDriver {
 public:
  explicit ScenarioDriver(const Scenario& scenario)
      : scenario_(scenario), injector_(simulatedHost(), standardFailures()) {
    injector_.setHandleDescriber(describeSimulatedHandle);
    paths_.root = makeScratchDir("faults");
    paths_.cwd = joinPath(paths_.root, "cwd");
    paths_.instance = joinPath(paths_.root, "instance");
    std::string rootLogs = joinPath(paths_.root, "logs");
    paths_.rootLogsDir = rootLogs + PATH_SEP;
    paths_.tempLogsDir = joinPath(joinPath(paths_.root, "tmp"), "logs") + PATH_SEP;
    paths_.pidFile = joinPath(joinPath(paths_.instance, "logs"), "server.pid");
    paths_.lockFile = joinPath(joinPath(paths_.instance, "locks"), "server.lock");
    paths_.logs = {joinPath(rootLogs, kLogName), paths_.tempLogsDir + kLogName, joinPath(paths_.cwd, kLogName)};
    for (const std::string& dir : madeDirs()) hostPlatform().makeDirectory(dir.c_str());
    std::string captures = makeScratchDir("faults-output");
    captureOut_ = joinPath(captures, "stdout");
    captureErr_ = joinPath(captures, "stderr");
    if (scenario.setup.oversizedLog) oldLog_ = oversizedLogText();
    home_ = currentDirectory();
    currentCaptures = captures;
  }

  ~ScenarioDriver() {
    resetSimulation();
    clearFiles();
    testChangeDirectory(home_.c_str());
    std::vector<std::string> dirs = madeDirs();
    for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir) testRemoveDirectory(dir->c_str());
    testRemoveDirectory(paths_.root.c_str());
    std::remove(captureOut_.c_str());
    std::remove(captureErr_.c_str());
    testRemoveDirectory(currentCaptures.c_str());
  }

  const Paths& paths() const { return paths_; }

  // target -1 makes the counting run; otherwise call number target fails
  // with the failure of that index.
  Outcome runOnce(int target, size_t failure) {
    prepare();
    Outcome outcome;
    // Every run starts from the same files: one look at them serves all.
    if (!prepared_) before_ = snapshot();
    prepared_ = true;
    outcome.before = before_;
    std::vector<std::string> words = {"launcher.exe"};
    for (const std::string& word : scenario_.words) words.push_back(word == "@instance" ? paths_.instance : word);
    int savedOut = testRedirectDescriptor(1, captureOut_.c_str());
    int savedErr = testRedirectDescriptor(2, captureErr_.c_str());
    crashReportFd = savedErr;
    // A sanitizer's report lands in this file too, after the run it ended.
    std::string header = "fault injection run: " + currentRun + "\n";
    testWriteDescriptor(2, header.c_str());
    outcome.descriptorsBefore = testOpenDescriptorCount();
    injector_.begin(target, failure, kCallLimit);
    try {
      outcome.result = callWithArgs(scenario_.program, words);
    } catch (const RunAborted& aborted) {
      outcome.aborted = aborted.why;
    }
    injector_.end();
    // The log's folder is held until the process ends, as this run now does.
    resetLogForTesting();
    outcome.descriptorsAfter = testOpenDescriptorCount();
    if (outcome.descriptorsAfter >= 0) outcome.descriptorsAfter += simulation.releasedDescriptors;
    crashReportFd = 2;
    testRestoreDescriptor(2, savedErr);
    testRestoreDescriptor(1, savedOut);
    outcome.calls = injector_.calls();
    outcome.injected = injector_.injected();
    outcome.out = withoutCarriageReturns(readFile(captureOut_));
    outcome.err = withoutCarriageReturns(readFile(captureErr_).substr(header.size()));
    outcome.sleeps = simulation.sleeps;
    outcome.pidFileExists = pathExists(paths_.pidFile);
    outcome.pidFile = readFile(paths_.pidFile);
    for (const SimulatedProcess& process : simulation.processes) {
      if (!process.ended) outcome.alive.push_back(process.pid);
    }
    outcome.created = simulation.created;
    outcome.misuse = simulation.misuse;
    for (const SimulatedHandle& handle : simulation.handles) {
      outcome.openProcessHandles += handle.open && handle.fromOpenProcess;
    }
    outcome.after = snapshot();
    for (const std::string& log : paths_.logs) outcome.logs.push_back(readFile(log));
    return outcome;
  }

 private:
  std::vector<std::string> madeDirs() const {
    std::vector<std::string> dirs = {joinPath(paths_.root, "tmp"), paths_.cwd, paths_.instance,
                                     joinPath(paths_.instance, "logs"), joinPath(paths_.instance, "locks")};
    if (!scenario_.setup.logInTemp) dirs.push_back(joinPath(paths_.root, "logs"));
    return dirs;
  }

  void clearFiles() {
    for (const std::string& log : paths_.logs) std::remove(log.c_str());
    testRemoveDirectory(paths_.tempLogsDir.c_str());
    std::remove(paths_.pidFile.c_str());
    std::remove(paths_.lockFile.c_str());
  }

  void prepare() {
    resetSimulation();
    simulation.modulePath = joinPath(joinPath(paths_.root, "bin"), "launcher.exe");
    simulation.tempPath = joinPath(paths_.root, "tmp") + PATH_SEP;
    simulation.sleepLimit = 20000;
    simulation.clockLimitMs = 120000;
    simulation.childEndsAfterMs = scenario_.setup.childEndsAfterMs;
    simulation.childExitCode = scenario_.setup.childExitCode;
    simulation.logCap = kLogCap;
    clearFiles();
    const Setup& setup = scenario_.setup;
    if (setup.pidFile != nullptr) {
      std::string pid = strcmp(setup.pidFile, "@server") == 0 ? std::to_string(kServerPid) : setup.pidFile;
      writeFile(paths_.pidFile, hostText(pid + "\n"));
    }
    if (setup.server || setup.freeLockFile) writeFile(paths_.lockFile, "");
    if (setup.server) {
      int fd = hostPlatform().openReadWrite(paths_.lockFile.c_str());
      EXPECT_NE(fd, -1);
      EXPECT_EQ(hostPlatform().lockFirstByte(fd), 0);
      // Started well before its PID file was written, or as it seems after
      // the wall clock was stepped back: well after.
      int64_t createdAt = static_cast<int64_t>(time(nullptr)) + (setup.serverLooksYounger ? 3600 : -3600);
      simulation.processes.push_back({kServerPid, createdAt, -1, 0, 0, fd});
    }
    if (setup.oversizedLog) writeFile(paths_.logs[0], oldLog_);
    resetLogForTesting();
    testChangeDirectory(paths_.cwd.c_str());
  }

  Snapshot snapshot() const {
    Snapshot result;
    snapshotDir(result, paths_.root, paths_.logs);
    return result;
  }

  const Scenario& scenario_;
  FaultInjector injector_;
  Paths paths_;
  std::string captureOut_, captureErr_, oldLog_, home_;
  Snapshot before_;
  bool prepared_ = false;
};

// ---------------------------------------------------------------------------
// The checks of one run.

struct Report {
  struct Violation {
    std::string invariant, entry, failure, text;
  };
  int scenarios = 0;
  size_t calls = 0;
  size_t injectionPoints = 0;
  size_t failuresTried = 0;
  std::vector<Violation> violations;
  std::map<std::string, size_t> allowed;       // reason → violations it allowed
  std::map<std::string, size_t> rulesApplied;  // design row → runs checked against it
  std::string perScenario;
};

std::string describeCall(const SeamCall& call) {
  std::string text = std::string(seamEntryName(call.entry)) + " #" + std::to_string(call.ordinal);
  if (!call.subject.empty()) text += " on '" + call.subject + "'";
  return text;
}

bool contains(const std::vector<uint32_t>& values, uint32_t value) {
  for (uint32_t candidate : values) {
    if (candidate == value) return true;
  }
  return false;
}

class RunCheck {
 public:
  RunCheck(const Scenario& scenario, const Paths& paths, const Outcome& baseline, const Outcome& run, int target,
           size_t failure, Report& report)
      : scenario_(scenario), paths_(paths), baseline_(baseline), run_(run), target_(target), report_(report) {
    if (target >= 0 && static_cast<size_t>(target) < run.calls.size()) failed_ = &run.calls[target];
    label_ = failed_ != nullptr ? failureLabel(standardFailures(), failed_->entry, failure) : "";
    for (const std::string& text : run.logs) log_ += withoutCarriageReturns(text);
  }

  void all() {
    if (!reachedTheTarget() || !ended()) return;
    result();
    design();
    stopOnlyForAStoppedServer();
    pidFile();
    standardError();
    nothingElseTouched();
    logWhole();
    logTruthful();
    seamUse();
  }

 private:
  void violation(const std::string& invariant, const std::string& message) {
    const Allowance* allowance = allowanceFor(failed_, label_, invariant);
    if (allowance != nullptr) {
      report_.allowed[std::string(allowance->finding ? "finding: " : "design: ") + allowance->reason]++;
      return;
    }
    std::string where = failed_ != nullptr ? "call " + std::to_string(target_) + " (" + describeCall(*failed_) +
                                                 ") failing with '" + label_ + "'"
                                           : "the counting run";
    report_.violations.push_back({invariant, failed_ != nullptr ? seamEntryName(failed_->entry) : "", label_,
                                  "[" + std::string(scenario_.name) + "] " + where + ": " + invariant + ": " + message});
  }

  bool reachedTheTarget() {
    if (target_ < 0) return true;
    if (!run_.injected) {
      violation("driver", "the run no longer reached call " + std::to_string(target_) + " of the counting run");
      return false;
    }
    if (baseline_.calls[target_].entry != failed_->entry) {
      violation("driver", "the run diverged from the counting run, whose call " + std::to_string(target_) + " is " +
                              describeCall(baseline_.calls[target_]));
      return false;
    }
    return true;
  }

  // No hang: the run ended, within the design's budget of sleeps.
  bool ended() {
    if (!run_.aborted.empty()) {
      violation("hang", "the run was stopped after " + run_.aborted);
      return false;
    }
    size_t polls = 0;
    uint64_t briefMs = 0;
    for (uint32_t sleep : run_.sleeps) {
      if (sleep >= kShortestPoll) {
        polls++;
      } else {
        briefMs += sleep;
      }
    }
    if (polls > pollBudget(scenario_.kind)) {
      violation("hang", std::to_string(polls) + " polling sleeps, over the budget of " +
                            std::to_string(pollBudget(scenario_.kind)));
    }
    if (briefMs > kBriefWaitBudgetMs) {
      violation("hang", "brief waits of " + std::to_string(briefMs) + " ms, over the budget of " +
                            std::to_string(kBriefWaitBudgetMs) + " ms");
    }
    return true;
  }

  // The result is one the design allows for the subcommand.
  void result() {
    Kind kind = scenario_.kind;
    std::vector<int> allowed = {-1};
    if (kind == kStop) allowed.push_back(0);
    if (kind == kRun) {
      allowed.push_back(static_cast<int>(scenario_.setup.childExitCode));
      allowed.push_back(static_cast<int>(kStillActive));
    }
    if (kind == kStart || kind == kLaunch) {
      for (uint32_t pid : run_.created) allowed.push_back(static_cast<int>(pid));
    }
    std::string list;
    bool found = false;
    for (int value : allowed) {
      found = found || value == run_.result;
      list += (list.empty() ? "" : ", ") + std::to_string(value);
    }
    if (!found) violation("result", "returned " + std::to_string(run_.result) + ", not one of " + list);
    if ((kind == kStart || kind == kLaunch) && run_.result == -1 && !run_.created.empty()) {
      violation("result", "returned -1 although it created the child " + std::to_string(run_.created[0]));
    }
    if (run_.result == static_cast<int>(kPoisonedProcessId)) {
      violation("record", "returned the process id from the record of a failed CreateProcessA");
    }
  }

  // What the design says of the failed step: ignored, or failing the run
  // and reported with its code.
  void design() {
    if (failed_ == nullptr) return;
    const DesignRule* rule = designRuleFor(*failed_, roleOf(*failed_, paths_), label_);
    if (rule == nullptr) return;
    report_.rulesApplied[std::string(rule->expect == kFailsRun ? "fails the run: " : "ignored: ") + rule->row]++;
    if (rule->expect == kFailsRun) {
      if (run_.result != -1) {
        violation("design", "returned " + std::to_string(run_.result) +
                                " after a failed step that must fail the run (" + rule->row + ")");
      }
      std::string expected = expectedReport(*rule);
      if (!expected.empty() && log_.find(expected) == std::string::npos && run_.out.empty()) {
        violation("design", "the log does not report the failure as \"" + expected + "\"");
      }
      return;
    }
    std::string differences;
    if (run_.result != baseline_.result) {
      differences += " result " + std::to_string(run_.result) + " instead of " + std::to_string(baseline_.result) + ";";
    }
    if (run_.pidFileExists != baseline_.pidFileExists || run_.pidFile != baseline_.pidFile) {
      differences += " PID file '" + run_.pidFile + "' instead of '" + baseline_.pidFile + "';";
    }
    if (run_.alive != baseline_.alive) differences += " other processes alive;";
    if (run_.err != baseline_.err) {
      differences += " standard error \"" + run_.err + "\" instead of \"" + baseline_.err + "\";";
    }
    if (!differences.empty()) {
      violation("design", "a failure the design ignores changed the outcome:" + differences + " (" + rule->row + ")");
    }
  }

  // The log line that reports the failed step with the code it left:
  // process steps name the PID, the others what they acted on.
  std::string expectedReport(const DesignRule& rule) const {
    if (rule.reported == nullptr) return "";
    char buffer[2048];
    int code = static_cast<int>(failed_->error);
    if (failed_->entry == kSeam_OpenProcess || failed_->entry == kSeam_TerminateProcess) {
      const char* line = scenario_.setup.pidFile;
      int pid = line == nullptr ? 0 : strcmp(line, "@server") == 0 ? static_cast<int>(kServerPid) : atoi(line);
      snprintf(buffer, sizeof buffer, rule.reported, pid, code);
    } else {
      snprintf(buffer, sizeof buffer, rule.reported, failed_->subject.c_str(), code);
    }
    return buffer;
  }

  // stop reports success only when the server it names is gone.
  void stopOnlyForAStoppedServer() {
    if (scenario_.kind != kStop || run_.result != 0) return;
    if (scenario_.setup.server && contains(run_.alive, kServerPid)) {
      violation("stop-live", "reported 0 while the server " + std::to_string(kServerPid) + " still runs");
    }
    int64_t named = run_.pidFileExists ? strtoll(run_.pidFile.c_str(), nullptr, 10) : 0;
    if (named > 0 && contains(run_.alive, static_cast<uint32_t>(named))) {
      violation("stop-live", "reported 0 while the PID file still names the live process " + std::to_string(named));
    }
  }

  // The PID file holds exactly one PID line, or is absent; after a start,
  // the PID of a process it created: a start whose PID file cannot be
  // written must not leave the old one naming an earlier process.
  void pidFile() {
    if (!run_.pidFileExists) return;
    int64_t named = strtoll(run_.pidFile.c_str(), nullptr, 10);
    if (scenario_.kind == kStart && !run_.created.empty() && !contains(run_.created, static_cast<uint32_t>(named))) {
      violation("pid-file", "after the start the PID file names " + std::to_string(named) + ", not a process it created");
    }
    std::string text = withoutCarriageReturns(run_.pidFile);
    size_t end = text.find_first_not_of("-0123456789");
    if (end == 0 || end == std::string::npos || text.substr(end) != "\n" || hostText(text) != run_.pidFile) {
      violation("pid-file", "the PID file holds '" + run_.pidFile + "'");
    }
  }

  // Standard error holds only the design's texts, each at most once.
  void standardError() {
    std::string rest = run_.err;
    const std::string texts[] = {
        "Unknown subcommand: [" + scenario_.words[0] + "]\n",
        "The instance directory '" + paths_.instance + "' is not valid.\n",
        "File " + paths_.pidFile + " could not be opened.\nMost likely the server has already stopped.\n\n",
        "The server at '" + paths_.instance + "' is still running: it did not release the server lock.\n",
    };
    for (const std::string& text : texts) {
      size_t at = rest.find(text);
      if (at != std::string::npos) rest.erase(at, text.size());
    }
    if (!rest.empty()) violation("stderr", "standard error holds \"" + rest + "\" besides the design's texts");
  }

  // Nothing but the instance's PID file and the log changed, and every path
  // handed to the seam lies in the scenario's install.
  void nothingElseTouched() {
    std::vector<std::string> mayChange = paths_.logs;
    mayChange.push_back(paths_.tempLogsDir.substr(0, paths_.tempLogsDir.size() - 1));
    mayChange.push_back(paths_.pidFile);
    auto changeable = [&mayChange](const std::string& path) {
      for (const std::string& allowed : mayChange) {
        if (allowed == path) return true;
      }
      return false;
    };
    for (const auto& [path, state] : run_.after) {
      auto before = run_.before.find(path);
      if (changeable(path)) continue;
      if (before == run_.before.end()) {
        violation("touched", "created '" + path + "'");
      } else if (before->second.isDirectory != state.isDirectory || before->second.content != state.content) {
        violation("touched", "changed '" + path + "'");
      }
    }
    for (const auto& [path, state] : run_.before) {
      if (!changeable(path) && run_.after.find(path) == run_.after.end()) violation("touched", "removed '" + path + "'");
    }
    for (const SeamCall& call : run_.calls) {
      if (!call.subjectIsPath || isLogPlace(call.subject, paths_)) continue;
      if (call.subject.compare(0, paths_.root.size() + 1, paths_.root + PATH_SEP) != 0) {
        violation("touched", describeCall(call) + " acts outside the instance and the log's places");
      }
    }
  }

  // The log holds whole, well-formed entries; every entry of the run is
  // there, or went with a log deleted over its cap, or was reported lost
  // on standard output, which holds nothing else.
  void logWhole() {
    std::map<std::string, int> written;  // entries in each log file since it was last deleted
    size_t attempts = 0, appended = 0;
    for (const SeamCall& call : run_.calls) {
      std::string file = call.subject == kLogName || call.subject == std::string(".") + PATH_SEP + kLogName
                             ? paths_.logs[2]
                             : call.subject;
      // Each entry takes the time once.
      if (call.entry == kSeam_getCurrentTime) attempts++;
      if (call.entry == kSeam_appendToLog && !call.failed && call.value == 0) {
        appended++;
        written[file]++;
      }
      if (call.entry == kSeam_deleteLogOverCap && !call.failed && call.value != 0) written[file] = 0;
    }
    size_t lost = 0;
    for (size_t at = run_.out.find(kLostEntry); at != std::string::npos; at = run_.out.find(kLostEntry, at + 1)) lost++;
    std::string expectedOut;
    for (size_t i = 0; i < lost; i++) expectedOut += kLostEntry;
    if (run_.out != expectedOut) violation("stdout", "standard output holds \"" + run_.out + "\"");
    if (appended + lost != attempts) {
      violation("log-lost", std::to_string(attempts) + " entries, of which " + std::to_string(appended) +
                                " were written and " + std::to_string(lost) + " reported lost");
    }
    int64_t ownPid = static_cast<int64_t>(hostPlatform().GetCurrentProcessId());
    for (size_t i = 0; i < paths_.logs.size(); i++) {
      std::vector<std::pair<int64_t, std::string>> entries;
      std::string problem = parseLog(run_.logs[i], entries);
      if (!problem.empty()) violation("log-form", "'" + paths_.logs[i] + "': " + problem);
      int own = 0, banners = 0;
      for (const auto& [pid, message] : entries) {
        if (pid != ownPid) continue;
        if (message.compare(0, 16, "--------------- ") == 0) {
          banners++;
          if (own != 0) violation("log-form", "a banner after " + std::to_string(own) + " entries of the run");
        }
        own++;
      }
      if (banners > 1) violation("log-form", std::to_string(banners) + " banners in one run");
      int expected = written.count(paths_.logs[i]) != 0 ? written[paths_.logs[i]] : 0;
      if (own != expected) {
        violation("log-lost", "'" + paths_.logs[i] + "' holds " + std::to_string(own) + " entries of the run, but " +
                                  std::to_string(expected) + " were written to it");
      }
    }
  }

  // The entries of one log file, as process id and message; a problem with
  // the text's form, or "".
  static std::string parseLog(const std::string& raw, std::vector<std::pair<int64_t, std::string>>& entries) {
#ifdef _WIN32
    for (size_t i = 0; i < raw.size(); i++) {
      if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) return "a bare line feed at " + std::to_string(i);
    }
#endif
    std::string text = withoutCarriageReturns(raw);
    if (!text.empty() && text.back() != '\n') {
      return "the last entry is cut: ..." + text.substr(text.size() > 60 ? text.size() - 60 : 0);
    }
    size_t i = 0;
    while (i < text.size()) {
      size_t header = logEntryHeaderLength(text, i);
      if (header == 0) return "text without an entry header at offset " + std::to_string(i) + ": " + text.substr(i, 60);
      int64_t pid = strtoll(text.c_str() + text.find("(pid=", i) + 5, nullptr, 10);
      size_t next = text.find('\n', i + header);
      while (next + 1 < text.size() && logEntryHeaderLength(text, next + 1) == 0) next = text.find('\n', next + 1);
      entries.push_back({pid, text.substr(i + header, next - i - header)});
      i = next + 1;
    }
    return "";
  }

  // What the log says was done, was done.
  void logTruthful() {
    size_t put = log_.find("Successfully put pid=");
    if (put != std::string::npos) {
      int64_t pid = strtoll(log_.c_str() + put + 21, nullptr, 10);
      if (withoutCarriageReturns(run_.pidFile) != std::to_string(pid) + "\n") {
        violation("truthful", "the log says pid=" + std::to_string(pid) + " was put in the PID file, which holds '" +
                                  run_.pidFile + "'");
      }
    }
    if (log_.find("Successfully removed PID file") != std::string::npos && run_.pidFileExists) {
      violation("truthful", "the log says the PID file was removed, but it is there");
    }
    if (failed_ != nullptr && failed_->entry == kSeam_CreateProcessA && strcmp(label_, "access denied") != 0 &&
        log_.find("createChildProcess: Successfully created child process") != std::string::npos) {
      violation("truthful", "the log says the child was created after CreateProcessA failed");
    }
  }

  // Handles used as their contract says, and none left open.
  void seamUse() {
    for (const auto& [invariant, what] : run_.misuse) violation(invariant, what);
    if (run_.openProcessHandles != 0) {
      violation("handles", std::to_string(run_.openProcessHandles) + " process handle(s) left open");
    }
    if (run_.descriptorsBefore >= 0 && run_.descriptorsAfter > run_.descriptorsBefore) {
      violation("handles", std::to_string(run_.descriptorsAfter - run_.descriptorsBefore) + " descriptor(s) left open");
    }
  }

  const Scenario& scenario_;
  const Paths& paths_;
  const Outcome& baseline_;
  const Outcome& run_;
  int target_;
  Report& report_;
  const SeamCall* failed_ = nullptr;
  const char* label_ = "";
  std::string log_;
};

void noteCrash() {
  testWriteDescriptor(crashReportFd, "\nfault injection: the process died during ");
  testWriteDescriptor(crashReportFd, currentRun.c_str());
  testWriteDescriptor(crashReportFd, "\n(the run's own standard output and error went to ");
  testWriteDescriptor(crashReportFd, currentCaptures.c_str());
  testWriteDescriptor(crashReportFd, ")\n");
}

void driveScenario(const Scenario& scenario, Report& report) {
  ScenarioDriver driver(scenario);
  report.scenarios++;
  // Should a run die, its error file names the run and holds any sanitizer report.
  printf("fault injection: %s (each run's standard output and error go to %s)\n", scenario.name,
         currentCaptures.c_str());
  fflush(stdout);
  currentRun = std::string(scenario.name) + ", the counting run";
  Outcome baseline = driver.runOnce(-1, 0);
  RunCheck(scenario, driver.paths(), baseline, baseline, -1, 0, report).all();
  int unfailed = scenario.unfailedResult == kFirstChild && !baseline.created.empty()
                     ? static_cast<int>(baseline.created[0])
                     : scenario.unfailedResult;
  if (baseline.result != unfailed) {
    report.violations.push_back({"driver", "", "",
                                 "[" + std::string(scenario.name) + "] the counting run returned " +
                                     std::to_string(baseline.result) + ", not " + std::to_string(unfailed)});
  }
  size_t triedBefore = report.failuresTried;
  report.calls += baseline.calls.size();
  for (size_t k = 0; k < baseline.calls.size(); k++) {
    const SeamCall& call = baseline.calls[k];
    size_t count = failureCount(standardFailures(), call.entry);
    if (count > 0) report.injectionPoints++;
    for (size_t failure = 0; failure < count; failure++) {
      currentRun = std::string(scenario.name) + ", call " + std::to_string(k) + " (" + describeCall(call) +
                   ") failing with '" + failureLabel(standardFailures(), call.entry, failure) + "'";
      Outcome run = driver.runOnce(static_cast<int>(k), failure);
      report.failuresTried++;
      RunCheck(scenario, driver.paths(), baseline, run, static_cast<int>(k), failure, report).all();
    }
  }
  currentRun.clear();
  report.perScenario += "  " + std::string(scenario.name) + ": " + std::to_string(baseline.calls.size()) +
                        " calls, " + std::to_string(baseline.sleeps.size()) + " sleeps, result " +
                        std::to_string(baseline.result) + "; " + std::to_string(report.failuresTried - triedBefore) +
                        " failures tried\n";
}

std::string summary(const Report& report) {
  std::string text = "fault injection: " + std::to_string(report.scenarios) + " scenarios, " +
                     std::to_string(report.calls) + " calls, " + std::to_string(report.injectionPoints) +
                     " injection points, " + std::to_string(report.failuresTried) + " failures tried, " +
                     std::to_string(report.violations.size()) + " violations\n" + report.perScenario;
  for (const auto& [row, count] : report.rulesApplied) text += "  checked " + std::to_string(count) + "x: " + row + "\n";
  // Violations grouped by what broke, so that one fault shows as one line.
  std::map<std::string, size_t> kinds;
  for (const Report::Violation& violation : report.violations) {
    kinds[violation.invariant + " after " +
          (violation.entry.empty() ? "the counting run" : violation.entry + " failing with '" + violation.failure + "'")]++;
  }
  for (const auto& [kind, count] : kinds) text += "  violated " + std::to_string(count) + "x: " + kind + "\n";
  for (const auto& [reason, count] : report.allowed) {
    text += "  allowed " + std::to_string(count) + "x: " + reason + "\n";
  }
  return text;
}

// ---------------------------------------------------------------------------
// Seeded faults: small programs making the mistakes the driver is for, to
// show that it catches them and names the scenario and the call.

// Uses the process record whether or not CreateProcessA succeeded.
int launchIgnoringCreation(int, char** argv) {
  StartupInfo startup = {sizeof(StartupInfo), kStartfUseStdHandles, nullptr, nullptr, nullptr};
  ProcessInformation info = {};
  os.CreateProcessA(argv[2], 1, kDetachedProcess, &startup, &info);
  logMessage("The PID of the spawned process is %d.", static_cast<int>(info.processId));
  return static_cast<int>(info.processId);
}

// Reports the PID as written whatever the write did.
int startWritingThePidBlindly(int, char** argv) {
  ProcessInformation info = {};
  if (!createChildProcess(argv[3], 1, &info)) return -1;
  int pid = static_cast<int>(info.processId);
  std::string name = joinPath(joinPath(argv[2], "logs"), "server.pid");
  Handle folder = os.openFolder(joinPath(argv[2], "logs").c_str());
  int fd = folder != nullptr ? os.openFileInFolder(folder, "server.pid", kFolderFileCreateNew) : -1;
  if (folder != nullptr) os.CloseHandle(folder);
  if (fd == -1) return pid;
  std::string text = std::to_string(pid) + "\n";
  os.writeText(fd, text.c_str(), static_cast<uint32_t>(text.size()));
  os.closeDescriptor(fd);
  logMessage("Successfully put pid=%d in the pid file '%s'.", pid, name.c_str());
  return pid;
}

const Report::Violation* findViolation(const Report& report, const char* invariant, const char* entry,
                                       const char* failure) {
  for (const Report::Violation& violation : report.violations) {
    if (violation.invariant == invariant && violation.entry == entry && violation.failure == failure) return &violation;
  }
  return nullptr;
}

TEST(FaultInjection, CatchesARecordUsedAfterAFailedCreation) {
  Scenario seeded = {"launch ignoring CreateProcessA's result", kLaunch, {"launch", "tool.exe"}, {}, kFirstChild,
                     launchIgnoringCreation};
  Report report;
  driveScenario(seeded, report);
  const Report::Violation* found = findViolation(report, "record", "CreateProcessA", "access denied");
  ASSERT_NE(found, nullptr) << summary(report);
  EXPECT_NE(found->text.find("[launch ignoring CreateProcessA's result] call "), std::string::npos) << found->text;
  EXPECT_NE(found->text.find(" (CreateProcessA #1 on 'tool.exe') failing with 'access denied'"), std::string::npos)
      << found->text;
  EXPECT_NE(findViolation(report, "design", "CreateProcessA", "job refusal"), nullptr) << summary(report);
}

TEST(FaultInjection, CatchesAFailedPidWriteReportedAsSuccess) {
  Scenario seeded = {"start writing the PID blindly", kStart, {"start", "@instance", "server.exe"}, {}, kFirstChild,
                     startWritingThePidBlindly};
  Report report;
  driveScenario(seeded, report);
  const Report::Violation* found = findViolation(report, "truthful", "writeText", "disk full");
  ASSERT_NE(found, nullptr) << summary(report);
  EXPECT_NE(found->text.find("[start writing the PID blindly] call "), std::string::npos) << found->text;
  EXPECT_NE(found->text.find("(writeText #1 on '"), std::string::npos) << found->text;
  // Both ways the write can fail, and nothing else.
  EXPECT_EQ(report.violations.size(), 2u) << summary(report);
}

TEST(FaultInjection, EveryEntryListsHowItFails) {
  for (int entry = 0; entry < kSeamEntryCount; entry++) {
    EXPECT_TRUE(failureCount(standardFailures(), entry) > 0 || seamEntryCannotFail(entry))
        << "the platform entry " << seamEntryName(entry)
        << " has no failures listed: add how it fails to standardFailures() in testing/fault_injection.cpp";
  }
}

TEST(FaultInjection, EveryPlatformCallFailsOnceInEveryScenario) {
  testOnCrash(noteCrash);
  Report report;
  for (const Scenario& scenario : kScenarios) driveScenario(scenario, report);
  printf("%s", summary(report).c_str());
  // The first few of each kind, with the scenario, the call and the failure.
  const size_t kShownPerKind = 3;
  std::map<std::string, size_t> shown;
  for (const Report::Violation& violation : report.violations) {
    if (shown[violation.invariant + violation.entry + violation.failure]++ < kShownPerKind) {
      ADD_FAILURE() << violation.text;
    }
  }
  EXPECT_EQ(report.violations.size(), 0u) << "violations (the first " << kShownPerKind
                                          << " of each kind are listed above)";
}

}  // namespace
