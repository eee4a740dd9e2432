// The launcher's operating-system needs, met on a POSIX host (Linux).
//
// Each operation behaves as the launcher expects of the Windows operation it
// stands for: error codes are Windows codes where the launcher tests them
// (87 for a process id that names no process), handles are slots of a small
// table, and a null standard handle is the null device.
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// Log time stamps must survive January 2038.
static_assert(sizeof(time_t) == 8, "time_t must have 64 bits");

namespace {

thread_local uint32_t lastError = 0;

enum SlotKind { kFree = 0, kFileSlot, kProcessSlot, kThreadSlot };

struct Slot {
  int kind;
  int fd;
  pid_t pid;
  int isChild;
  int exited;
  uint32_t exitCode;
  int endedByKill;  // SIGKILL ended it: a termination's doing, if there was one
  int terminated;
  uint32_t terminateCode;
};

// Slots 0 to 2 stand for the standard handles; the rest are handed out.
const int kSlotCount = 1024;
Slot slots[kSlotCount];

Handle handleOf(int index) { return reinterpret_cast<Handle>(static_cast<intptr_t>(index + 1)); }

Slot* slotOf(Handle handle) {
  intptr_t index = reinterpret_cast<intptr_t>(handle) - 1;
  if (index < 0 || index >= kSlotCount || slots[index].kind == kFree) return nullptr;
  return &slots[index];
}

int newSlot(int kind) {
  for (int i = 3; i < kSlotCount; i++) {
    if (slots[i].kind == kFree) {
      memset(&slots[i], 0, sizeof slots[i]);
      slots[i].kind = kind;
      slots[i].fd = -1;
      return i;
    }
  }
  return -1;
}

// The descriptor of a folder from openFolder.
int folderDescriptor(Handle folder) {
  Slot* slot = slotOf(folder);
  if (slot == nullptr || slot->kind != kFileSlot) {
    lastError = 6;
    return -1;
  }
  return slot->fd;
}

uint32_t windowsErrorOf(int error) {
  switch (error) {
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return 3;     // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case ENOEXEC: return 193;   // ERROR_BAD_EXE_FORMAT
    case ESRCH: return kErrorInvalidParameter;
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EMFILE:
    case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case ENOMEM: return 8;  // ERROR_NOT_ENOUGH_MEMORY
    default: return static_cast<uint32_t>(error);
  }
}

void failWith(int error) { lastError = windowsErrorOf(error); }

bool isNullDevice(int fd) {
  struct stat fdStatus, nullStatus;
  if (fstat(fd, &fdStatus) != 0) return true;  // a closed descriptor is no handle at all
  if (stat("/dev/null", &nullStatus) != 0) return false;
  return fdStatus.st_dev == nullStatus.st_dev && fdStatus.st_ino == nullStatus.st_ino;
}

uint32_t copyOut(const char* text, size_t length, uint32_t size, char* buffer) {
  if (length + 1 > size) return static_cast<uint32_t>(length + 1);
  memcpy(buffer, text, length + 1);
  return static_cast<uint32_t>(length);
}

uint32_t getModuleFileName(char* buffer, uint32_t size) {
  if (size == 0) return 0;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    failWith(errno);
    buffer[0] = '\0';
    return 0;
  }
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

// Lexical full-path resolution as Windows does it: relative paths are taken
// against the current directory, "." and ".." components and repeated
// separators are folded, and a trailing separator is kept.
uint32_t getFullPathName(const char* path, uint32_t size, char* buffer) {
  const size_t kWork = 8192;
  char joined[kWork];
  size_t pathLength = strlen(path);
  if (pathLength == 0) {
    lastError = 123;  // ERROR_INVALID_NAME
    return 0;
  }
  size_t used = 0;
  if (path[0] != '/') {
    if (getcwd(joined, kWork) == nullptr) {
      failWith(errno);
      return 0;
    }
    used = strlen(joined);
    joined[used++] = '/';
  }
  if (used + pathLength + 1 > kWork) {
    lastError = 206;
    return 0;
  }
  memcpy(joined + used, path, pathLength + 1);

  char out[kWork];
  size_t length = 0;
  const char* p = joined;
  while (*p != '\0') {
    while (*p == '/') p++;
    const char* start = p;
    while (*p != '\0' && *p != '/') p++;
    size_t n = static_cast<size_t>(p - start);
    if (n == 0 || (n == 1 && start[0] == '.')) continue;
    if (n == 2 && start[0] == '.' && start[1] == '.') {
      while (length > 0 && out[length - 1] != '/') length--;
      if (length > 0) length--;
      continue;
    }
    out[length++] = '/';
    memcpy(out + length, start, n);
    length += n;
  }
  if (length == 0 || path[pathLength - 1] == '/') out[length++] = '/';
  out[length] = '\0';
  return copyOut(out, length, size, buffer);
}

uint32_t getFileAttributes(const char* path) {
  struct stat status;
  if (stat(path, &status) != 0) {
    failWith(errno);
    return kInvalidFileAttributes;
  }
  return S_ISDIR(status.st_mode) ? kFileAttributeDirectory : 0x80;  // FILE_ATTRIBUTE_NORMAL
}

uint32_t getTempPath(uint32_t size, char* buffer) {
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
  char text[4096];
  size_t length = strlen(dir);
  if (length + 2 > sizeof text) {
    lastError = 206;
    return 0;
  }
  memcpy(text, dir, length);
  if (text[length - 1] != '/') text[length++] = '/';
  text[length] = '\0';
  return copyOut(text, length, size, buffer);
}

int closeHandle(Handle handle) {
  intptr_t index = reinterpret_cast<intptr_t>(handle) - 1;
  Slot* slot = slotOf(handle);
  if (slot == nullptr || index < 3) {
    lastError = 6;  // ERROR_INVALID_HANDLE
    return 0;
  }
  if (slot->kind == kFileSlot) close(slot->fd);
  slot->kind = kFree;
  return 1;
}

uint32_t getCurrentProcessId() { return static_cast<uint32_t>(getpid()); }

Handle getStdHandle(uint32_t which) {
  int fd = which == kStdInputHandle ? 0 : which == kStdOutputHandle ? 1 : which == kStdErrorHandle ? 2 : -1;
  if (fd < 0) {
    lastError = 6;
    return kInvalidHandle;
  }
  if (isNullDevice(fd)) return nullptr;
  slots[fd].kind = kFileSlot;
  slots[fd].fd = fd;
  return handleOf(fd);
}

int setHandleInformation(Handle handle, uint32_t mask, uint32_t flags) {
  Slot* slot = slotOf(handle);
  if (slot == nullptr || slot->fd < 0) {
    lastError = 6;
    return 0;
  }
  if ((mask & kHandleFlagInherit) == 0) return 1;
  int fdFlags = fcntl(slot->fd, F_GETFD);
  if (fdFlags < 0) {
    failWith(errno);
    return 0;
  }
  fdFlags = (flags & kHandleFlagInherit) ? (fdFlags & ~FD_CLOEXEC) : (fdFlags | FD_CLOEXEC);
  return fcntl(slot->fd, F_SETFD, fdFlags) == 0 ? 1 : 0;
}

// Splits a command line into words by the Windows C runtime's rules, which
// the launcher's composition writes for: the program name ends at the next
// quote if it begins with one, else at white space; in later words 2n
// backslashes before a quote give n and the quote toggles quoting, 2n+1 give
// n and a literal quote, and "" inside quotes gives a literal quote.
int splitCommandLine(const char* line, char* storage, char** words, int maxWords) {
  int count = 0;
  char* out = storage;
  const char* p = line;
  if (*p == '\0') return 0;
  words[count++] = out;
  if (*p == '"') {
    p++;
    while (*p != '\0' && *p != '"') *out++ = *p++;
    if (*p == '"') p++;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t') *out++ = *p++;
  }
  *out++ = '\0';
  for (;;) {
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '\0' || count == maxWords - 1) break;
    words[count++] = out;
    int quoted = 0;
    while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
      if (*p == '\\') {
        int backslashes = 0;
        while (*p == '\\') {
          backslashes++;
          p++;
        }
        if (*p == '"') {
          for (int i = 0; i < backslashes / 2; i++) *out++ = '\\';
          if (backslashes % 2 == 1) *out++ = *p++;
        } else {
          for (int i = 0; i < backslashes; i++) *out++ = '\\';
        }
      } else if (*p == '"') {
        if (quoted && p[1] == '"') {
          *out++ = '"';
          p += 2;
        } else {
          quoted = !quoted;
          p++;
        }
      } else {
        *out++ = *p++;
      }
    }
    *out++ = '\0';
  }
  words[count] = nullptr;
  return count;
}

