// The tests' own operating-system calls on a POSIX host.
#include "testing/test_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

uint32_t testCurrentDirectory(uint32_t size, char* buffer) {
  char text[4096];
  if (getcwd(text, sizeof text) == nullptr) return 0;
  size_t length = strlen(text);
  if (length + 1 > size) return static_cast<uint32_t>(length + 1);
  memcpy(buffer, text, length + 1);
  return static_cast<uint32_t>(length);
}

int testChangeDirectory(const char* path) { return chdir(path); }

const char* testCommandLine() {
  static char text[32768];
  FILE* file = fopen("/proc/self/cmdline", "re");
  if (file == nullptr) return "";
  size_t n = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  while (n > 0 && text[n - 1] == '\0') n--;
  for (size_t i = 0; i < n; i++) {
    if (text[i] == '\0') text[i] = ' ';
  }
  text[n] = '\0';
  return text;
}

int testRemoveDirectory(const char* path) { return rmdir(path); }

int testHoldFile(const char* path, const char* how) {
  int fd = open(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0) return -1;
  int shared = strcmp(how, "read-lock") == 0;
  int firstByte = shared || strcmp(how, "lock-share-read") == 0;
  if (strcmp(how, "lock-all") != 0 && !firstByte) return 0;
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = shared ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = firstByte ? 1 : 0;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : -1;
}

int testSetCreationMask(int mask) { return static_cast<int>(umask(static_cast<mode_t>(mask))); }

int testPermissionBits(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 ? static_cast<int>(status.st_mode & 07777) : -1;
}

int testGiveToAnotherUser(const char* path) {
  const uid_t nobody = 65534;
  return geteuid() == 0 && chown(path, nobody, nobody) == 0 ? 0 : -1;
}

int testListDirectory(const char* path, void (*visit)(const char* name, int isDirectory, void* context),
                      void* context) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  while (const struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    visit(entry->d_name, entry->d_type == DT_DIR, context);
  }
  closedir(dir);
  return 0;
}

int testRedirectDescriptor(int fd, const char* path) {
  fflush(fd == 1 ? stdout : stderr);
  int file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file < 0) return -1;
  int saved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (saved >= 0) dup2(file, fd);
  close(file);
  return saved;
}

void testRestoreDescriptor(int fd, int saved) {
  if (saved < 0) return;
  fflush(fd == 1 ? stdout : stderr);
  dup2(saved, fd);
  close(saved);
}

void testWriteDescriptor(int fd, const char* text) {
  ssize_t ignored = write(fd, text, strlen(text));
  (void)ignored;
}

int testOpenDescriptorCount() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) count++;
  closedir(dir);
  return count;
}

namespace {

void (*crashNote)() = nullptr;

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __sanitizer_set_death_callback(void (*callback)());
#else
void noteAndDie(int signalNumber) {
  if (crashNote != nullptr) crashNote();
  raise(signalNumber);  // the handler was reset: this ends the process as the signal would have
}
#endif

}  // namespace

void testOnCrash(void (*note)()) {
  crashNote = note;
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers own the fatal signals; their report ends with this call.
  __sanitizer_set_death_callback(note);
#else
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = noteAndDie;
  action.sa_flags = SA_RESETHAND;
  for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(signalNumber, &action, nullptr);
#endif
}

int testHasEnded(Handle, uint32_t processId) {
  siginfo_t info = {};
  if (waitid(P_PID, static_cast<id_t>(processId), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return 1;
  return info.si_pid != 0;
}
