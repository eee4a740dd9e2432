// A child for the tests. Usage: probe [reportFile] [word...]
// Writes what it was given to reportFile: its command line, its words, its
// current directory, the variable LAUNCHER_PROBE_VAR and whether its
// standard handles are null. A word "--sleep=MS" makes it wait that long
// after writing the report, a word "--exit=N" makes it exit with N. Started
// as "probe --hold=share-write|share-all|lock-all|lock-share-read|read-lock|entry-lock <file> <readyFile> --sleep=MS", it
// holds file as another program would (see testHoldFile) and creates
// readyFile once it does.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "testing/test_platform.h"

namespace {

void writeEscaped(FILE* report, const char* text) {
  for (const char* p = text; *p != '\0'; p++) {
    if (*p == '\n') {
      fputs("\\n", report);
    } else if (*p == '\r') {
      fputs("\\r", report);
    } else if (*p == '\\') {
      fputs("\\\\", report);
    } else {
      fputc(*p, report);
    }
  }
  fputc('\n', report);
}

const char* nullness(uint32_t which) { return os.GetStdHandle(which) == nullptr ? "null" : "open"; }

void writeReport(int argc, char** argv) {
  // Written aside and renamed, so that a reader never sees half a report.
  char partial[4096];
  snprintf(partial, sizeof partial, "%s.part", argv[1]);
  FILE* report = fopen(partial, "wb");
  if (report == nullptr) return;
  fputs("commandLine=", report);
  writeEscaped(report, testCommandLine());
  fprintf(report, "pid=%u\n", static_cast<unsigned>(os.GetCurrentProcessId()));
  fprintf(report, "argc=%d\n", argc);
  for (int i = 0; i < argc; i++) {
    fprintf(report, "argv[%d]=", i);
    writeEscaped(report, argv[i]);
  }
  char dir[kMaxPath];
  if (testCurrentDirectory(kMaxPath, dir) == 0) dir[0] = '\0';
  fputs("cwd=", report);
  writeEscaped(report, dir);
  const char* variable = getenv("LAUNCHER_PROBE_VAR");
  fputs("env=", report);
  writeEscaped(report, variable != nullptr ? variable : "(unset)");
  fprintf(report, "stdin=%s\nstdout=%s\nstderr=%s\n", nullness(kStdInputHandle), nullness(kStdOutputHandle),
          nullness(kStdErrorHandle));
  fclose(report);
  rename(partial, argv[1]);
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  uint32_t sleepFor = 0;
  for (int i = 1; i < argc; i++) {
    if (strncmp(argv[i], "--sleep=", 8) == 0) sleepFor = static_cast<uint32_t>(strtol(argv[i] + 8, nullptr, 10));
    if (strncmp(argv[i], "--exit=", 7) == 0) exitCode = static_cast<int>(strtol(argv[i] + 7, nullptr, 10));
  }
  if (argc >= 4 && strncmp(argv[1], "--hold=", 7) == 0) {
    if (testHoldFile(argv[2], argv[1] + 7) != 0) return 3;
    FILE* ready = fopen(argv[3], "w");
    if (ready != nullptr) fclose(ready);
  } else if (argc >= 2 && strncmp(argv[1], "--", 2) != 0) {
    writeReport(argc, argv);
  }
  os.Sleep(sleepFor);
  return exitCode;
}