int fdOfStdHandle(Handle handle, int fallback) {
  Slot* slot = slotOf(handle);
  return slot != nullptr && slot->fd >= 0 ? slot->fd : fallback;
}

// The null device for the child's null standard handles, opened close-on-exec
// at 3 or above: with the launcher's own standard streams closed it would
// otherwise land on 0 to 2, where the child's streams are set up by number.
int openNullDevice() {
  int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int error = errno;
  close(fd);
  errno = error;
  return moved;
}

// The child's descriptors: with kStartfUseStdHandles, each standard handle
// or else the null device on 0 to 2; without inheritance, nothing above 2,
// whether close-on-exec or not (the C library closes them with close_range
// where the kernel has it). Returns 0 or an errno value.
int describeChildDescriptors(const StartupInfo* startupInfo, int inheritHandles, int nullFd,
                             posix_spawn_file_actions_t* actions) {
  int error = 0;
  if (nullFd >= 0) {
    const Handle handles[3] = {startupInfo->stdInput, startupInfo->stdOutput, startupInfo->stdError};
    for (int fd = 0; fd < 3 && error == 0; fd++) {
      error = posix_spawn_file_actions_adddup2(actions, fdOfStdHandle(handles[fd], nullFd), fd);
    }
  }
  if (error == 0 && !inheritHandles) error = posix_spawn_file_actions_addclosefrom_np(actions, 3);
  return error;
}

