// The launcher's only way to the operating system.
//
// Every kernel operation and runtime file function the launcher uses is an
// entry of the table `os`, named after the Windows operation it stands for.
// platform-win32.cpp fills the table with the real calls; platform-posix.cpp
// with a layer of our own that behaves as the launcher expects of each call.
// Tests replace one entry (see ScopedOverride in testing/) and restore it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

typedef void* Handle;

// Paths composed by the launcher use the host's separator; the Windows texts
// use a backslash wherever this stands.
#ifdef _WIN32
#define PATH_SEP "\\"
#define PATH_SEP_CHAR '\\'
// What a line feed of a text file becomes on disk.
#define TEXT_LINE_END "\r\n"
#else
#define PATH_SEP "/"
#define PATH_SEP_CHAR '/'
#define TEXT_LINE_END "\n"
#endif

const Handle kInvalidHandle = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
const uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
const uint32_t kFileAttributeDirectory = 0x10;
const uint32_t kStillActive = 259;
const uint32_t kStdInputHandle = static_cast<uint32_t>(-10);
const uint32_t kStdOutputHandle = static_cast<uint32_t>(-11);
const uint32_t kStdErrorHandle = static_cast<uint32_t>(-12);
const uint32_t kHandleFlagInherit = 1;
const uint32_t kStartfUseStdHandles = 0x100;
const uint32_t kDetachedProcess = 8;
const uint32_t kCreateBreakawayFromJob = 0x01000000;
const uint32_t kProcessTerminate = 0x0001;
const uint32_t kProcessQueryInformation = 0x0400;
const uint32_t kProcessQueryLimitedInformation = 0x1000;
const uint32_t kErrorFileNotFound = 2;
const uint32_t kErrorPathNotFound = 3;
const uint32_t kErrorAccessDenied = 5;
const uint32_t kErrorInvalidParameter = 87;
const uint32_t kErrorSharingViolation = 32;
// A folder was named where a file was wanted, or a file where a folder was.
const uint32_t kErrorDirectory = 267;
// Something other than a regular file (a FIFO, a device) is at the name.
const uint32_t kErrorCantAccessFile = 1920;
// A link or reparse point is at the name, which is never followed.
const uint32_t kErrorReparsePoint = 4395;
const int kMaxPath = 260;

// What the log writer needs to know of the open log.
struct LogFileInfo {
  uint64_t size;
  int isRegular;   // not a directory, device, FIFO, link or reparse point
  uint32_t links;  // names the file has; 0 once another run deleted it
  // Owned by the user or the system (POSIX: the effective user or root;
  // Windows: the current user, Administrators or SYSTEM): a log another
  // user made first would let that user read and erase the run's entries.
  int isOwn;
};

// Answers of tryLockLog. Runs of the launcher lock one byte of the log
// only; a lock that also covers the byte beside it is another program's
// (a backup or indexing tool locking the whole file).
enum LogLockAnswer { kLogLocked = 0, kLogLockedByARun = 1, kLogLockedByAStranger = 2 };

// The fields of the Windows STARTUPINFOA record that the launcher sets; the
// rest are zero.
struct StartupInfo {
  uint32_t size;
  uint32_t flags;
  Handle stdInput;
  Handle stdOutput;
  Handle stdError;
};

struct ProcessInformation {
  Handle process;
  Handle thread;
  uint32_t processId;
  uint32_t threadId;
};

