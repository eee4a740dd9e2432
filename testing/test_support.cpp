#include "testing/test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"

std::vector<uint32_t> recordedSleeps;

void recordSleep(uint32_t milliseconds) { recordedSleeps.push_back(milliseconds); }

Handle refusedOpen(uint32_t, int, uint32_t) { return nullptr; }
uint32_t accessDenied() { return kErrorAccessDenied; }

namespace {
std::string fakeModule;
}

void setFakeModulePath(const std::string& path) { fakeModule = path; }

uint32_t fakeModuleFileName(char* buffer, uint32_t size) {
  if (size == 0) return 0;
  size_t n = fakeModule.size() < size - 1 ? fakeModule.size() : size - 1;
  memcpy(buffer, fakeModule.data(), n);
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == PATH_SEP_CHAR) return dir + name;
  return dir + PATH_SEP + name;
}

std::string makeInstanceDir(const char* tag) {
  std::string dir = makeScratchDir(tag);
  hostPlatform().makeDirectory(joinPath(dir, "logs").c_str());
  return dir;
}

int callWithArgs(int (*handler)(int, char**), std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  return handler(static_cast<int>(words.size()), argv.data());
}

std::string makeScratchDir(const char* tag) {
  static int counter = 0;
  char temp[kMaxPath];
  hostPlatform().GetTempPathA(kMaxPath, temp);
  std::string base = joinPath(temp, "launcher-tests");
  hostPlatform().makeDirectory(base.c_str());
  // Names left by an earlier process with the same id are skipped; a base
  // where nothing can be made fails every try the same way.
  std::string dir;
  for (int attempt = 0; attempt < 1000; attempt++) {
    dir = joinPath(base, std::string(tag) + "-" + std::to_string(hostPlatform().GetCurrentProcessId()) + "-" +
                             std::to_string(++counter));
    if (hostPlatform().makeDirectory(dir.c_str()) == 0) return dir;
  }
  // The callers cannot stop on a failure here, and with no directory of
  // their own they would write beside other tests' files: stop the run.
  ADD_FAILURE() << "makeScratchDir: 1000 names tried under " << base << ", none could be made (last " << dir << ")";
  fflush(stdout);
  exit(1);
}

std::string readFile(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return std::string();
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  fclose(file);
  return text;
}

void writeFile(const std::string& path, const std::string& content) {
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  fwrite(content.data(), 1, content.size(), file);
  fclose(file);
}

bool pathExists(const std::string& path) {
  return hostPlatform().GetFileAttributesA(path.c_str()) != kInvalidFileAttributes;
}

std::string testBinaryDir() {
  char path[kMaxPath];
  hostPlatform().GetModuleFileNameA(path, kMaxPath);
  std::string text(path);
  return text.substr(0, text.rfind(PATH_SEP_CHAR));
}

std::string helperPath(const char* name) {
#ifdef _WIN32
  return joinPath(testBinaryDir(), std::string(name) + ".exe");
#else
  return joinPath(testBinaryDir(), name);
#endif
}

std::string hostText(const std::string& text) {
#ifdef _WIN32
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
#else
  return text;
#endif
}

void setEnvironmentVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

bool pollUntil(int timeoutMs, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    hostPlatform().Sleep(20);
  }
}

bool waitForFile(const std::string& path, int timeoutMs) {
  if (pollUntil(timeoutMs, [&] { return pathExists(path); })) return true;
  ADD_FAILURE() << "waitForFile: " << path << " did not appear within " << timeoutMs << " ms";
  return false;
}

std::string reportValue(const std::string& report, const std::string& key) {
  std::string prefix = key + "=";
  size_t at = report.compare(0, prefix.size(), prefix) == 0 ? 0 : report.find("\n" + prefix);
  if (at == std::string::npos) return "(missing " + key + ")";
  if (at != 0) at++;
  size_t start = at + prefix.size();
  return report.substr(start, report.find('\n', start) - start);
}

std::string escapeAsProbe(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

uint32_t waitForExit(Handle process, int timeoutMs) {
  uint32_t code = kStillActive;
  bool ended = pollUntil(timeoutMs, [&] {
    hostPlatform().GetExitCodeProcess(process, &code);
    return code != kStillActive;
  });
  if (!ended) ADD_FAILURE() << "waitForExit: the process still runs after " << timeoutMs << " ms";
  return code;
}

bool waitUntilEnded(const ProcessInformation& helper, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 20) {
    if (testHasEnded(helper.process, helper.processId)) return true;
    hostPlatform().Sleep(20);
  }
  return false;
}