// A child starts with no signal blocked and every disposition the default,
// not with what the launcher's caller left behind: an ignored SIGINT or
// SIGPIPE would otherwise pass through exec. A detached child leads a
// session of its own. Returns 0 or an errno value.
int describeChildAttributes(uint32_t creationFlags, posix_spawnattr_t* attributes) {
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (creationFlags & kDetachedProcess) flags |= POSIX_SPAWN_SETSID;
  int error = posix_spawnattr_setsigmask(attributes, &none);
  if (error == 0) error = posix_spawnattr_setsigdefault(attributes, &all);
  if (error == 0) error = posix_spawnattr_setflags(attributes, flags);
  return error;
}

// posix_spawnp reports a program that cannot be run as its own result, so no
// descriptor of ours has to carry the child's exec error back.
int spawnChild(char** words, int inheritHandles, uint32_t creationFlags, const StartupInfo* startupInfo,
               pid_t* pid) {
  int nullFd = -1;
  if (startupInfo != nullptr && (startupInfo->flags & kStartfUseStdHandles)) {
    // Without the null device the child would start with closed standard
    // descriptors and its own first opens would land on them.
    nullFd = openNullDevice();
    if (nullFd < 0) return errno;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int error = posix_spawn_file_actions_init(&actions);
  if (error == 0) {
    error = posix_spawnattr_init(&attributes);
    if (error == 0) {
      error = describeChildDescriptors(startupInfo, inheritHandles, nullFd, &actions);
      if (error == 0) error = describeChildAttributes(creationFlags, &attributes);
      if (error == 0) error = posix_spawnp(pid, words[0], &actions, &attributes, words, environ);
      posix_spawnattr_destroy(&attributes);
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  if (nullFd >= 0) close(nullFd);
  return error;
}

// A POSIX host has no job objects: kCreateBreakawayFromJob changes nothing.
int createProcess(char* commandLine, int inheritHandles, uint32_t creationFlags,
                  const StartupInfo* startupInfo, ProcessInformation* processInformation) {
  static char storage[32768];
  static char* words[2048];
  size_t length = strlen(commandLine);
  if (length >= sizeof storage) {
    lastError = 206;
    return 0;
  }
  if (splitCommandLine(commandLine, storage, words, 2048) == 0 || words[0][0] == '\0') {
    lastError = kErrorFileNotFound;
    return 0;
  }
  int processSlot = newSlot(kProcessSlot);
  int threadSlot = newSlot(kThreadSlot);
  if (processSlot < 0 || threadSlot < 0) {
    if (processSlot >= 0) slots[processSlot].kind = kFree;
    lastError = 4;
    return 0;
  }
  pid_t pid = 0;
  int error = spawnChild(words, inheritHandles, creationFlags, startupInfo, &pid);
  if (error != 0) {
    failWith(error);
    slots[processSlot].kind = slots[threadSlot].kind = kFree;
    return 0;
  }
  slots[processSlot].pid = pid;
  slots[processSlot].isChild = 1;
  slots[threadSlot].pid = pid;
  processInformation->process = handleOf(processSlot);
  processInformation->thread = handleOf(threadSlot);
  processInformation->processId = static_cast<uint32_t>(pid);
  processInformation->threadId = static_cast<uint32_t>(pid);
  return 1;
}

uint32_t getLastError() { return lastError; }

Slot* findChild(pid_t pid) {
  for (int i = 3; i < kSlotCount; i++) {
    if (slots[i].kind == kProcessSlot && slots[i].isChild && slots[i].pid == pid) return &slots[i];
  }
  return nullptr;
}

Handle openProcess(uint32_t access, int inheritHandle, uint32_t processId) {
  (void)access;
  (void)inheritHandle;
  pid_t pid = static_cast<pid_t>(processId);
  // kill() with 0 or a negative id signals whole process groups, or every
  // process: such an id can never name the one process we were asked for.
  if (pid <= 0) {
    lastError = kErrorInvalidParameter;
    return nullptr;
  }
  if (kill(pid, 0) != 0) {
    failWith(errno);  // ESRCH becomes 87, EPERM access denied
    return nullptr;
  }
  int index = newSlot(kProcessSlot);
  if (index < 0) {
    lastError = 4;
    return nullptr;
  }
  Slot* child = findChild(pid);
  slots[index].pid = pid;
  slots[index].isChild = child != nullptr && !child->exited;
  return handleOf(index);
}

// What /proc/<pid>/stat tells of a process.
struct ProcessStat {
  char state;                     // 'Z' or 'X' once it has ended
  unsigned long long startTicks;  // clock ticks from boot to its start
  int hasExitStatus;
  int exitStatus;  // once it has ended, as waitpid would give it
};

// 0 when the process has an entry in /proc, -1 when it has none (it has
// been reaped, or never was).
int readProcessStat(pid_t pid, ProcessStat* stat) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* file = fopen(path, "re");
  if (file == nullptr) return -1;
  char text[1024];
  size_t n = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[n] = '\0';
  // Fields after the command name, which may hold spaces and parentheses,
  // begin with field 3, the state.
  const char* p = strrchr(text, ')');
  if (p == nullptr || p[1] != ' ' || p[2] == '\0') return -1;
  memset(stat, 0, sizeof *stat);
  p += 2;
  for (int field = 3; *p != '\0'; field++) {
    if (field == 3) stat->state = *p;
    if (field == 22) stat->startTicks = strtoull(p, nullptr, 10);
    if (field == 52) {
      stat->exitStatus = static_cast<int>(strtol(p, nullptr, 10));
      stat->hasExitStatus = 1;
    }
    while (*p != '\0' && *p != ' ') p++;
    while (*p == ' ') p++;
  }
  return 0;
}

bool hasEnded(pid_t pid) {
  ProcessStat stat;
  return readProcessStat(pid, &stat) != 0 || stat.state == 'Z' || stat.state == 'X';
}

void recordEnd(Slot* slot, int status) {
  slot->exited = 1;
  slot->exitCode = WIFEXITED(status) ? static_cast<uint32_t>(WEXITSTATUS(status))
                                     : 128u + static_cast<uint32_t>(WTERMSIG(status));
  slot->endedByKill = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

int terminateProcess(Handle process, uint32_t exitCode) {
  Slot* slot = slotOf(process);
  if (slot == nullptr || slot->kind != kProcessSlot) {
    lastError = 6;
    return 0;
  }
  // As on Windows, a process that has already ended (a zombie here) cannot
  // be terminated. An id of 0 or less would signal whole process groups.
  if (slot->exited || slot->pid <= 0 || hasEnded(slot->pid) || kill(slot->pid, SIGKILL) != 0) {
    lastError = kErrorAccessDenied;
    return 0;
  }
  slot->terminated = 1;
  slot->terminateCode = exitCode;
  return 1;
}

int getExitCodeProcess(Handle process, uint32_t* exitCode) {
  Slot* slot = slotOf(process);
  if (slot == nullptr || slot->kind != kProcessSlot) {
    lastError = 6;
    return 0;
  }
  if (!slot->exited && slot->isChild) {
    int status = 0;
    pid_t got = waitpid(slot->pid, &status, WNOHANG);
    if (got == 0) {
      *exitCode = kStillActive;
      return 1;
    }
    if (got == slot->pid) {
      recordEnd(slot, status);
      Slot* child = findChild(slot->pid);
      if (child != nullptr && child != slot) {
        child->exited = 1;
        child->exitCode = slot->exitCode;
        child->endedByKill = slot->endedByKill;
      }
    } else {
      slot->isChild = 0;  // reaped elsewhere: fall back to what /proc shows
    }
  }
  if (!slot->exited && !slot->isChild) {
    ProcessStat stat;
    int known = readProcessStat(slot->pid, &stat) == 0;
    if (known && stat.state != 'Z' && stat.state != 'X') {
      *exitCode = kStillActive;
      return 1;
    }
    if (known && stat.hasExitStatus) {
      recordEnd(slot, stat.exitStatus);
    } else {
      // Reaped by its parent: how it ended is gone with it.
      slot->exited = 1;
      slot->exitCode = 0;
      slot->endedByKill = 1;
    }
  }
  // A process ended by its termination has the code it was given, as on
  // Windows; one that ended by itself first keeps its own.
  *exitCode = slot->terminated && slot->endedByKill ? slot->terminateCode : slot->exitCode;
  return 1;
}

void sleepFor(uint32_t milliseconds) {
  struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint64_t getTickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

int getProcessCreationTime(Handle process, int64_t* seconds) {
  Slot* slot = slotOf(process);
  ProcessStat stat;
  if (slot == nullptr || slot->kind != kProcessSlot || readProcessStat(slot->pid, &stat) != 0) return -1;
  long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (ticksPerSecond <= 0) return -1;
  // The start time counts from boot on the boot-time clock; the wall-clock
  // time of boot is now less that clock (the rounded "btime" of /proc/stat
  // drifts from the wall clock over a long uptime).
  struct timespec wall, sinceBoot;
  clock_gettime(CLOCK_REALTIME, &wall);
  clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
  int64_t bootedAt = static_cast<int64_t>(wall.tv_sec) - static_cast<int64_t>(sinceBoot.tv_sec);
  *seconds = bootedAt + static_cast<int64_t>(stat.startTicks / static_cast<unsigned long long>(ticksPerSecond));
  return 0;
}

int getFileWriteTime(int fd, int64_t* seconds) {
  struct stat status;
  if (fstat(fd, &status) != 0) return -1;
  *seconds = status.st_mtime;
  return 0;
}

int64_t getCurrentTime() { return static_cast<int64_t>(time(nullptr)); }

// localtime_r, unlike localtime, does not look at the time zone again on
// every call.
int toLocalTime(int64_t seconds, struct tm* local) {
  time_t value = static_cast<time_t>(seconds);
  return localtime_r(&value, local) != nullptr ? 0 : -1;
}

// The launcher never changes its effective user: it is asked once, as the
// program starts, not on every log entry.
const uid_t effectiveUser = geteuid();

// O_NONBLOCK: a FIFO planted at the name would otherwise block the open
// until someone reads it. It changes nothing for the regular files that
// getLogFileInfo lets through. A new log is made with mode 0644 whatever the
// umask: made by the umask's leave, under umask 000 every user could forge
// and erase the entries of a root run. An existing log is opened without
// O_CREAT, so that only the open that made the file (O_EXCL) sets its mode,
// and an entry costs no call more.
int openLog(Handle folder, const char* name) {
  int dir = folderDescriptor(folder);
  if (dir < 0) return -1;
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(dir, name, flags);
  if (fd < 0 && errno == ENOENT) {
    fd = openat(dir, name, flags | O_CREAT | O_EXCL, 0644);
    // A volume that keeps no modes (FAT) refuses the change: the log is
    // used as made.
    if (fd >= 0 && fchmod(fd, 0644) != 0) errno = 0;
    // Another run made it meanwhile.
    if (fd < 0 && errno == EEXIST) fd = openat(dir, name, flags);
  }
  if (fd >= 0) return fd;
  int error = errno;
  if (error == ELOOP) {
    lastError = kErrorReparsePoint;
  } else if (error == EISDIR) {
    lastError = kErrorDirectory;
  } else if (error == ENXIO) {
    // A FIFO that no one reads, or a socket.
    lastError = kErrorCantAccessFile;
  } else {
    failWith(error);
  }
  return -1;
}

// A byte far past any real end of file, so that readers of the log never
// meet the lock. An open-file-description lock, released when the log is
// closed.
const off_t kLogLockOffset = 0x7FFFFFFFFFFFFFFELL;

// A lock request of type for the one byte at offset.
struct flock oneByte(short type, off_t offset) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = 1;
  return lock;
}

int setLogLock(int fd, off_t offset, short type) {
  struct flock lock = oneByte(type, offset);
  return fcntl(fd, F_OFD_SETLK, &lock);
}

// Asks who holds the lock rather than probing the byte beside it, so that
// runs probing at the same moment cannot take each other for strangers.
int tryLockLog(int fd) {
  if (setLogLock(fd, kLogLockOffset, F_WRLCK) == 0) return kLogLocked;
  struct flock holder;
  memset(&holder, 0, sizeof holder);
  holder.l_type = F_WRLCK;
  holder.l_whence = SEEK_SET;
  holder.l_start = kLogLockOffset - 1;
  holder.l_len = 2;
  if (fcntl(fd, F_OFD_GETLK, &holder) != 0 || holder.l_type == F_UNLCK) return kLogLockedByARun;
  return holder.l_start == kLogLockOffset && holder.l_len == 1 ? kLogLockedByARun : kLogLockedByAStranger;
}

int getLogFileInfo(int fd, LogFileInfo* info) {
  struct stat status;
  if (fstat(fd, &status) != 0) {
    failWith(errno);
    return -1;
  }
  info->size = static_cast<uint64_t>(status.st_size);
  info->isRegular = S_ISREG(status.st_mode) ? 1 : 0;
  info->links = static_cast<uint32_t>(status.st_nlink);
  info->isOwn = status.st_uid == effectiveUser || status.st_uid == 0;
  return 0;
}

// Writes all of text, going on after a short write; 0 when all was written.
int writeAll(int fd, const char* text, uint32_t length) {
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failWith(written < 0 ? errno : ENOSPC);
      return -1;
    }
    text += written;
    length -= static_cast<uint32_t>(written);
  }
  return 0;
}

// The log is open with O_APPEND: every write lands at the end.
int appendToLog(int fd, const char* text, uint32_t length) { return writeAll(fd, text, length); }

int truncateFile(int fd, uint64_t size) {
  if (ftruncate(fd, static_cast<off_t>(size)) == 0) return 0;
  failWith(errno);
  return -1;
}

int closeLog(int fd) { return close(fd); }

// The folder's lock makes measuring and unlinking one step among runs; the
// file's own lock lets a run that is writing finish first. A run that opened
// the file before the unlink sees it unlinked (getLogFileInfo) and reopens.
// One attempt: a lock held by another run or program is reported as a
// sharing violation, and the caller decides whether its time allows another.
int deleteLogOverCap(Handle folderHandle, const char* name, uint32_t cap) {
  int folder = folderDescriptor(folderHandle);
  if (folder < 0) return 0;
  if (flock(folder, LOCK_EX | LOCK_NB) != 0) {
    lastError = kErrorSharingViolation;
    return 0;
  }
  int deleted = 0;
  int fd = openat(folder, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  LogFileInfo info;
  if (fd < 0) {
    failWith(errno);
  } else if (setLogLock(fd, kLogLockOffset, F_WRLCK) != 0) {
    lastError = kErrorSharingViolation;
  } else if (getLogFileInfo(fd, &info) != 0 || !info.isRegular || info.links != 1 || info.size <= cap) {
    lastError = 0;
  } else if (unlinkat(folder, name, 0) != 0) {
    failWith(errno);
  } else {
    deleted = 1;
    lastError = 0;
  }
  if (fd >= 0) close(fd);
  flock(folder, LOCK_UN);
  return deleted;
}

int isPrivateFolder(Handle folder) {
  int fd = folderDescriptor(folder);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISDIR(status.st_mode)) return 0;
  if (status.st_uid != effectiveUser && status.st_uid != 0) return 0;
  return (status.st_mode & S_IWOTH) == 0 || (status.st_mode & S_ISVTX) != 0;
}

// Folders the launcher makes (the log's, in a shared temporary folder) are
// writable by their owner alone.
int makeDirectory(const char* path) { return mkdir(path, 0755); }

int openReadWrite(const char* path) { return open(path, O_RDWR | O_CLOEXEC); }

int setFirstByteLock(int fd, short type) {
  struct flock lock = oneByte(type, 0);
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  if (errno == EAGAIN) errno = EACCES;
  return -1;
}

int lockFirstByte(int fd) { return setFirstByteLock(fd, F_WRLCK); }

int unlockFirstByte(int fd) { return setFirstByteLock(fd, F_UNLCK); }

// Asks who holds the byte instead of taking it: a read-only descriptor
// suffices, and a reader's shared lock (which a test for a write lock also
// meets) is told from the server's exclusive one.
int probeFirstByteLock(int fd) {
  struct flock lock = oneByte(F_WRLCK, 0);
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return -1;
  return lock.l_type == F_WRLCK ? 1 : 0;
}

int closeDescriptor(int fd) { return close(fd); }

uint32_t getProcessId(Handle process) {
  Slot* slot = slotOf(process);
  if (slot == nullptr || slot->kind != kProcessSlot) {
    lastError = 6;
    return 0;
  }
  return static_cast<uint32_t>(slot->pid);
}

int getInstanceFileInfo(int fd, InstanceFileInfo* info) {
  struct stat status;
  if (fstat(fd, &status) != 0) {
    failWith(errno);
    return -1;
  }
  info->isRegular = S_ISREG(status.st_mode) ? 1 : 0;
  info->links = static_cast<uint32_t>(status.st_nlink);
  info->isTrusted =
      (status.st_uid == effectiveUser || status.st_uid == 0) && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  return 0;
}

int readText(int fd, char* buffer, uint32_t size) {
  uint32_t total = 0;
  while (total < size) {
    ssize_t got = read(fd, buffer + total, size - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      failWith(errno);
      return total > 0 ? static_cast<int>(total) : -1;
    }
    if (got == 0) break;
    total += static_cast<uint32_t>(got);
  }
  return static_cast<int>(total);
}

int writeText(int fd, const char* text, uint32_t length) { return writeAll(fd, text, length); }

// A folder handle for an open folder descriptor, which it then owns.
Handle folderHandleOf(int fd) {
  int index = newSlot(kFileSlot);
  if (index < 0) {
    close(fd);
    lastError = 4;  // ERROR_TOO_MANY_OPEN_FILES
    return nullptr;
  }
  slots[index].fd = fd;
  return handleOf(index);
}

// name opened in dir (AT_FDCWD for a path) as a folder and never through a
// link at the name.
Handle openFolderNoFollow(int dir, const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) return folderHandleOf(fd);
  int error = errno;
  struct stat status;
  int found = (error == ELOOP || error == ENOTDIR) && fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
  if (found && S_ISLNK(status.st_mode)) {
    lastError = kErrorReparsePoint;
  } else if (found && !S_ISDIR(status.st_mode)) {
    lastError = kErrorDirectory;
  } else {
    failWith(error);
  }
  return nullptr;
}