// Every entry of the table, once: its result, its name, its parameters.
// The table below and the hosts' and tests' uses of it are all made from
// this one list, so an entry cannot be missing, doubled or swapped in one of
// them. Entries named after a Windows operation take only what the launcher
// passes; where the contract is narrower than that operation, it says so.
#define PLATFORM_OPERATIONS(X)                                                                                   \
  /* Kernel operations. */                                                                                       \
  /* The running executable's path (no module argument). */                                                     \
  X(uint32_t, GetModuleFileNameA, (char* buffer, uint32_t size))                                                 \
  /* No file-part pointer. */                                                                                    \
  X(uint32_t, GetFullPathNameA, (const char* path, uint32_t size, char* buffer))                                 \
  X(uint32_t, GetFileAttributesA, (const char* path))                                                            \
  X(uint32_t, GetTempPathA, (uint32_t size, char* buffer))                                                       \
  X(int, CloseHandle, (Handle handle))                                                                           \
  X(uint32_t, GetCurrentProcessId, ())                                                                           \
  X(Handle, GetStdHandle, (uint32_t which))                                                                      \
  X(int, SetHandleInformation, (Handle handle, uint32_t mask, uint32_t flags))                                   \
  /* No application name, security attributes, environment or directory: */                                    \
  /* the child gets the launcher's. */                                                                           \
  X(int, CreateProcessA,                                                                                         \
    (char* commandLine, int inheritHandles, uint32_t creationFlags, const StartupInfo* startupInfo,              \
     ProcessInformation* processInformation))                                                                    \
  X(uint32_t, GetLastError, ())                                                                                  \
  X(Handle, OpenProcess, (uint32_t access, int inheritHandle, uint32_t processId))                               \
  X(int, TerminateProcess, (Handle process, uint32_t exitCode))                                                  \
  X(int, GetExitCodeProcess, (Handle process, uint32_t* exitCode))                                               \
  X(void, Sleep, (uint32_t milliseconds))                                                                        \
  /* Milliseconds on a clock that only moves forward, for bounding waits. */                                   \
  X(uint64_t, GetTickCount64, ())                                                                                \
  /* Creation time of a process, and last-write time of an open file, in */                                     \
  /* seconds since 1970; 0 on success, -1 when unknown. A PID file that */                                      \
  /* outlived its server may name an unrelated, younger process: these tell */                                  \
  /* them apart. The file's time is read from the descriptor its PID was */                                     \
  /* read from, so that both come from one and the same file. */                                                \
  X(int, getProcessCreationTime, (Handle process, int64_t * seconds))                                            \
  X(int, getFileWriteTime, (int fd, int64_t* seconds))                                                           \
  /* The clock of the log's time stamps, in seconds since 1970 (64 bits, so */                                  \
  /* past 2038), and its conversion to local time; 0 on success. */                                             \
  X(int64_t, getCurrentTime, ())                                                                                 \
  X(int, toLocalTime, (int64_t seconds, struct tm* local))                                                      \
  /* The diagnostic log, named in the folder the run chose and holds open */                                   \
  /* (see openFolder). Opens it for writing at its end, shared for reading */                                   \
  /* and writing (not deletion), created if absent (POSIX: mode 0644 */                                        \
  /* whatever the umask), never through a link at its name (symbolic link, */                                   \
  /* reparse point: kErrorReparsePoint), never a folder (kErrorDirectory) */                                    \
  /* and never blocking on what is there (a FIFO no one reads: */                                               \
  /* kErrorCantAccessFile); a descriptor, or -1 with the last error set. */                                      \
  X(int, openLog, (Handle folder, const char* name))                                                             \
  /* One attempt at the cross-process lock that keeps one entry whole: */                                       \
  /* kLogLocked, or who holds it (see LogLockAnswer). closeLog releases it. */                                  \
  X(int, tryLockLog, (int fd))                                                                                   \
  /* What the open log is (see LogFileInfo); 0 on success. */                                                    \
  X(int, getLogFileInfo, (int fd, LogFileInfo* info))                                                            \
  /* Writes length bytes at the end of the file with one call; 0 when all were. */                              \
  X(int, appendToLog, (int fd, const char* text, uint32_t length))                                               \
  /* Cuts an open file back to size bytes: a log entry whose write failed */                                     \
  /* part-way must not leave half of itself for the next entry to run on */                                      \
  /* from; an old PID file is emptied to be rewritten in place. */                                               \
  X(int, truncateFile, (int fd, uint64_t size))                                                                  \
  X(int, closeLog, (int fd))                                                                                     \
  /* Deletes the log name of folder if it is larger than cap, measuring and */                                   \
  /* deleting one and the same file even while other runs do the same */                                        \
  /* (Windows: one handle opened for deletion, the name removed at once even */                                 \
  /* while a reader holds the file open; POSIX: under a lock on the folder */                                   \
  /* and on the file). Never follows a link. 1 when it deleted the file; */                                     \
  /* else 0, with the last error kErrorAccessDenied where this user may not, */                                 \
  /* kErrorSharingViolation where another run held it up, 0 when the file */                                   \
  /* was not over the cap (or not a plain file of its own). After a deletion */                                 \
  /* the last error is 0, or (Windows) that of deleting the copy the file */                                    \
  /* was renamed aside to, which a later deletion then removes. */                                               \
  X(int, deleteLogOverCap, (Handle folder, const char* name, uint32_t cap))                                      \
  /* 1 when an open folder the log may be written into (or made in) can be */                                   \
  /* changed by no other user: POSIX, owned by the effective user or root and */                                \
  /* writable by others only when sticky; Windows, owned by the current user, */                                \
  /* Administrators or SYSTEM, and no other account may add, write or */                                        \
  /* delete there or change who may. */                                                                          \
  X(int, isPrivateFolder, (Handle folder))                                                                       \
  /* Runtime file functions. */                                                                                  \
  X(int, makeDirectory, (const char* path))                                                                      \
  /* The server's side of the server lock, for the bundled sample server: */                                    \
  /* opens an existing file for reading and writing, deny-none, never */                                        \
  /* creating or truncating it; -1 with errno set on failure. */                                                 \
  X(int, openReadWrite, (const char* path))                                                                      \
  /* Exclusive lock of the single byte at offset 0, one attempt; -1 with */                                     \
  /* errno set on failure, EACCES when another open of the file holds it. */                                    \
  X(int, lockFirstByte, (int fd))                                                                                \
  X(int, unlockFirstByte, (int fd))                                                                              \
  /* The launcher's side: on a file opened with kFolderFileProbe (reading */                                    \
  /* is all it needs), 1 when another open holds an exclusive lock on the */                                    \
  /* first byte; 0 when none does (a shared lock is a reader's, not the */                                      \
  /* server's); -1 with errno set when it cannot tell. Takes no lock that */                                    \
  /* outlasts the call. */                                                                                       \
  X(int, probeFirstByteLock, (int fd))                                                                           \
  X(int, closeDescriptor, (int fd))                                                                              \
  /* Processes and files of a server instance. */                                                                \
  /* The id of the process that a handle from OpenProcess stands for; 0 */                                       \
  /* when it cannot tell. */                                                                                     \
  X(uint32_t, GetProcessId, (Handle process))                                                                    \
  /* What the open file is (see InstanceFileInfo); 0 on success. */                                              \
  X(int, getInstanceFileInfo, (int fd, InstanceFileInfo* info))                                                  \
  /* Reads up to size bytes, until the end of the file; the count read, or */                                    \
  /* -1 when nothing could be. */                                                                                \
  X(int, readText, (int fd, char* buffer, uint32_t size))                                                        \
  /* Writes all length bytes; 0 when all were written. */                                                        \
  X(int, writeText, (int fd, const char* text, uint32_t length))                                                \
  /* Folders that another user may have shaped, and files named in them. */                                     \
  /* A folder opened as itself, never through a link or reparse point at */                                     \
  /* its name (kErrorReparsePoint) and never a file (kErrorDirectory): a */                                     \
  /* handle, closed with CloseHandle, that the entries below name files */                                      \
  /* relative to; null with the last error set. Windows: held open without */                                   \
  /* sharing deletion, so that the folder is not renamed away meanwhile. */                                     \
  X(Handle, openFolder, (const char* path))                                                                      \
  /* With a parent: the folder name (no separator) of the open folder */                                        \
  /* parent, opened as openFolder opens a folder (never through a link at */                                    \
  /* the name, never a file). Without one: the folder at path, following */                                     \
  /* links along it and at it, as the caller chose it (the instance */                                           \
  /* directory). A handle, or null with the last error set. */                                                   \
  X(Handle, openFolderAt, (Handle parent, const char* name))                                                     \
  /* The file name (no separator) of folder, opened relative to the folder */                                   \
  /* itself (no path is composed, so no path limit applies): never through */                                   \
  /* a link at the name (kErrorReparsePoint), never blocking on a FIFO, a */                                    \
  /* folder refused (kErrorDirectory), and only a regular file opened (else */                                  \
  /* kErrorCantAccessFile). A descriptor in text mode, or -1 with the last */                                   \
  /* error set; see FolderFileMode. */                                                                           \
  X(int, openFileInFolder, (Handle folder, const char* name, int mode))                                          \
  /* 1 when something is at the file name of folder, 0 when nothing is (or */                                    \
  /* that cannot be told). */                                                                                    \
  X(int, fileExistsInFolder, (Handle folder, const char* name))                                                  \
  /* Deletes the file name of folder, never a folder; 0 on success. */                                          \
  X(int, removeFileInFolder, (Handle folder, const char* name))                                                  \
  /* Renames the file from over the file to of folder in one step: a reader */                                  \
  /* of to sees the old file or the new one whole, and other programs */                                        \
  /* holding to open (sharing deletion) do not keep it; 0 on success. */                                        \
  X(int, renameInFolder, (Handle folder, const char* from, const char* to))                                      \
  /* Calls visit with each name in folder but "." and ".." (no separator), */                                  \
  /* read through the open folder; 0 when the folder could be listed. */                                         \
  X(int, listFolder, (Handle folder, void (*visit)(const char* name, void* context), void* context))           \
  /* Sets the last-write time of a file open for writing to this system's */                                    \
  /* clock now, so that the clock of a file server (a share) never stands */                                    \
  /* in for it; 0 on success. */                                                                                 \
  X(int, stampFileWriteTime, (int fd))                                                                           \
  /* Fills buffer with size bytes that another user cannot predict, from */                                     \
  /* the system's random source; 0 on success. */                                                                \
  X(int, getRandomBytes, (void* buffer, uint32_t size))                                                          \
  /* Evidence no clock moves of which process a server is: 1 when the */                                         \
  /* process processId holds the file that fd is open on open too (POSIX: */                                    \
  /* a descriptor under /proc/<pid>/fd of the same device and inode; */                                          \
  /* Windows: the process among those the file system lists as using the */                                     \
  /* file); 0 when it does not; -1 when that cannot be told (no /proc, no */                                    \
  /* right to read it; a system or file system that does not answer). */                                        \
  X(int, isProcessUsingFile, (int fd, uint32_t processId))

