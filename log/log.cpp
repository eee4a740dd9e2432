// The diagnostic log: where it goes, its cap, and one whole entry per call.
#include "log/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cstdarg>

#include "common/text.h"
#include "platform/format.h"
#include "platform/platform.h"

namespace {

const char kLogFileName[] = "native-windows.out";
const uint32_t kLogSizeCap = 500000;
const int kPathSize = 260;

// An entry that fits is formatted and written without the heap.
const int kEntryBufferSize = 2048;
// Waits for others, in milliseconds. Every wait of a run comes out of one
// budget, whoever causes it: a run stopped inside its write, or anyone who
// can read the log or its folder and holds a lock there, must not hold every
// entry of every other run up. Within it, one entry waits at most so long
// for a log whose deletion is pending, and for a deletion over the cap that
// another holds up; the whole run at most so long for another program's
// lock on the whole log.
const uint32_t kRunWaitBudget = 2000;
const uint32_t kOpenRetryBudget = 50;
const uint32_t kCapRetryBudget = 100;
const uint32_t kStrangerLockWaitBudget = 100;
// Opens of one entry: a file deleted by another run, or deleted over the
// cap, is opened again.
const int kOpenAttempts = 3;

int firstEntry = 1;
uint32_t runProcessId = 0;
// The log's full name, for the run's messages; the folder it was checked
// in stays open for the run, and every entry is opened, measured and
// deleted through it: a folder renamed away and replaced by another user's
// after the check does not receive the run's entries.
char* logPath = nullptr;
Handle logFolder = nullptr;
// 0 when no place was left for the log: every entry is then lost.
int logAllowed = 1;
// The last error of deleting a copy of the log renamed aside, when that
// failed: reported after the entry under way.
uint32_t asideCopyError = 0;
// Set once a wait has run out: the rest of the run does not wait again.
int openGaveUp = 0;
int lockGaveUp = 0;
int capGaveUp = 0;
// Milliseconds this run has waited, over all its finished waits.
uint64_t runWaited = 0;

// One wait for others: at most limit ms, and no more than the run's budget
// has left.
struct Wait {
  uint64_t limit;
  uint64_t start;
  int started;
};

// Pauses for a millisecond when the wait may go on, and says so; when it
// may not, the time it took is counted against the run's budget.
int pauseWithin(Wait* wait) {
  uint64_t now = os.GetTickCount64();
  if (!wait->started) {
    wait->start = now;
    wait->started = 1;
  }
  uint64_t waited = now - wait->start;
  if (waited < wait->limit && runWaited + waited < kRunWaitBudget) {
    os.Sleep(1);
    return 1;
  }
  runWaited += waited;
  return 0;
}

// Counts a wait that ended with what it waited for.
void endWait(const Wait& wait) {
  if (wait.started) runWaited += os.GetTickCount64() - wait.start;
}

// Formats into a path buffer; 1 only when the whole text fits.
int formatPath(char* path, const char* format, ...) LOG_FORMAT(2);
int formatPath(char* path, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int length = formatBoundedV(path, kPathSize, format, arguments);
  va_end(arguments);
  if (length >= 0 && length < kPathSize) return 1;
  path[0] = '\0';
  return 0;
}

// Cuts text at its last separator; 0 when it holds none.
int cutAtLastSeparator(char* text) {
  char* last = strrchr(text, PATH_SEP_CHAR);
  if (last == nullptr) return 0;
  *last = '\0';
  return 1;
}

// The parent of the executable's directory, when the executable's path has
// one and was given whole; an executable in a root directory has none.
int findProgramRoot(char* root) {
  root[0] = '\0';
  uint32_t length = os.GetModuleFileNameA(root, kPathSize);
  if (length == 0 || length >= static_cast<uint32_t>(kPathSize)) return 0;
  root[length] = '\0';
  return cutAtLastSeparator(root) && cutAtLastSeparator(root);
}

// folder, opened (never through a link at its name), becomes the log's; 1
// when there is one.
int useFolder(Handle folder) {
  logFolder = folder;
  return folder != nullptr;
}

// The "logs" folder under the program root belongs to the install: it is
// used whenever it exists and is a folder (not a link or junction to one),
// whatever access its installer gave others, and when the log's whole name
// fits there. What guards a run there is the log file itself (see
// appendHere): only a plain file of the run's own accounts is written.
int useProgramLogs(char* path) {
  char root[kPathSize];
  char folder[kPathSize];
  if (!findProgramRoot(root) || !formatPath(folder, "%s" PATH_SEP "logs", root) ||
      !formatPath(path, "%s" PATH_SEP "%s", folder, kLogFileName))
    return 0;
  return useFolder(os.openFolder(folder));
}

// The "logs" folder in the temporary folder is made when missing and used
// only when no other user can have shaped it: the temporary folder may be
// shared by every user (/tmp, C:\Windows\Temp), and another user could have
// made "logs" there first. The launcher makes it private wherever it is, so
// it is judged by its own owner and access, not by its parent's. 1 when
// used; a folder refused is closed.
int useTemporaryLogs(const char* temp, char* path) {
  char folder[kPathSize];
  if (!formatPath(folder, "%slogs", temp) || !formatPath(path, "%s" PATH_SEP "%s", folder, kLogFileName)) return 0;
  os.makeDirectory(folder);
  Handle logs = os.openFolder(folder);
  if (logs != nullptr && os.isPrivateFolder(logs)) return useFolder(logs);
  if (logs != nullptr) os.CloseHandle(logs);
  return 0;
}

// The places of the log, in the order they are tried.
enum LogPlace { kProgramLogs, kTemporaryLogs, kCurrentDirectory, kNoPlace };
int logPlace = kProgramLogs;

int usePlace(int place, char* path) {
  if (place == kProgramLogs) return useProgramLogs(path);
  if (place == kTemporaryLogs) {
    char temp[kPathSize];
    uint32_t tempLength = os.GetTempPathA(kPathSize, temp);
    return tempLength > 0 && tempLength < static_cast<uint32_t>(kPathSize) && useTemporaryLogs(temp, path);
  }
  // Like the program's folder, the current directory (System32, for a
  // scheduled task) is the caller's choice: guarded per file.
  formatPath(path, "%s", kLogFileName);
  return useFolder(os.openFolder("."));
}

// Where the log goes, from the place first on: the program's own "logs"
// folder, else the temporary folder's, else the current directory. A place
// whose whole log name does not fit, or whose folder is refused, is passed
// over, and nothing is made there. Sets logPath; logAllowed is 0 when no
// place is left: the run's entries are then lost.
void chooseLogPath(int first) {
  char path[kPathSize];
  path[0] = '\0';
  for (logPlace = first; logPlace < kNoPlace; logPlace++) {
    if (usePlace(logPlace, path)) break;
  }
  free(logPath);
  logPath = duplicateString(path);
  logAllowed = logPlace < kNoPlace && logPath != nullptr;
}

// The run leaves a place whose log name it refuses for the next place, for
// the rest of the run.
void passOverRefusedLog() {
  os.CloseHandle(logFolder);
  logFolder = nullptr;
  chooseLogPath(logPlace + 1);
}

// What an open of the log's name says when the launcher will not write
// there: a link, a folder, or no regular file (a FIFO, a device).
int isRefusedName(uint32_t error) {
  return error == kErrorReparsePoint || error == kErrorDirectory || error == kErrorCantAccessFile;
}

void writeBanner() {
  char exePath[kPathSize];
  exePath[0] = '\0';
  os.GetModuleFileNameA(exePath, kPathSize);
  exePath[kPathSize - 1] = '\0';
  logMessage("--------------- FIRST LOG MESSAGE FROM '%s' ---------------", exePath);
}

// A clock that cannot be converted gives a time of zeros rather than none,
// so that the entry still begins the way every reader finds entries by.
void formatTimestamp(char* timestamp, size_t size) {
  struct tm local;
  if (os.toLocalTime(os.getCurrentTime(), &local) != 0 ||
      strftime(timestamp, size, "%Y/%m/%d %H:%M:%S", &local) != 19)
    formatText(timestamp, size, "0000/00/00 00:00:00");
}

// Another run deleting the log over its cap holds it for a moment, refusing
// opens meanwhile; a short retry keeps this run's entry. Once the retries
// have failed, the run does not wait for the log again. A name refused
// (isRefusedName) is no reason to wait: it is told to the caller in *error.
int openLogWithRetry(uint32_t* error) {
  Wait wait = {kOpenRetryBudget, 0, 0};
  for (;;) {
    int fd = os.openLog(logFolder, kLogFileName);
    if (fd != -1) {
      endWait(wait);
      return fd;
    }
    *error = os.GetLastError();
    if (isRefusedName(*error)) return -1;
    if (openGaveUp || (*error != kErrorSharingViolation && *error != kErrorAccessDenied)) break;
    if (!pauseWithin(&wait)) break;
  }
  openGaveUp = 1;
  return -1;
}

// Deletes the log over the cap; another run's deletion or write under way
// (or another program's lock on the folder or the file) is waited for
// briefly, out of the run's budget. 1 when this run deleted it; else 0,
// with *refused set when this user may not delete it.
int deleteOverCap(int* refused) {
  Wait wait = {capGaveUp ? 0 : kCapRetryBudget, 0, 0};
  for (;;) {
    if (os.deleteLogOverCap(logFolder, kLogFileName, kLogSizeCap)) {
      endWait(wait);
      asideCopyError = os.GetLastError();
      return 1;
    }
    uint32_t error = os.GetLastError();
    *refused = error == kErrorAccessDenied;
    if (error != kErrorSharingViolation) return 0;
    if (!pauseWithin(&wait)) {
      capGaveUp = 1;
      return 0;
    }
  }
}

// Runs hold the lock for the moment of one write, and are waited for out of
// the run's one budget (two seconds, for runs slowed by a loaded machine),
// whoever holds the lock: a run stopped inside its write, or anyone who can
// read the log and imitates a run's lock, must not hold every entry of every
// other run up. Another program may hold a lock on the whole file for long:
// such a stranger costs the run one short wait. Once a wait has run out,
// each entry tries the lock once and is written anyway.
int lockLogBriefly(int fd) {
  Wait wait = {kRunWaitBudget, 0, 0};
  for (;;) {
    int answer = os.tryLockLog(fd);
    if (answer == kLogLocked) {
      endWait(wait);
      return 1;
    }
    if (lockGaveUp) return 0;
    // A stranger's wait is short for the whole run, not for each entry.
    if (answer != kLogLockedByARun) {
      wait.limit = runWaited < kStrangerLockWaitBudget ? kStrangerLockWaitBudget - runWaited : 0;
    }
    if (!pauseWithin(&wait)) {
      lockGaveUp = 1;
      return 0;
    }
  }
}

enum EntryOutcome { kEntryLost = 0, kEntryWritten = 1, kLogRefused = 2 };

// Appends one entry under the cross-process lock to the log of the place
// chosen. The size for the cap is read from the open file; a log over the
// cap is deleted (only if it is still over the cap, whichever run gets
// there first) and the entry starts a new file. A file that another run
// deleted meanwhile is opened anew. kLogRefused when the log is not a plain
// file with one name owned by the run's own accounts: a link, a FIFO or a
// folder planted at the name, a second name of another file, or a log that
// another user made first (which would let that user read and erase every
// entry written into it).
int appendHere(const char* text, uint32_t length) {
  int capTried = 0;
  int capRefused = 0;
  for (int attempt = 0; attempt < kOpenAttempts; attempt++) {
    uint32_t error = 0;
    int fd = openLogWithRetry(&error);
    if (fd == -1 && isRefusedName(error)) return kLogRefused;
    if (fd == -1) {
      // A log that can be measured but not written is still capped, with
      // one attempt: a log held by another is what kept it from opening.
      if (!capTried && os.deleteLogOverCap(logFolder, kLogFileName, kLogSizeCap)) {
        capTried = 1;
        continue;
      }
      return kEntryLost;
    }
    int locked = lockLogBriefly(fd);
    LogFileInfo info;
    if (os.getLogFileInfo(fd, &info) != 0) {
      os.closeLog(fd);
      return kEntryLost;
    }
    if (!info.isRegular || info.links > 1 || !info.isOwn) {
      os.closeLog(fd);
      return kLogRefused;
    }
    if (info.links == 0 || (!capTried && info.size > kLogSizeCap)) {
      os.closeLog(fd);
      if (info.links != 0) {
        deleteOverCap(&capRefused);
        capTried = 1;
      }
      continue;
    }
    // This run may write the log but not delete it (a folder it cannot
    // change): emptied under the entry lock instead, the log starts again as
    // after a deletion. A deletion that another run's open held up is left
    // to a later entry: emptying would take that run's entries with it.
    if (capRefused && info.size > kLogSizeCap && locked && os.truncateFile(fd, 0) == 0) info.size = 0;
    int written = os.appendToLog(fd, text, length);
    // Without the lock another run may have written after this one.
    if (written != 0 && locked) os.truncateFile(fd, info.size);
    os.closeLog(fd);
    return written == 0 ? kEntryWritten : kEntryLost;
  }
  return kEntryLost;
}

// Appends one entry where the run's log is; a log refused passes the run on
// to the next place. 0 when the entry could not be written.
int appendEntry(const char* text, uint32_t length) {
  for (;;) {
    if (!logAllowed) return 0;
    int outcome = appendHere(text, length);
    if (outcome != kLogRefused) return outcome;
    passOverRefusedLog();
  }
}

// The entry as it goes to disk: time stamp, process tag, error mark,
// message and line end, every line feed written as the host's text files
// have it. Formatted into buffer when it fits, else into a heap copy that
// the caller frees; null when even that cannot be made.
char* formatEntry(char* buffer, size_t size, const char* timestamp, int isError, const char* format,
                  va_list arguments, uint32_t* length) {
  char message[kEntryBufferSize];
  va_list copy;
  va_copy(copy, arguments);
  int messageLength = formatHostV(message, sizeof message, format, arguments);
  char* longMessage = nullptr;
  if (messageLength >= static_cast<int>(sizeof message)) {
    longMessage = static_cast<char*>(malloc(static_cast<size_t>(messageLength) + 1));
    if (longMessage != nullptr) formatHostV(longMessage, static_cast<size_t>(messageLength) + 1, format, copy);
  }
  va_end(copy);
  if (messageLength < 0) messageLength = 0;
  const char* text = longMessage != nullptr ? longMessage : message;
  if (longMessage == nullptr && messageLength >= static_cast<int>(sizeof message))
    messageLength = static_cast<int>(sizeof message) - 1;

  char header[160];
  int headerLength = formatText(header, sizeof header, "%s: (pid=%d)  %s", timestamp, static_cast<int>(runProcessId),
                              isError ? "ERROR:  " : "");
  const size_t lineEnd = sizeof(TEXT_LINE_END) - 1;
  size_t feeds = 1;
  for (int i = 0; i < messageLength; i++) feeds += text[i] == '\n';
  size_t total = static_cast<size_t>(headerLength) + static_cast<size_t>(messageLength) + feeds * (lineEnd - 1) + 1;
  char* entry = total < size ? buffer : static_cast<char*>(malloc(total + 1));
  if (entry != nullptr) {
    size_t n = static_cast<size_t>(headerLength);
    memcpy(entry, header, n);
    for (int i = 0; i <= messageLength; i++) {
      char c = i < messageLength ? text[i] : '\n';
      if (c == '\n') {
        memcpy(entry + n, TEXT_LINE_END, lineEnd);
        n += lineEnd;
      } else {
        entry[n++] = c;
      }
    }
    entry[n] = '\0';
    *length = static_cast<uint32_t>(n);
  }
  free(longMessage);
  return entry;
}

}  // namespace