// A trailing slash would make the kernel follow a link at the name.
Handle openFolder(const char* path) {
  char name[4096];
  size_t length = strlen(path);
  while (length > 1 && path[length - 1] == '/') length--;
  if (length >= sizeof name) {
    lastError = 206;
    return nullptr;
  }
  memcpy(name, path, length);
  name[length] = '\0';
  return openFolderNoFollow(AT_FDCWD, name);
}

Handle openFolderAt(Handle parent, const char* name) {
  if (parent != nullptr) {
    int dir = folderDescriptor(parent);
    return dir < 0 ? nullptr : openFolderNoFollow(dir, name);
  }
  int fd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) return folderHandleOf(fd);
  failWith(errno);
  if (errno == ENOTDIR) lastError = kErrorDirectory;
  return nullptr;
}

// The new file's mode is the launcher's wish, not its need (a FAT volume
// keeps none), so a failing fchmod leaves it as created.
int openFileInFolder(Handle folder, const char* name, int mode) {
  int dir = folderDescriptor(folder);
  if (dir < 0) return -1;
  int flags = mode == kFolderFileCreateNew ? O_WRONLY | O_CREAT | O_EXCL : mode == kFolderFileRewrite ? O_WRONLY : O_RDONLY;
  int fd = openat(dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    int error = errno;
    if (error == ELOOP) {
      lastError = kErrorReparsePoint;
    } else if (error == EISDIR) {
      lastError = kErrorDirectory;
    } else {
      failWith(error);
    }
    return -1;
  }
  struct stat status;
  memset(&status, 0, sizeof status);
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    int isFolder = S_ISDIR(status.st_mode);
    close(fd);
    lastError = isFolder ? kErrorDirectory : kErrorCantAccessFile;
    return -1;
  }
  if (mode == kFolderFileCreateNew && fchmod(fd, 0644) != 0) errno = 0;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int fileExistsInFolder(Handle folder, const char* name) {
  int dir = folderDescriptor(folder);
  struct stat status;
  return dir >= 0 && fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

int removeFileInFolder(Handle folder, const char* name) {
  int dir = folderDescriptor(folder);
  if (dir < 0) return -1;
  if (unlinkat(dir, name, 0) == 0) return 0;
  failWith(errno);
  if (errno == EISDIR) lastError = kErrorDirectory;
  return -1;
}

int renameInFolder(Handle folder, const char* from, const char* to) {
  int dir = folderDescriptor(folder);
  if (dir < 0) return -1;
  if (renameat(dir, from, dir, to) == 0) return 0;
  failWith(errno);
  if (errno == EISDIR) lastError = kErrorDirectory;
  return -1;
}

// Read through a descriptor of its own, so that the folder's stays where it
// was for the caller.
int listFolder(Handle folder, void (*visit)(const char* name, void* context), void* context) {
  int dir = folderDescriptor(folder);
  int copy = dir < 0 ? -1 : openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
  if (listing == nullptr) {
    if (dir >= 0) failWith(errno);
    if (copy >= 0) close(copy);
    return -1;
  }
  while (struct dirent* entry = readdir(listing)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) visit(entry->d_name, context);
  }
  closedir(listing);
  return 0;
}

