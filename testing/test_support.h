// Helpers shared by the tests: replacing one platform operation, scratch
// directories, and reading the diagnostic log back.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "testing/test_platform.h"

// Replaces one entry of the platform table for the life of this object.
template <typename Operation>
class ScopedOverride {
 public:
  ScopedOverride(Operation& slot, Operation replacement) : slot_(slot), saved_(slot) { slot_ = replacement; }
  ~ScopedOverride() { slot_ = saved_; }
  ScopedOverride(const ScopedOverride&) = delete;
  ScopedOverride& operator=(const ScopedOverride&) = delete;

 private:
  Operation& slot_;
  Operation saved_;
};

// A fresh, empty directory under the system's temporary directory.
std::string makeScratchDir(const char* tag);
// A scratch instance directory with the logs directory that start expects.
std::string makeInstanceDir(const char* tag);
// Calls a subcommand handler as main would, with words as its argv.
int callWithArgs(int (*handler)(int, char**), std::vector<std::string> words);
std::string joinPath(const std::string& dir, const std::string& name);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool pathExists(const std::string& path);
// The directory holding the test executable (and the probe and sample server).
std::string testBinaryDir();
std::string helperPath(const char* name);
// Text as the log stores it: CR LF on Windows, LF elsewhere.
std::string hostText(const std::string& text);

void setEnvironmentVariable(const char* name, const char* value);
// Calls done every 20 ms until it returns true (then true) or timeoutMs of
// real time have passed (then false).
bool pollUntil(int timeoutMs, const std::function<bool()>& done);
// Waits up to timeoutMs (real time) for path to exist; a failure, with the
// path, when it does not.
bool waitForFile(const std::string& path, int timeoutMs);
// The "key=value" lines of a probe's report; escaped text stays escaped.
std::string reportValue(const std::string& report, const std::string& key);
// Text as the probe writes it: backslash, CR and LF escaped.
std::string escapeAsProbe(const std::string& text);
// Waits up to timeoutMs (real time) until the process has ended and returns
// its exit code; a failure when it still runs then.
uint32_t waitForExit(Handle process, int timeoutMs);
// Waits (real time) until the helper has ended, leaving how it ended
// uncollected (natively, a zombie); false when it still runs at the end.
bool waitUntilEnded(const ProcessInformation& helper, int timeoutMs);

// Starts one of the test helpers (probe, sample-server) with the given
// words, outside the launcher's own code and log.
ProcessInformation startHelper(const char* name, const std::vector<std::string>& words);
// Terminates a helper if it still runs, waits for it and closes its handles.
void stopHelper(ProcessInformation& helper);
bool isRunning(const ProcessInformation& helper);
// Starts a sample server on instanceDir and waits until it holds its lock; a
// failure, at once, when the server ends first.
ProcessInformation startLockHolder(const std::string& instanceDir, const std::string& holdMs = "");

// The length of the entry header "YYYY/MM/DD HH:MM:SS: (pid=N)  " that
// starts at position i of text, or 0 when none starts there.
size_t logEntryHeaderLength(const std::string& text, size_t i);

// Points the diagnostic log at <root>/logs/native-windows.out, with the
// executable seen as <root>/bin/launcher.exe, and starts a fresh run.
class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string logFile() const;
  // The messages of the log's entries, in order, with time stamp and process
  // tag removed ("ERROR:  " kept) and CR LF read as LF.
  std::vector<std::string> logMessages() const;
  // Messages after the banner and main's argument trace, as one text with a
  // line feed after each.
  std::string logText() const;

  std::string root_;
  std::string fakeExe_;

 private:
  ScopedOverride<uint32_t (*)(char*, uint32_t)>* moduleOverride_ = nullptr;
};

void setFakeModulePath(const std::string& path);
uint32_t fakeModuleFileName(char* buffer, uint32_t size);

// Records the durations it is asked to sleep, and returns at once.
extern std::vector<uint32_t> recordedSleeps;
void recordSleep(uint32_t milliseconds);

// Fakes for a process that cannot be opened, with the error it gives.
Handle refusedOpen(uint32_t access, int inheritHandle, uint32_t processId);
uint32_t accessDenied();