void writeLogEntry(int isError, const char* format, va_list arguments) {
  if (firstEntry) {
    runProcessId = os.GetCurrentProcessId();
    firstEntry = 0;
    writeBanner();
  }
  char timestamp[100];
  formatTimestamp(timestamp, sizeof timestamp);
  if (logPath == nullptr) chooseLogPath(kProgramLogs);
  char buffer[kEntryBufferSize];
  uint32_t length = 0;
  char* entry = formatEntry(buffer, sizeof buffer, timestamp, isError, format, arguments, &length);
  int written = entry != nullptr && appendEntry(entry, length);
  if (entry != buffer) free(entry);
  if (!written) {
    fputs("Could not create log file.\n", stdout);
    fflush(stdout);
  }
  // Reported as an entry of its own, once the entry under way is whole.
  if (asideCopyError != 0) {
    int error = static_cast<int>(asideCopyError);
    asideCopyError = 0;
    logError("Could not delete the copy of the log renamed aside for its deletion (last error %d); a later "
             "deletion removes it.",
             error);
  }
}

void logMessage(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  writeLogEntry(0, format, arguments);
  va_end(arguments);
}

void logError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  writeLogEntry(1, format, arguments);
  va_end(arguments);
}

const char* currentLogPath() { return logPath; }

void resetLogForTesting() {
  free(logPath);
  logPath = nullptr;
  if (logFolder != nullptr) os.CloseHandle(logFolder);
  logFolder = nullptr;
  firstEntry = 1;
  runProcessId = 0;
  logAllowed = 1;
  logPlace = kProgramLogs;
  openGaveUp = 0;
  lockGaveUp = 0;
  capGaveUp = 0;
  runWaited = 0;
  asideCopyError = 0;
}