// How openFileInFolder opens a file.
enum FolderFileMode {
  // An existing file for reading, shared with readers, writers and
  // deletion: the launcher's own readers never keep a file from being
  // replaced.
  kFolderFileRead = 0,
  // A new file for writing, created exclusively (never an existing one),
  // shared with no one, and made the launcher's own from the start
  // (POSIX: mode 0644 whatever the umask; Windows: owned by Administrators,
  // SYSTEM when run as SYSTEM, or the user where the token may not give that
  // owner, and a protected access list giving full control to SYSTEM and
  // Administrators only, and reading to Users: any administrator's stop
  // trusts it).
  kFolderFileCreateNew = 1,
  // An existing file for one probe of a byte lock (probeFirstByteLock):
  // opened for reading only, so that a read-only instance can be probed,
  // and shared for reading, writing and deletion so that any server's open
  // allows it.
  kFolderFileProbe = 2,
  // An existing file for writing in place, shared for reading, writing and
  // deletion, never created or truncated: the last resort for a file others
  // hold open so that it can be neither replaced nor removed. The caller
  // checks what it is (getInstanceFileInfo) before writing.
  kFolderFileRewrite = 3,
};

// What an open file under the instance directory is.
struct InstanceFileInfo {
  int isRegular;   // not a directory, device, FIFO, link or reparse point
  uint32_t links;  // names the file has
  // Only the launcher's own user or the system can have written it. POSIX:
  // owned by the effective user or root, and not writable by group or
  // others. Windows: owned by the current user, Administrators or SYSTEM,
  // and no access entry lets another account change it (isTrustedSecurity).
  int isTrusted;
};

struct Platform {
#define PLATFORM_DECLARE_ENTRY(result, name, parameters) result(*name) parameters;
  PLATFORM_OPERATIONS(PLATFORM_DECLARE_ENTRY)
#undef PLATFORM_DECLARE_ENTRY
};

// A host fills its table by name (.Sleep = sleepFor, ...), in the list's
// order; this makes a forgotten entry a compile error as well.
#define PLATFORM_CHECK_FILLED(result, name, parameters) \
  static_assert(kHost.name != nullptr, "the platform entry " #name " is not filled");

extern Platform os;

// vsnprintf as C99 has it (the whole text's length returned, negative on a
// format error; at most size - 1 characters stored, and a terminator), made
// with the host C runtime's own formatter. On Windows that is the system's,
// which does all the launcher formats (%d, %u, %lu, %s, %c) without the 10
// KiB of MinGW's own. Not an operating-system call: no entry of the table.
int formatHostV(char* buffer, size_t size, const char* format, va_list arguments);

// The real operations of this host, for restoring a replaced entry.
const Platform& hostPlatform();
