// The floor for `launcher launch`: the same observable work written as
// directly as POSIX allows, to measure the launcher against. It writes the
// same 13 log entries (time stamp, pid tag, message; each one open, lock,
// fstat, write, close under the launcher's lock byte) and creates the same
// detached child: a new session, the null device on 0 to 2, no other
// descriptor, default signal state, its exec confirmed by posix_spawnp.
// Usage: floor launch <command word...>, as the launcher is called, so that
// its argument entries are the launcher's too; exits with the child's PID,
// or -1.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

const off_t kLockOffset = 0x7FFFFFFFFFFFFFFELL;
const off_t kSizeCap = 500000;

char logPath[PATH_MAX + 64];
char exePath[PATH_MAX];
int pid;

// <parent of the executable's folder>/logs when it exists, else logs in the
// temporary folder.
void chooseLogPath() {
  ssize_t n = readlink("/proc/self/exe", exePath, sizeof exePath - 1);
  exePath[n > 0 ? n : 0] = '\0';
  char root[PATH_MAX];
  memcpy(root, exePath, sizeof root);
  for (int cut = 0; cut < 2; cut++) {
    char* slash = strrchr(root, '/');
    if (slash != nullptr) *slash = '\0';
  }
  char dir[PATH_MAX + 16];
  snprintf(dir, sizeof dir, "%s/logs/", root);
  struct stat status;
  if (stat(dir, &status) != 0 || !S_ISDIR(status.st_mode)) {
    const char* temp = getenv("TMPDIR");
    snprintf(dir, sizeof dir, "%s/logs/", temp != nullptr && temp[0] != '\0' ? temp : "/tmp");
    mkdir(dir, 0755);
  }
  snprintf(logPath, sizeof logPath, "%snative-windows.out", dir);
}

int openLog() { return open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666); }

// The launcher waits up to 2 s for another writer's lock.
void lockLog(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockOffset;
  lock.l_len = 1;
  for (int waited = 0; fcntl(fd, F_OFD_SETLK, &lock) != 0 && waited < 2000; waited++) {
    struct timespec pause = {0, 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// The bench's entries are short: 8 KiB holds any of them.
void logEntry(int isError, const char* format, ...) {
  char entry[8192];
  time_t now = time(nullptr);
  struct tm local;
  char stamp[32] = "";
  if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);
  int n = snprintf(entry, sizeof entry, "%s: (pid=%d)  %s", stamp, pid, isError ? "ERROR:  " : "");
  va_list arguments;
  va_start(arguments, format);
  n += vsnprintf(entry + n, sizeof entry - static_cast<size_t>(n) - 1, format, arguments);
  va_end(arguments);
  if (n > static_cast<int>(sizeof entry) - 2) n = static_cast<int>(sizeof entry) - 2;
  entry[n++] = '\n';

  for (int attempt = 0; attempt < 2; attempt++) {
    int fd = openLog();
    if (fd < 0) break;
    lockLog(fd);
    struct stat status;
    if (fstat(fd, &status) == 0 && status.st_size > kSizeCap && attempt == 0) {
      unlink(logPath);
      close(fd);
      continue;
    }
    ssize_t written = write(fd, entry, static_cast<size_t>(n));
    close(fd);
    if (written == n) return;
    break;
  }
  fputs("Could not create log file.\n", stdout);
  fflush(stdout);
}

// posix_spawnp returns the exec's error itself: no pipe, no wait.
int spawnDetached(char** words, pid_t* child) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&actions, 0, 1);
  posix_spawn_file_actions_adddup2(&actions, 0, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int error = posix_spawnp(child, words[0], &actions, &attributes, words, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

}  // namespace

int main(int argc, char** argv) {
  pid = getpid();
  chooseLogPath();
  logEntry(0, "--------------- FIRST LOG MESSAGE FROM '%s' ---------------", exePath);
  logEntry(0, "main called.");
  for (int i = 0; i < argc; i++) logEntry(0, "  argv[%d] = '%s'", i, argv[i]);
  if (argc < 3) return -1;
  // The bench's words hold no spaces or quotes: joined as they are.
  char line[2100];
  size_t length = 0;
  line[0] = '\0';
  logEntry(0, "Constructing full command line from arguments:");
  for (int i = 2; i < argc; i++) {
    logEntry(0, " argv[%d]: %s", i - 2, argv[i]);
    length += static_cast<size_t>(snprintf(line + length, sizeof line - length, "%s%s", i > 2 ? " " : "", argv[i]));
    if (length >= sizeof line) return -1;
  }
  logEntry(0, "The full commandline is '%s'.", line);
  logEntry(0, "createChildProcess: Attempting to create child process '%s' background=%d.", line, 1);
  pid_t child = -1;
  int error = spawnDetached(argv + 2, &child);
  if (error != 0) {
    logEntry(1, "createChildProcess: Failed to create child process '%s'.  Last error = %d.", line, error);
    logEntry(1, "Could not get the PID of the spawned process.");
    logEntry(1, "Failed to launch the child process '%s'.", line);
    logEntry(0, "main finished. Returning %d", -1);
    return -1;
  }
  logEntry(0, "createChildProcess: Successfully created child process '%s'.", line);
  logEntry(0, "The PID of the spawned process is %d.", child);
  logEntry(0, "Successfully launched the child process '%s'.", line);
  logEntry(0, "main finished. Returning %d", child);
  return child;
}