// The time is given, not left to the file system (UTIME_NOW): an NFS
// client lets the file server's clock set it then.
int stampFileWriteTime(int fd) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  clock_gettime(CLOCK_REALTIME, &times[1]);
  if (futimens(fd, times) == 0) return 0;
  failWith(errno);
  return -1;
}

int getRandomBytes(void* buffer, uint32_t size) {
  uint8_t* at = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    ssize_t got = getrandom(at, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      failWith(got < 0 ? errno : EIO);
      return -1;
    }
    at += got;
    size -= static_cast<uint32_t>(got);
  }
  return 0;
}

// Every descriptor of the process that leads to the same file. Another
// user's process keeps its descriptors from all but root (and that user):
// that cannot be told.
int isProcessUsingFile(int fd, uint32_t processId) {
  struct stat file;
  if (fstat(fd, &file) != 0 || static_cast<pid_t>(processId) <= 0) {
    failWith(errno);
    return -1;
  }
  char path[64];
  snprintf(path, sizeof path, "/proc/%u/fd", static_cast<unsigned>(processId));
  DIR* descriptors = opendir(path);
  if (descriptors == nullptr) {
    failWith(errno);
    return -1;
  }
  int found = 0;
  while (struct dirent* entry = readdir(descriptors)) {
    struct stat status;
    if (entry->d_name[0] == '.') continue;
    // Each entry leads to the file the descriptor is open on.
    if (fstatat(dirfd(descriptors), entry->d_name, &status, 0) == 0 && status.st_dev == file.st_dev &&
        status.st_ino == file.st_ino) {
      found = 1;
      break;
    }
  }
  closedir(descriptors);
  return found;
}

