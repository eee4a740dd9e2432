// The launcher's only way to the operating system.
//
// Every kernel operation and runtime file function the launcher uses is an
// entry of the table `os`, named after the Windows operation it stands for.
// platform-win32.cpp fills the table with the real calls; platform-posix.cpp
// with a layer of our own that behaves as the launcher expects of each call.
// Tests replace one entry (see ScopedOverride in testing/) and restore it.
#pragma once

#include <cstdint>
#include <cstdio>

typedef void* Handle;

// Paths composed by the launcher use the host's separator; the Windows texts
// use a backslash wherever this stands.
#ifdef _WIN32
#define PATH_SEP "\\"
#define PATH_SEP_CHAR '\\'
#else
#define PATH_SEP "/"
#define PATH_SEP_CHAR '/'
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
const uint32_t kProcessTerminate = 0x0001;
const uint32_t kProcessQueryInformation = 0x0400;
const uint32_t kErrorFileNotFound = 2;
const uint32_t kErrorAccessDenied = 5;
const uint32_t kErrorInvalidParameter = 87;
const int kMaxPath = 260;

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
  /* Opens an existing file with neither read nor write access, shared for */                                  \
  /* reading and writing; kInvalidHandle when it cannot. */                                                      \
  X(Handle, CreateFileA, (const char* path))                                                                     \
  /* The size's low 32 bits (no high-word argument). */                                                         \
  X(uint32_t, GetFileSize, (Handle file))                                                                        \
  X(int, DeleteFileA, (const char* path))                                                                        \
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
  /* Creation time of a process, and last-write time of a file, in seconds */                                   \
  /* since 1970; 0 on success, -1 when unknown. A PID file that outlived its */                                 \
  /* server may name an unrelated, younger process: these tell them apart. */                                   \
  X(int, getProcessCreationTime, (Handle process, int64_t * seconds))                                            \
  X(int, getFileWriteTime, (const char* path, int64_t* seconds))                                                 \
  /* Runtime file functions. */                                                                                  \
  /* Opens the log for appending, shared for reading and writing (not */                                        \
  /* deletion), created if absent, text mode; null when it cannot. */                                           \
  X(FILE*, openLogForAppend, (const char* path))                                                                 \
  /* Serialise appends across processes around one entry. The wait is */                                        \
  /* bounded; after it the entry is written anyway. */                                                           \
  X(void, lockLogAppend, (FILE * stream))                                                                        \
  X(void, unlockLogAppend, (FILE * stream))                                                                      \
  /* Creates or truncates a file for writing in text mode, not shared while */                                  \
  /* open; null when it cannot. */                                                                               \
  X(FILE*, openExclusiveForWrite, (const char* path))                                                            \
  /* Opens a file for reading in text mode, shared with readers and writers. */                                 \
  X(FILE*, openSharedForRead, (const char* path))                                                                \
  X(int, makeDirectory, (const char* path))                                                                      \
  /* 0 when the path exists, -1 otherwise. */                                                                    \
  X(int, statPath, (const char* path))                                                                           \
  X(int, removeFile, (const char* path))                                                                         \
  /* Opens an existing file for reading and writing, deny-none, never */                                        \
  /* creating or truncating it; -1 with errno set on failure. */                                                 \
  X(int, openReadWrite, (const char* path))                                                                      \
  /* Exclusive lock of the single byte at offset 0, one attempt; -1 with */                                     \
  /* errno set on failure, EACCES when another open of the file holds it. */                                    \
  X(int, lockFirstByte, (int fd))                                                                                \
  X(int, unlockFirstByte, (int fd))                                                                              \
  X(int, closeDescriptor, (int fd))

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

// The real operations of this host, for restoring a replaced entry.
const Platform& hostPlatform();