ProcessInformation startHelper(const char* name, const std::vector<std::string>& words) {
  // Built by appending: GCC 12 warns falsely on "..." + std::string here.
  std::string line = "\"";
  line += helperPath(name);
  line += '"';
  for (const std::string& word : words) {
    line += " \"";
    line += word;
    line += '"';
  }
  StartupInfo startup = {sizeof(StartupInfo), 0, nullptr, nullptr, nullptr};
  ProcessInformation info = {};
  EXPECT_NE(hostPlatform().CreateProcessA(&line[0], 0, 0, &startup, &info), 0) << line;
  return info;
}

bool isRunning(const ProcessInformation& helper) {
  uint32_t code = 0;
  hostPlatform().GetExitCodeProcess(helper.process, &code);
  return code == kStillActive;
}

void stopHelper(ProcessInformation& helper) {
  if (helper.process == nullptr) return;
  if (isRunning(helper)) hostPlatform().TerminateProcess(helper.process, 1);
  waitForExit(helper.process, 10000);
  hostPlatform().CloseHandle(helper.process);
  hostPlatform().CloseHandle(helper.thread);
  helper.process = nullptr;
}

ProcessInformation startLockHolder(const std::string& instanceDir, const std::string& holdMs) {
  std::vector<std::string> words = {instanceDir};
  if (!holdMs.empty()) words.push_back(holdMs);
  ProcessInformation server = startHelper("sample-server", words);
  std::string lockFile = joinPath(joinPath(instanceDir, "locks"), "server.lock");
  bool held = false;
  // Held once a fresh open of the file cannot take the first byte. A server
  // that has ended will never take it: no use waiting for the deadline.
  pollUntil(20000, [&] {
    int fd = hostPlatform().openReadWrite(lockFile.c_str());
    if (fd != -1) {
      held = hostPlatform().lockFirstByte(fd) != 0;
      if (!held) hostPlatform().unlockFirstByte(fd);
      hostPlatform().closeDescriptor(fd);
    }
    return held || !isRunning(server);
  });
  if (!held) {
    uint32_t code = 0;
    hostPlatform().GetExitCodeProcess(server.process, &code);
    ADD_FAILURE() << "startLockHolder: the sample server did not take the lock on " << lockFile << " within 20000 ms"
                  << (code == kStillActive ? "" : " and exited with code " + std::to_string(code));
  }
  return server;
}

void LogFixture::SetUp() {
  root_ = makeScratchDir("log");
  hostPlatform().makeDirectory(joinPath(root_, "bin").c_str());
  hostPlatform().makeDirectory(joinPath(root_, "logs").c_str());
  fakeExe_ = joinPath(joinPath(root_, "bin"), "launcher.exe");
  setFakeModulePath(fakeExe_);
  moduleOverride_ = new ScopedOverride<uint32_t (*)(char*, uint32_t)>(os.GetModuleFileNameA, fakeModuleFileName);
  resetLogForTesting();
  recordedSleeps.clear();
}

void LogFixture::TearDown() {
  resetLogForTesting();
  delete moduleOverride_;
  moduleOverride_ = nullptr;
}

std::string LogFixture::logFile() const { return joinPath(joinPath(root_, "logs"), "native-windows.out"); }

size_t logEntryHeaderLength(const std::string& text, size_t i) {
  const char* shape = "9999/99/99 99:99:99: (pid=";
  size_t n = strlen(shape);
  if (text.size() < i + n) return 0;
  for (size_t k = 0; k < n; k++) {
    char c = text[i + k];
    if (shape[k] == '9' ? (c < '0' || c > '9') : c != shape[k]) return 0;
  }
  size_t j = i + n;
  if (j < text.size() && text[j] == '-') j++;
  size_t digits = j;
  while (j < text.size() && text[j] >= '0' && text[j] <= '9') j++;
  if (j == digits || text.compare(j, 3, ")  ") != 0) return 0;
  return j + 3 - i;
}

std::vector<std::string> LogFixture::logMessages() const {
  std::string raw = readFile(logFile());
  std::string text;
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  std::vector<std::string> messages;
  size_t i = 0;
  while (i < text.size()) {
    size_t header = logEntryHeaderLength(text, i);
    if (header == 0) {
      ADD_FAILURE() << "log entry without header at offset " << i << ": " << text.substr(i, 80);
      break;
    }
    size_t start = i + header;
    size_t next = text.find('\n', start);
    while (next != std::string::npos && next + 1 < text.size() && logEntryHeaderLength(text, next + 1) == 0)
      next = text.find('\n', next + 1);
    if (next == std::string::npos) next = text.size() - 1;
    messages.push_back(text.substr(start, next - start));
    i = next + 1;
  }
  return messages;
}

std::string LogFixture::logText() const {
  std::string text;
  for (const std::string& message : logMessages()) {
    if (message.compare(0, 16, "--------------- ") == 0) continue;
    text += message + "\n";
  }
  return text;
}