constexpr Platform kHost = {
    .GetModuleFileNameA = getModuleFileName,
    .GetFullPathNameA = getFullPathName,
    .GetFileAttributesA = getFileAttributes,
    .GetTempPathA = getTempPath,
    .CloseHandle = closeHandle,
    .GetCurrentProcessId = getCurrentProcessId,
    .GetStdHandle = getStdHandle,
    .SetHandleInformation = setHandleInformation,
    .CreateProcessA = createProcess,
    .GetLastError = getLastError,
    .OpenProcess = openProcess,
    .TerminateProcess = terminateProcess,
    .GetExitCodeProcess = getExitCodeProcess,
    .Sleep = sleepFor,
    .GetTickCount64 = getTickCount,
    .getProcessCreationTime = getProcessCreationTime,
    .getFileWriteTime = getFileWriteTime,
    .getCurrentTime = getCurrentTime,
    .toLocalTime = toLocalTime,
    .openLog = openLog,
    .tryLockLog = tryLockLog,
    .getLogFileInfo = getLogFileInfo,
    .appendToLog = appendToLog,
    .truncateFile = truncateFile,
    .closeLog = closeLog,
    .deleteLogOverCap = deleteLogOverCap,
    .isPrivateFolder = isPrivateFolder,
    .makeDirectory = makeDirectory,
    .openReadWrite = openReadWrite,
    .lockFirstByte = lockFirstByte,
    .unlockFirstByte = unlockFirstByte,
    .probeFirstByteLock = probeFirstByteLock,
    .closeDescriptor = closeDescriptor,
    .GetProcessId = getProcessId,
    .getInstanceFileInfo = getInstanceFileInfo,
    .readText = readText,
    .writeText = writeText,
    .openFolder = openFolder,
    .openFolderAt = openFolderAt,
    .openFileInFolder = openFileInFolder,
    .fileExistsInFolder = fileExistsInFolder,
    .removeFileInFolder = removeFileInFolder,
    .renameInFolder = renameInFolder,
    .listFolder = listFolder,
    .stampFileWriteTime = stampFileWriteTime,
    .getRandomBytes = getRandomBytes,
    .isProcessUsingFile = isProcessUsingFile,
};
PLATFORM_OPERATIONS(PLATFORM_CHECK_FILLED)

}  // namespace

Platform os = kHost;

int formatHostV(char* buffer, size_t size, const char* format, va_list arguments) {
  return vsnprintf(buffer, size, format, arguments);
}

const Platform& hostPlatform() { return kHost; }
