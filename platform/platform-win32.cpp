// The launcher's operating-system needs, met by the Windows kernel and the
// C runtime.
#include "platform/platform.h"

#include "common/access_list.h"
#include "common/reparse_tag.h"
#include "platform/format.h"

#include <windows.h>
#include <winternl.h>

#include <aclapi.h>
#include <sddl.h>
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#ifdef LAUNCHER_VOLUME_SHIM
// Test builds only (launcher-shim.exe): the calls whose answers differ by
// volume and folder are answered as Windows answers them there.
#include "testing/volume_shim.h"
#endif

// Log time stamps must survive January 2038.
static_assert(sizeof(time_t) == 8, "time_t must have 64 bits");
static_assert(kStillActive == STILL_ACTIVE, "STILL_ACTIVE");
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION");
static_assert(kStdInputHandle == STD_INPUT_HANDLE, "STD_INPUT_HANDLE");
static_assert(kStdOutputHandle == STD_OUTPUT_HANDLE, "STD_OUTPUT_HANDLE");
static_assert(kStdErrorHandle == STD_ERROR_HANDLE, "STD_ERROR_HANDLE");
static_assert(kHandleFlagInherit == HANDLE_FLAG_INHERIT, "HANDLE_FLAG_INHERIT");
static_assert(kStartfUseStdHandles == STARTF_USESTDHANDLES, "STARTF_USESTDHANDLES");
static_assert(kDetachedProcess == DETACHED_PROCESS, "DETACHED_PROCESS");
static_assert(kCreateBreakawayFromJob == CREATE_BREAKAWAY_FROM_JOB, "CREATE_BREAKAWAY_FROM_JOB");
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED");
static_assert(kProcessTerminate == PROCESS_TERMINATE, "PROCESS_TERMINATE");
static_assert(kProcessQueryInformation == PROCESS_QUERY_INFORMATION, "PROCESS_QUERY_INFORMATION");
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER");
static_assert(kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY, "FILE_ATTRIBUTE_DIRECTORY");
static_assert(kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES, "INVALID_FILE_ATTRIBUTES");

namespace {

uint32_t getModuleFileName(char* buffer, uint32_t size) { return ::GetModuleFileNameA(nullptr, buffer, size); }

uint32_t getFullPathName(const char* path, uint32_t size, char* buffer) {
  return ::GetFullPathNameA(path, size, buffer, nullptr);
}

uint32_t getFileAttributes(const char* path) { return ::GetFileAttributesA(path); }

// GetTempPath2A (Windows 10 21H2 and later) gives SYSTEM a folder that
// other users cannot reach, where GetTempPathA gives C:\Windows\Temp; it is
// looked up at run time, so the launcher still starts on older systems.
typedef DWORD(WINAPI* TempPathFunction)(DWORD, LPSTR);

TempPathFunction tempPathFunction() {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  FARPROC newer = kernel != nullptr ? ::GetProcAddress(kernel, "GetTempPath2A") : nullptr;
  return newer != nullptr ? reinterpret_cast<TempPathFunction>(reinterpret_cast<void*>(newer)) : ::GetTempPathA;
}

uint32_t getTempPath(uint32_t size, char* buffer) { return tempPathFunction()(size, buffer); }

int closeHandle(Handle handle) { return ::CloseHandle(handle) ? 1 : 0; }

uint32_t getCurrentProcessId() { return ::GetCurrentProcessId(); }

Handle getStdHandle(uint32_t which) { return ::GetStdHandle(which); }

int setHandleInformation(Handle handle, uint32_t mask, uint32_t flags) {
  return ::SetHandleInformation(handle, mask, flags) ? 1 : 0;
}

int createProcess(char* commandLine, int inheritHandles, uint32_t creationFlags,
                  const StartupInfo* startupInfo, ProcessInformation* processInformation) {
  STARTUPINFOA info;
  ZeroMemory(&info, sizeof info);
  info.cb = sizeof info;
  info.dwFlags = startupInfo->flags;
  info.hStdInput = startupInfo->stdInput;
  info.hStdOutput = startupInfo->stdOutput;
  info.hStdError = startupInfo->stdError;
  PROCESS_INFORMATION created;
  ZeroMemory(&created, sizeof created);
  BOOL result = ::CreateProcessA(nullptr, commandLine, nullptr, nullptr, inheritHandles ? TRUE : FALSE,
                                 creationFlags, nullptr, nullptr, &info, &created);
  processInformation->process = created.hProcess;
  processInformation->thread = created.hThread;
  processInformation->processId = created.dwProcessId;
  processInformation->threadId = created.dwThreadId;
  return result;
}

uint32_t getLastError() { return ::GetLastError(); }

Handle openProcess(uint32_t access, int inheritHandle, uint32_t processId) {
  return ::OpenProcess(access, inheritHandle ? TRUE : FALSE, processId);
}

int terminateProcess(Handle process, uint32_t exitCode) { return ::TerminateProcess(process, exitCode) ? 1 : 0; }

int getExitCodeProcess(Handle process, uint32_t* exitCode) {
  DWORD code = 0;
  BOOL result = ::GetExitCodeProcess(process, &code);
  if (result) *exitCode = code;
  return result ? 1 : 0;
}

void sleepFor(uint32_t milliseconds) { ::Sleep(milliseconds); }

int64_t secondsSince1970(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  const uint64_t kEpochDifference = 116444736000000000ULL;  // 1601 to 1970 in 100 ns steps
  return static_cast<int64_t>((value.QuadPart - kEpochDifference) / 10000000ULL);
}

uint64_t getTickCount() { return ::GetTickCount64(); }

int getProcessCreationTime(Handle process, int64_t* seconds) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
  *seconds = secondsSince1970(created);
  return 0;
}

HANDLE osHandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

int getFileWriteTime(int fd, int64_t* seconds) {
  FILETIME written;
  if (!::GetFileTime(osHandleOf(fd), nullptr, nullptr, &written)) return -1;
  *seconds = secondsSince1970(written);
  return 0;
}

int64_t getCurrentTime() { return static_cast<int64_t>(_time64(nullptr)); }

int toLocalTime(int64_t seconds, struct tm* local) {
  __time64_t value = seconds;
  return _localtime64_s(local, &value) == 0 ? 0 : -1;
}

// The kernel's own calls for names relative to a held folder. The narrow
// calls can only name a file by a whole path, which would have to be
// recomposed from the folder's path (capped at 260 characters, prefix
// included, and unknown on volumes without a drive letter); NtCreateFile
// takes the folder's handle and one name beside it, of any length the file
// system allows. Looked up once: only ntdll exports them.
typedef NTSTATUS(NTAPI* CreateFileCall)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                         ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS(NTAPI* SetInformationCall)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
typedef NTSTATUS(NTAPI* QueryDirectoryCall)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG,
                                            BOOLEAN, PUNICODE_STRING, BOOLEAN);
typedef ULONG(NTAPI* ToWin32ErrorCall)(NTSTATUS);

struct NtCalls {
  CreateFileCall createFile;
  SetInformationCall setInformationFile;
  QueryDirectoryCall queryDirectoryFile;
  ToWin32ErrorCall toWin32Error;
};

template <typename Call>
void lookUp(HMODULE module, const char* name, Call* call) {
  *call = reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const NtCalls& nt() {
  static NtCalls calls = {};
  if (calls.toWin32Error == nullptr) {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    lookUp(ntdll, "NtCreateFile", &calls.createFile);
    lookUp(ntdll, "NtSetInformationFile", &calls.setInformationFile);
    lookUp(ntdll, "NtQueryDirectoryFile", &calls.queryDirectoryFile);
    lookUp(ntdll, "RtlNtStatusToDosError", &calls.toWin32Error);
  }
  return calls;
}

// Information classes of NtSetInformationFile, spelled out: the headers
// name only some of them (and SetFileInformationByHandle's own numbering
// differs, MinGW's even from Windows' for the newer ones).
const ULONG kFileRenameInformation = 10;
const ULONG kFileNamesInformation = 12;
const ULONG kFileDispositionInformation = 13;
const ULONG kFileDispositionInformationEx = 64;
const ULONG kFileRenameInformationEx = 65;
// Their flags: replace the target, and let the name go at once even while
// other programs hold the file (Windows 10 1709 and later, NTFS).
const ULONG kRenameReplaceIfExists = 0x1;
const ULONG kRenamePosixSemantics = 0x2;
const ULONG kDispositionDelete = 0x1;
const ULONG kDispositionPosixSemantics = 0x2;
// FILE_NON_DIRECTORY_FILE on a folder: RtlNtStatusToDosError says "access
// denied", which callers would read as a file they may not open.
const NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAu);

// Sets the last error from a status; 1 when it is a success.
int succeeded(NTSTATUS status) {
  if (status >= 0) return 1;
  ::SetLastError(status == kStatusFileIsADirectory ? ERROR_DIRECTORY : nt().toWin32Error(status));
  return 0;
}

// A name of the launcher's (ANSI code page: UTF-8 by the manifest) as the
// kernel takes it. One component of a folder: the file system's own limit
// (255 characters) is the only one that applies.
const int kMaxNameChars = 512;

struct WideName {
  WCHAR text[kMaxNameChars];
  UNICODE_STRING string;
};

int toWideName(const char* name, WideName* wide) {
  int length = ::MultiByteToWideChar(CP_ACP, 0, name, -1, wide->text, kMaxNameChars);
  if (length <= 0) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  wide->string.Buffer = wide->text;
  wide->string.Length = static_cast<USHORT>((length - 1) * sizeof(WCHAR));
  wide->string.MaximumLength = static_cast<USHORT>(length * sizeof(WCHAR));
  return 1;
}

// The one way a name in a held folder is opened, created or readied for
// renaming or deletion: relative to the folder's handle, and never through
// a reparse point at the name (it is opened as itself; see openInFolder).
// options says a file (FILE_NON_DIRECTORY_FILE), a folder
// (FILE_DIRECTORY_FILE) or either (0); security is a new file's own.
// INVALID_HANDLE_VALUE with the last error set on failure.
HANDLE openRelative(HANDLE folder, const char* name, DWORD access, DWORD share, DWORD disposition, DWORD options,
                    PSECURITY_DESCRIPTOR security) {
  WideName wide;
  if (!toWideName(name, &wide)) return INVALID_HANDLE_VALUE;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &wide.string, OBJ_CASE_INSENSITIVE, folder, security);
  IO_STATUS_BLOCK io;
  HANDLE file = nullptr;
  NTSTATUS status = nt().createFile(&file, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr,
                                    FILE_ATTRIBUTE_NORMAL, share, disposition,
                                    options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return succeeded(status) ? file : INVALID_HANDLE_VALUE;
}

// The one place that asks for an open file's or folder's attributes and
// its reparse tag (0 where it is no reparse point); 1 when read, else 0
// with the last error set. FAT32 and exFAT refuse the attribute-tag class
// with ERROR_INVALID_PARAMETER (the fastfat sample's query has no case for
// it; github.com/microsoft/STL/pull/2373, github.com/winfsp/winfsp/issues/661),
// and so may other file systems without reparse points ("not supported"):
// there the basic class, which every file system answers, tells the same.
// A reparse point whose tag cannot be read is taken for a link.
int readAttributes(HANDLE file, DWORD* attributes, DWORD* reparseTag) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) {
    *attributes = tag.FileAttributes;
    *reparseTag = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? tag.ReparseTag : 0;
    return 1;
  }
  DWORD error = ::GetLastError();
  FILE_BASIC_INFO basic;
  if ((error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) ||
      !::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    ::SetLastError(error);
    return 0;
  }
  *attributes = basic.FileAttributes;
  *reparseTag = (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? IO_REPARSE_TAG_SYMLINK : 0;
  return 1;
}

// 1 when the open file or folder is a link (see isLinkReparseTag); 0 when
// it is not; -1 with the last error set when that cannot be read.
int isLink(HANDLE file, DWORD* reparseTag) {
  DWORD attributes = 0;
  if (!readAttributes(file, &attributes, reparseTag)) return -1;
  return *reparseTag != 0 && isLinkReparseTag(*reparseTag);
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The file an open handle stands for, opened once more with other access:
// named by the handle itself, it cannot be another file than that one.
// INVALID_HANDLE_VALUE with the last error set on failure.
HANDLE reopenByHandle(HANDLE file, DWORD access, DWORD share, DWORD options) {
  IO_STATUS_BLOCK io;
  UNICODE_STRING none = {0, 0, nullptr};
  OBJECT_ATTRIBUTES same;
  InitializeObjectAttributes(&same, &none, 0, file, nullptr);
  HANDLE reopened = nullptr;
  NTSTATUS status = nt().createFile(&reopened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &same, &io, nullptr, 0,
                                    share, FILE_OPEN, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return succeeded(status) ? reopened : INVALID_HANDLE_VALUE;
}

// openRelative, with a link at the name refused (kErrorReparsePoint). Any
// other reparse point (a cloud placeholder, a deduplicated file) is an
// ordinary file whose content its filter serves: opened as itself, it would
// show the filter's stub instead, so it is opened again through the handle,
// which cannot lead anywhere else, when data is to be read or written.
HANDLE openInFolder(HANDLE folder, const char* name, DWORD access, DWORD share, DWORD disposition, DWORD options,
                    int forData, PSECURITY_DESCRIPTOR security = nullptr) {
  HANDLE file = openRelative(folder, name, access, share, disposition, options, security);
  if (file == INVALID_HANDLE_VALUE) return file;
  DWORD tag = 0;
  int link = isLink(file, &tag);
  DWORD error = link < 0 ? ::GetLastError() : link ? kErrorReparsePoint : ERROR_SUCCESS;
  if (error == ERROR_SUCCESS && tag != 0 && forData) {
    HANDLE reopened = reopenByHandle(file, access, share, options);
    error = reopened != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(file);
    if (error == ERROR_SUCCESS) return reopened;
    file = INVALID_HANDLE_VALUE;
  }
  if (error == ERROR_SUCCESS) return file;
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  ::SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// The same folder handle for every caller: rights to list it (and open
// names relative to it) and read its attributes and owner, shared with
// readers and writers but not deletion, so that it cannot be renamed or
// removed while the launcher holds it. A folder whose owner may not be
// read is still opened (isPrivateFolder then refuses it).
const DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
const DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE openFolderFor(const char* path, DWORD access, DWORD flags) {
  return ::CreateFileA(path, access, kFolderShare, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// A folder at a path: as the caller chose it (links followed), or refusing
// a link at its last name.
Handle openFolderByPath(const char* path, DWORD flags) {
  HANDLE folder = openFolderFor(path, kFolderAccess | READ_CONTROL, flags);
  if (folder == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED)
    folder = openFolderFor(path, kFolderAccess, flags);
  if (folder == INVALID_HANDLE_VALUE) return nullptr;
  DWORD attributes = 0;
  DWORD tag = 0;
  DWORD error = ERROR_SUCCESS;
  if (!readAttributes(folder, &attributes, &tag)) {
    error = ::GetLastError();
  } else if (tag != 0 && isLinkReparseTag(tag)) {
    error = kErrorReparsePoint;
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ERROR_DIRECTORY;
  }
  if (error == ERROR_SUCCESS) return folder;
  ::CloseHandle(folder);
  ::SetLastError(error);
  return nullptr;
}

Handle openFolder(const char* path) { return openFolderByPath(path, FILE_FLAG_OPEN_REPARSE_POINT); }

Handle openFolderAt(Handle parent, const char* name) {
  if (parent == nullptr) return openFolderByPath(name, 0);
  HANDLE folder = openInFolder(parent, name, kFolderAccess | READ_CONTROL, kFolderShare, FILE_OPEN,
                               FILE_DIRECTORY_FILE, 0);
  if (folder == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED)
    folder = openInFolder(parent, name, kFolderAccess, kFolderShare, FILE_OPEN, FILE_DIRECTORY_FILE, 0);
  return folder != INVALID_HANDLE_VALUE ? folder : nullptr;
}

// A runtime descriptor for an opened file (or for none: -1), which then
// owns the handle.
int descriptorOf(HANDLE file, int flags) {
  if (file == INVALID_HANDLE_VALUE) return -1;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
  if (fd == -1) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  }
  return fd;
}

// Renames the open file to name in folder; 0 on success, else the last
// error set. flags as kRenameReplaceIfExists; with posix, the class that
// also replaces a target other programs hold open.
int renameByHandle(HANDLE file, HANDLE folder, const char* name, ULONG flags, int posix) {
  WideName wide;
  if (!toWideName(name, &wide)) return -1;
  union {
    FILE_RENAME_INFO info;
    BYTE bytes[sizeof(FILE_RENAME_INFO) + kMaxNameChars * sizeof(WCHAR)];
  } rename;
  ZeroMemory(&rename, sizeof rename);
  // FILE_RENAME_INFORMATION keeps a flag byte there, its Ex form a ULONG of
  // flags: the same place, so one record serves both.
  ULONG setFlags = posix ? flags | kRenamePosixSemantics : flags;
  memcpy(&rename.info.ReplaceIfExists, &setFlags, sizeof setFlags);
  rename.info.RootDirectory = folder;
  rename.info.FileNameLength = wide.string.Length;
  memcpy(rename.info.FileName, wide.text, wide.string.Length);
  IO_STATUS_BLOCK io;
  NTSTATUS status =
      nt().setInformationFile(file, &io, &rename, sizeof(FILE_RENAME_INFO) + wide.string.Length,
                              posix ? kFileRenameInformationEx : kFileRenameInformation);
  return succeeded(status) ? 0 : -1;
}

// Marks the open file for deletion; with posix, its name goes at once even
// while other programs hold it (else when the last handle closes).
int deleteByHandle(HANDLE file, int posix) {
  IO_STATUS_BLOCK io;
  ULONG flags = kDispositionDelete | kDispositionPosixSemantics;
  BOOLEAN classic = TRUE;
  NTSTATUS status =
      posix ? nt().setInformationFile(file, &io, &flags, sizeof flags,
                                      kFileDispositionInformationEx)
            : nt().setInformationFile(file, &io, &classic, sizeof classic,
                                      kFileDispositionInformation);
  return succeeded(status) ? 0 : -1;
}

// The file name of folder (never a folder), opened for deletion and
// deleted; a link at the name is deleted itself, never what it names.
int deleteInFolder(HANDLE folder, const char* name) {
  HANDLE file = openRelative(folder, name, DELETE, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  int result = deleteByHandle(file, 1) == 0 || deleteByHandle(file, 0) == 0 ? 0 : -1;
  DWORD error = ::GetLastError();
  ::CloseHandle(file);
  ::SetLastError(error);
  return result;
}

// A link at the name is refused (kErrorReparsePoint); there is no named
// pipe in a folder on disk to block on. READ_CONTROL lets getLogFileInfo
// read the owner. The handle may append but not write data: "If only the
// FILE_APPEND_DATA and SYNCHRONIZE flags are set, the caller can write
// only to the end of the file, and any offset information on writes to the
// file is ignored" (NtCreateFile, learn.microsoft.com; what turns it off
// is FILE_WRITE_DATA, which lets a handle write anywhere), so the system
// puts each entry at the end as it is at that moment, and a run writing
// without the entry lock never lands on another's entry. Reading is for the lock:
// LockFileEx wants "either the GENERIC_READ or GENERIC_WRITE access right"
// (learn.microsoft.com), which appending alone is not. Another program
// that holds the log sharing writing but not reading would refuse that
// open: the entry is then opened to append alone, and written without the
// lock (tryLockLog takes the refusal for a stranger's lock), which
// appending makes safe.
const DWORD kLogAccess = FILE_READ_DATA | FILE_APPEND_DATA | READ_CONTROL;
const DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

int openLog(Handle folder, const char* name) {
  HANDLE file = openInFolder(folder, name, kLogAccess, kLogShare, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, 1);
  if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION)
    file = openInFolder(folder, name, kLogAccess & ~FILE_READ_DATA, kLogShare, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE,
                        1);
  return descriptorOf(file, _O_WRONLY | _O_BINARY);
}

// A byte far past any real end of file, so that readers of the log never
// meet the lock; below it, the byte that only a stranger's lock covers.
const DWORD kLogLockOffsetHigh = 0x7FFFFFFFu;
const DWORD kLogLockOffset = 0xFFFFFFFEu;

BOOL lockLogByte(HANDLE file, DWORD offset, DWORD flags) {
  OVERLAPPED range;
  ZeroMemory(&range, sizeof range);
  range.Offset = offset;
  range.OffsetHigh = kLogLockOffsetHigh;
  return ::LockFileEx(file, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range);
}

void unlockLogByte(HANDLE file, DWORD offset) {
  OVERLAPPED range;
  ZeroMemory(&range, sizeof range);
  range.Offset = offset;
  range.OffsetHigh = kLogLockOffsetHigh;
  ::UnlockFileEx(file, 0, 1, 0, &range);
}

// The byte beside the lock is probed with a shared lock, which other runs'
// probes do not refuse; only another program's exclusive lock does.
int tryLockLog(int fd) {
  HANDLE file = osHandleOf(fd);
  if (lockLogByte(file, kLogLockOffset, LOCKFILE_EXCLUSIVE_LOCK)) return kLogLocked;
  if (!lockLogByte(file, kLogLockOffset - 1, 0)) return kLogLockedByAStranger;
  unlockLogByte(file, kLogLockOffset - 1);
  return kLogLockedByARun;
}

int isWellKnownAccount(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof known;
  return ::CreateWellKnownSid(type, nullptr, known, &size) && ::EqualSid(sid, known);
}

// The account the launcher runs as, read from its token once: every entry
// of every access list is compared with it.
PSID tokenUser() {
  static union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } buffer;
  static int known = -1;
  if (known < 0) {
    HANDLE token = nullptr;
    DWORD size = 0;
    known = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
            ::GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size);
    if (token != nullptr) ::CloseHandle(token);
  }
  return known ? buffer.user.User.Sid : nullptr;
}

// NT SERVICE\TrustedInstaller: a service SID, whose sub-authorities are
// the SHA-1 of the service's name, so no well-known type names it.
int isTrustedInstaller(PSID sid) {
  static const struct {
    BYTE revision;
    BYTE subAuthorityCount;
    SID_IDENTIFIER_AUTHORITY authority;
    DWORD subAuthority[6];
  } kTrustedInstaller = {SID_REVISION, 6, SECURITY_NT_AUTHORITY,
                         {SECURITY_SERVICE_ID_BASE_RID, 956008885u, 3418522649u, 1831038044u, 1853292631u,
                          2271478464u}};
  return ::EqualSid(sid, const_cast<void*>(static_cast<const void*>(&kTrustedInstaller)));
}

Account accountOf(PSID sid) {
  if (isWellKnownAccount(sid, WinLocalSystemSid)) return kAccountSystem;
  if (isTrustedInstaller(sid)) return kAccountTrustedInstaller;
  if (isWellKnownAccount(sid, WinBuiltinAdministratorsSid)) return kAccountAdministrators;
  PSID user = tokenUser();
  if (user != nullptr && ::EqualSid(sid, user)) return kAccountCurrentUser;
  if (isWellKnownAccount(sid, WinCreatorOwnerSid)) return kAccountCreatorOwner;
  return kAccountOther;
}

const int kMaxAccessEntries = 64;

// Whether the volume of an open file or folder keeps no owners or access
// lists (FAT).
int keepsNoOwners(HANDLE file) {
  DWORD flags = 0;
  return ::GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_PERSISTENT_ACLS) == 0;
}

// One access entry as the rules read it. The allowing and denying types
// (plain, callback and object entries) all keep the mask right after the
// header; only the plain and callback ones keep the account there too, so
// an object entry's account is taken to be another's.
AccessEntry accessEntryOf(const ACE_HEADER* header) {
  const ACCESS_ALLOWED_ACE* entry = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  const BYTE type = header->AceType;
  const int denies = type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
                     type == ACCESS_DENIED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
  const int plain = type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE ||
                    type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE;
  Account account = plain ? accountOf(const_cast<DWORD*>(&entry->SidStart)) : kAccountOther;
  return {denies ? 0 : 1, account, entry->Mask, header->AceFlags};
}

// Reads the owner and access list of an open file or folder for the rules
// of access_list.h; 0 when read, -1 when they cannot be (or hold more
// entries than fit), which the callers take as "not the launcher's own".
// Only where the rules then refuse is the volume asked whether it keeps
// security at all (FAT does not: any user may write there anyway): under
// Wine that query costs more than the rest of a run's checks.
int readSecurity(HANDLE object, FileSecurity* security, AccessEntry* entries) {
  *security = {1, kAccountOther, 0, entries, 0};
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS)
    return -1;
  security->owner = owner != nullptr ? accountOf(owner) : kAccountOther;
  security->hasAccessList = list != nullptr;
  int result = list != nullptr && list->AceCount > kMaxAccessEntries ? -1 : 0;
  for (DWORD i = 0; result == 0 && list != nullptr && i < list->AceCount; i++) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(list, i, reinterpret_cast<void**>(&header))) {
      result = -1;
      break;
    }
    entries[security->entryCount++] = accessEntryOf(header);
  }
  ::LocalFree(descriptor);
  return result;
}

// A file system that keeps no owners or access lists (FAT) cannot tell who
// wrote the file, and there any user may write it anyway: refusing it would
// only keep stop from finding its server.
int isTrustedFile(HANDLE file) {
  AccessEntry entries[kMaxAccessEntries];
  FileSecurity security;
  return (readSecurity(file, &security, entries) == 0 && isTrustedSecurity(security)) || keepsNoOwners(file);
}

// A temporary folder that another user owns, or may add files to, may hold
// anything they put there, the log's own name included.
int isPrivateFolder(Handle folder) {
  AccessEntry entries[kMaxAccessEntries];
  FileSecurity security;
  return (readSecurity(folder, &security, entries) == 0 && isPrivateFolderSecurity(security)) || keepsNoOwners(folder);
}

// Whether the open file is owned by the launcher's own accounts. The owner
// alone is read first: the volume is only asked (FAT keeps no owners) when
// that does not settle it, since under Wine that query is slow.
// The owner is read into a buffer of its own, in one query: GetSecurityInfo
// asks twice and allocates, which costs an entry under Wine a fifth of its
// time.
int isOwnFile(HANDLE file) {
  union {
    SECURITY_DESCRIPTOR_RELATIVE header;
    BYTE bytes[sizeof(SECURITY_DESCRIPTOR_RELATIVE) + SECURITY_MAX_SID_SIZE];
  } descriptor;
  DWORD needed = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  int own = 0;
  if (::GetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, &descriptor, sizeof descriptor, &needed) &&
      ::GetSecurityDescriptorOwner(&descriptor, &owner, &defaulted) && owner != nullptr)
    own = isOwnAccount(accountOf(owner));
  return own || keepsNoOwners(file);
}

// The two queries by handle ask only for what is needed here; the older
// GetFileInformationByHandle also asks for the volume (under Wine the
// slowest call of an entry by far).
int getLogFileInfo(int fd, LogFileInfo* info) {
  HANDLE file = osHandleOf(fd);
  FILE_STANDARD_INFO standard;
  DWORD attributes = 0;
  DWORD tag = 0;
  if (!::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
      !readAttributes(file, &attributes, &tag))
    return -1;
  info->size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  const int link = tag != 0 && isLinkReparseTag(tag);
  info->isRegular = ::GetFileType(file) == FILE_TYPE_DISK && !standard.Directory && !link &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  info->links = standard.DeletePending ? 0 : standard.NumberOfLinks;
  info->isOwn = isOwnFile(file);
  return 0;
}

// The handle appends only (see openLog): the system writes at the end.
int appendToLog(int fd, const char* text, uint32_t length) {
  HANDLE file = osHandleOf(fd);
  DWORD written = 0;
  if (!::WriteFile(file, text, length, &written, nullptr)) return -1;
  if (written != length) {
    ::SetLastError(ERROR_DISK_FULL);
    return -1;
  }
  return 0;
}

// The entry handle may not cut the file (setting the end wants
// FILE_WRITE_DATA): a handle of its own on the same file does, and is
// closed again at once.
int truncateFile(int fd, uint64_t size) {
  HANDLE cutter = reopenByHandle(osHandleOf(fd), FILE_WRITE_DATA, kLogShare, FILE_NON_DIRECTORY_FILE);
  if (cutter == INVALID_HANDLE_VALUE) return -1;
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  BOOL cut = ::SetFileInformationByHandle(cutter, FileEndOfFileInfo, &end, sizeof end);
  DWORD error = ::GetLastError();
  ::CloseHandle(cutter);
  ::SetLastError(error);
  return cut ? 0 : -1;
}

// Closing would release the lock too, but only eventually: unlock first.
int closeLog(int fd) {
  unlockLogByte(osHandleOf(fd), kLogLockOffset);
  return _close(fd);
}

// The name a run gives the log it deletes: its own, so that two runs never
// rename over each other's copies, and a later run can tell whose it is.
const char kAsideInfix[] = ".deleted-";

// Whether a process with this id runs now (an aside copy of a run that is
// gone is left over for good).
int isLiveProcess(uint32_t processId) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  int live = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return live;
}

// Listed through the open folder's own handle, as every name in it is
// opened: FILE_NAMES_INFORMATION records, a buffer at a time.
int listFolder(Handle folder, void (*visit)(const char* name, void* context), void* context) {
  struct NameRecord {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    ULONG FileNameLength;
    WCHAR FileName[1];
  };
  union {
    NameRecord first;
    BYTE bytes[4096];
  } names;
  IO_STATUS_BLOCK io;
  BOOLEAN restart = TRUE;
  for (;;) {
    NTSTATUS status = nt().queryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, &names, sizeof names,
                                              kFileNamesInformation, FALSE, nullptr, restart);
    // STATUS_NO_MORE_FILES ends the listing.
    if (status == static_cast<NTSTATUS>(0x80000006u)) return 0;
    if (!succeeded(status)) return -1;
    restart = FALSE;
    for (BYTE* at = names.bytes;;) {
      const NameRecord* entry = reinterpret_cast<const NameRecord*>(at);
      char found[kMaxNameChars];
      int length = ::WideCharToMultiByte(CP_ACP, 0, entry->FileName, static_cast<int>(entry->FileNameLength / 2),
                                         found, sizeof found - 1, nullptr, nullptr);
      found[length > 0 ? length : 0] = '\0';
      if (length > 0 && strcmp(found, ".") != 0 && strcmp(found, "..") != 0) visit(found, context);
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

// The aside copies of one name in one folder, for deleteIfRunGone.
struct AsideCopies {
  HANDLE folder;
  const char* prefix;
  size_t prefixLength;
};

void deleteIfRunGone(const char* found, void* context) {
  const AsideCopies* copies = static_cast<const AsideCopies*>(context);
  if (strlen(found) <= copies->prefixLength || strncmp(found, copies->prefix, copies->prefixLength) != 0) return;
  char* end = nullptr;
  unsigned long processId = strtoul(found + copies->prefixLength, &end, 10);
  if (processId != 0 && *end == '\0' && !isLiveProcess(static_cast<uint32_t>(processId)))
    deleteInFolder(copies->folder, found);
}

// Deletes the aside copies of the log name in folder whose runs are gone:
// a copy that could not be deleted when it was made (a reader held it
// without sharing deletion) is not left for good.
void deleteLeftoverAsideCopies(HANDLE folder, const char* name) {
  char prefix[kMaxNameChars];
  int prefixLength = formatText(prefix, sizeof prefix, "%s%s", name, kAsideInfix);
  if (prefixLength <= 0 || prefixLength >= static_cast<int>(sizeof prefix)) return;
  AsideCopies copies = {folder, prefix, static_cast<size_t>(prefixLength)};
  listFolder(folder, deleteIfRunGone, &copies);
}

// Deletes the file open for deletion, and closes it, so that its name goes
// at once, even while a reader (a tail tool) holds it open sharing deletion:
// a name left "delete pending" refuses every open, and every later entry
// would be lost. POSIX semantics do that (Windows 10 1709 and later, NTFS).
// Where they are refused (Wine), the file is renamed aside through the
// folder and deleted by its new name once closed: Wine deletes a file
// marked through a handle by the name it was opened with, which by then may
// be another run's new log. 1 when the log's name is free; then the last
// error is the aside copy's deletion's (ERROR_SUCCESS when it went).
int deleteAtOnce(HANDLE file, HANDLE folder, const char* name) {
  if (deleteByHandle(file, 1) == 0) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_SUCCESS);
    return 1;
  }
  char aside[kMaxNameChars];
  formatText(aside, sizeof aside, "%s%s%lu", name, kAsideInfix, static_cast<unsigned long>(::GetCurrentProcessId()));
  if (renameByHandle(file, folder, aside, kRenameReplaceIfExists, 0) == 0) {
    ::CloseHandle(file);
    if (deleteInFolder(folder, aside) == 0) ::SetLastError(ERROR_SUCCESS);
    return 1;
  }
  int deleted = deleteByHandle(file, 0) == 0;
  DWORD error = ::GetLastError();
  ::CloseHandle(file);
  ::SetLastError(error);
  return deleted;
}

// Measured and deleted through one handle: while it is open for deletion no
// other run can open the file, nor open it for deletion too (Wine renames
// and deletes by the name a handle was opened with, which the other run's
// deletion may already have given to a new log), and a file that another
// run holds open cannot be opened for deletion at all, so it is simply not
// deleted yet. Readers that share deletion may come and go.
int deleteLogOverCap(Handle folder, const char* name, uint32_t cap) {
  HANDLE file = openInFolder(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                             FILE_NON_DIRECTORY_FILE, 0);
  if (file == INVALID_HANDLE_VALUE) return 0;
  FILE_STANDARD_INFO standard;
  if (::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
      standard.NumberOfLinks == 1 && standard.EndOfFile.QuadPart > static_cast<LONGLONG>(cap)) {
    int deleted = deleteAtOnce(file, folder, name);
    DWORD error = ::GetLastError();
    if (deleted) deleteLeftoverAsideCopies(folder, name);
    ::SetLastError(error);
    return deleted;
  }
  ::CloseHandle(file);
  ::SetLastError(ERROR_SUCCESS);
  return 0;
}

// The temporary "logs" folder, the one folder the launcher makes, is
// private to the accounts that may write the log: full control for SYSTEM,
// Administrators and the user, passed on to what it holds, and nothing
// inherited from the folder around it (C:\Windows\Temp lets Users add files
// and folders there), so no other user can plant, read or erase anything in
// it. A volume that keeps no access lists (FAT) ignores the list. Where the
// user cannot be named, a plain folder (isPrivateFolder then judges it).
int makeDirectory(const char* path) {
  char* user = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char text[160];
  if (tokenUser() != nullptr && ::ConvertSidToStringSidA(tokenUser(), &user) &&
      formatText(text, sizeof text, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)", user) <
          static_cast<int>(sizeof text))
    ::ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &descriptor, nullptr);
  ::LocalFree(user);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  BOOL made = ::CreateDirectoryA(path, descriptor != nullptr ? &attributes : nullptr);
  DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  if (made) return 0;
  errno = error == ERROR_ALREADY_EXISTS ? EEXIST : error == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
  ::SetLastError(error);
  return -1;
}

int openReadWrite(const char* path) { return _open(path, _O_RDWR); }

// The runtime's _locking does the same, but under Wine it fails on a held
// byte without setting errno; callers rely on EACCES there.
int lockFirstByte(int fd) {
  OVERLAPPED range;
  ZeroMemory(&range, sizeof range);
  if (::LockFileEx(osHandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) return 0;
  DWORD error = ::GetLastError();
  errno = (error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED) ? EACCES
          : error == ERROR_INVALID_HANDLE                                  ? EBADF
                                                                           : EINVAL;
  return -1;
}

int unlockFirstByte(int fd) {
  OVERLAPPED range;
  ZeroMemory(&range, sizeof range);
  if (::UnlockFileEx(osHandleOf(fd), 0, 1, 0, &range)) return 0;
  errno = EACCES;
  return -1;
}

// A shared lock is refused only where another open holds the byte
// exclusively, as a server does; a reader's shared lock lets it through.
int probeFirstByteLock(int fd) {
  OVERLAPPED range;
  ZeroMemory(&range, sizeof range);
  HANDLE file = osHandleOf(fd);
  if (::LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
    ::UnlockFileEx(file, 0, 1, 0, &range);
    return 0;
  }
  DWORD error = ::GetLastError();
  if (error == ERROR_LOCK_VIOLATION) return 1;
  errno = error == ERROR_INVALID_HANDLE ? EBADF : EINVAL;
  return -1;
}

int closeDescriptor(int fd) { return _close(fd); }

uint32_t getProcessId(Handle process) { return ::GetProcessId(process); }

// Attributes that cannot be read leave the file counted as no plain one.
int getInstanceFileInfo(int fd, InstanceFileInfo* info) {
  HANDLE file = osHandleOf(fd);
  FILE_STANDARD_INFO standard;
  if (!::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) return -1;
  DWORD attributes = 0;
  DWORD tag = 0;
  int read = readAttributes(file, &attributes, &tag);
  info->isRegular = read && ::GetFileType(file) == FILE_TYPE_DISK && !standard.Directory &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !(tag != 0 && isLinkReparseTag(tag));
  info->links = standard.NumberOfLinks;
  info->isTrusted = isTrustedFile(file);
  return 0;
}

int readText(int fd, char* buffer, uint32_t size) {
  uint32_t total = 0;
  while (total < size) {
    int got = _read(fd, buffer + total, size - total);
    if (got < 0) return total > 0 ? static_cast<int>(total) : -1;
    if (got == 0) break;
    total += static_cast<uint32_t>(got);
  }
  return static_cast<int>(total);
}

int writeText(int fd, const char* text, uint32_t length) {
  while (length > 0) {
    int written = _write(fd, text, length);
    if (written <= 0) return -1;
    text += written;
    length -= static_cast<uint32_t>(written);
  }
  return 0;
}

// Full control for SYSTEM and Administrators, reading for Users, nothing
// inherited from the folder, and owned by Administrators (by SYSTEM when
// run as SYSTEM): any administrator's stop, a service's or a scheduled
// task's then trusts what any other one's start wrote. Where the token may
// not give that owner, the default one.
PSECURITY_DESCRIPTOR launchersOwnSecurity(int withOwner) {
  PSID user = tokenUser();
  const char* owner = !withOwner                                                      ? ""
                      : user != nullptr && isWellKnownAccount(user, WinLocalSystemSid) ? "O:SY"
                                                                                       : "O:BA";
  char text[128];
  formatText(text, sizeof text, "%sD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", owner);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

// A new file is created with its own security, never later: no handle
// opened before the rights were set can exist. Created exclusively, so
// never a file someone else made (or holds) beforehand.
HANDLE createLaunchersOwnFile(HANDLE folder, const char* name, DWORD access) {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int withOwner = 1; withOwner >= 0; withOwner--) {
    PSECURITY_DESCRIPTOR descriptor = launchersOwnSecurity(withOwner);
    if (descriptor == nullptr) return INVALID_HANDLE_VALUE;
    file = openInFolder(folder, name, access, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, 0, descriptor);
    DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    ::SetLastError(error);
    if (file != INVALID_HANDLE_VALUE || error != ERROR_INVALID_OWNER) break;
  }
  return file;
}

int openFileInFolder(Handle folder, const char* name, int mode) {
  HANDLE file;
  int descriptorFlags = _O_RDONLY;
  if (mode == kFolderFileCreateNew) {
    file = createLaunchersOwnFile(folder, name, GENERIC_WRITE | READ_CONTROL);
    descriptorFlags = _O_WRONLY;
  } else if (mode == kFolderFileRewrite) {
    file = openInFolder(folder, name, GENERIC_WRITE | READ_CONTROL, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, 1);
    descriptorFlags = _O_WRONLY;
  } else {
    // READ_CONTROL lets getInstanceFileInfo read the owner; a probe needs
    // to read only, so that a read-only instance can be probed.
    DWORD access = mode == kFolderFileProbe ? GENERIC_READ : GENERIC_READ | READ_CONTROL;
    file = openInFolder(folder, name, access, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, 1);
  }
  return descriptorOf(file, descriptorFlags | _O_TEXT);
}

// Anything the kernel does not call absent is there: a name this user may
// not open, or one another program holds, is something all the same.
int fileExistsInFolder(Handle folder, const char* name) {
  HANDLE found = openRelative(folder, name, 0, kShareAll, FILE_OPEN, 0, nullptr);
  if (found != INVALID_HANDLE_VALUE) {
    ::CloseHandle(found);
    return 1;
  }
  DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : 1;
}

int removeFileInFolder(Handle folder, const char* name) { return deleteInFolder(folder, name); }

// RtlGenRandom, exported by advapi32 (already loaded) as SystemFunction036;
// the C runtime's rand_s draws on it too.
// https://learn.microsoft.com/en-us/windows/win32/api/ntsecapi/nf-ntsecapi-rtlgenrandom
typedef BOOLEAN(WINAPI* GenRandomCall)(PVOID, ULONG);

int getRandomBytes(void* buffer, uint32_t size) {
  static GenRandomCall genRandom = nullptr;
  if (genRandom == nullptr) {
    HMODULE advapi = ::GetModuleHandleA("advapi32.dll");
    if (advapi != nullptr) lookUp(advapi, "SystemFunction036", &genRandom);
  }
  if (genRandom != nullptr && genRandom(buffer, size)) return 0;
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return -1;
}

// Moves the file at to out of the way, under a name of this run's own, and
// deletes it once from has taken its place: a file other programs hold open
// sharing deletion may be renamed, though not replaced, where the rename
// with POSIX semantics is missing (measured under Wine: the plain rename
// over a held target is refused with "access denied", renaming the held
// target aside succeeds). The aside name holds the run's id, so that a
// later start can tell when its run is gone, and a random part, so that no
// one can take it in advance; a name that is taken is passed by. 0 when
// from is at to.
int renameOverHeld(HANDLE source, HANDLE folder, const char* to) {
  static unsigned counter = 0;
  char aside[kMaxNameChars];
  HANDLE target = openInFolder(folder, to, DELETE, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, 0);
  if (target == INVALID_HANDLE_VALUE) return -1;
  int movedAside = 0;
  for (int attempt = 0; attempt < 4 && !movedAside; attempt++) {
    uint32_t random[2] = {0, ++counter};
    getRandomBytes(random, sizeof random);
    formatText(aside, sizeof aside, "%s.%lu-%08lx%08lx.old", to, static_cast<unsigned long>(::GetCurrentProcessId()),
               static_cast<unsigned long>(random[0]), static_cast<unsigned long>(random[1]));
    movedAside = renameByHandle(target, folder, aside, 0, 0) == 0;
  }
  ::CloseHandle(target);
  if (!movedAside) return -1;
  int renamed = renameByHandle(source, folder, to, 0, 0);
  DWORD error = ::GetLastError();
  deleteInFolder(folder, aside);
  ::SetLastError(error);
  return renamed;
}

// One rename by handle through the folder: with POSIX semantics it replaces
// to even while other programs hold it open sharing deletion (Windows 10
// 1709 and later, NTFS). Elsewhere (older systems, other file systems,
// Wine, which does not implement the class) the plain rename replaces a
// target no one holds, and renameOverHeld one that others hold.
int renameInFolder(Handle folder, const char* from, const char* to) {
  HANDLE source = openInFolder(folder, from, DELETE, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, 0);
  if (source == INVALID_HANDLE_VALUE) return -1;
  int renamed = renameByHandle(source, folder, to, kRenameReplaceIfExists, 1) == 0 ||
                renameByHandle(source, folder, to, kRenameReplaceIfExists, 0) == 0 ||
                renameOverHeld(source, folder, to) == 0;
  DWORD error = ::GetLastError();
  ::CloseHandle(source);
  ::SetLastError(error);
  return renamed ? 0 : -1;
}

// The time is given, from this system's clock: left to the file system, an
// SMB share would take its own server's clock.
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-setfiletime
// (the handle needs FILE_WRITE_ATTRIBUTES, which GENERIC_WRITE holds).
int stampFileWriteTime(int fd) {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return ::SetFileTime(osHandleOf(fd), nullptr, nullptr, &now) ? 0 : -1;
}

// FileProcessIdsUsingFileInformation (class 47) lists the ids of the
// processes that have the file open, in a FILE_PROCESS_IDS_USING_FILE_INFORMATION
// record (a count, then ULONG_PTR ids); the handle needs FILE_READ_ATTRIBUTES,
// which every open of the launcher's holds. The list is asked again with a
// bigger buffer while the kernel says it does not fit. Wine answers
// STATUS_NOT_IMPLEMENTED; a file system or redirector may refuse the class
// (STATUS_INVALID_INFO_CLASS, STATUS_INVALID_PARAMETER): that cannot be told.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_process_ids_using_file_information
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ne-wdm-_file_information_class
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntqueryinformationfile
typedef NTSTATUS(NTAPI* QueryInformationCall)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
const ULONG kFileProcessIdsUsingFileInformation = 47;
const NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004u);
const NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005u);

int isProcessUsingFile(int fd, uint32_t processId) {
  static QueryInformationCall queryInformationFile = nullptr;
  if (queryInformationFile == nullptr) lookUp(::GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile", &queryInformationFile);
  if (queryInformationFile == nullptr) return -1;
  struct ProcessIds {
    ULONG count;
    ULONG_PTR ids[1];
  };
  HANDLE file = osHandleOf(fd);
  int result = -1;
  for (ULONG capacity = 64; capacity <= 65536 && result == -1; capacity *= 4) {
    ULONG size = static_cast<ULONG>(sizeof(ProcessIds) + capacity * sizeof(ULONG_PTR));
    ProcessIds* list = static_cast<ProcessIds*>(malloc(size));
    if (list == nullptr) break;
    IO_STATUS_BLOCK io;
    NTSTATUS status = queryInformationFile(file, &io, list, size, kFileProcessIdsUsingFileInformation);
    int grow = status == kStatusInfoLengthMismatch || status == kStatusBufferOverflow;
    if (status >= 0) {
      result = 0;
      for (ULONG i = 0; i < list->count && i <= capacity; i++) {
        if (list->ids[i] == processId) result = 1;
      }
    }
    free(list);
    if (!grow && status < 0) {
      succeeded(status);
      break;
    }
  }
  return result;
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

// msvcrt's own: _vsnprintf neither terminates a text that fills the buffer
// nor says how long a cut one was, which _vscprintf does.
int formatHostV(char* buffer, size_t size, const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int length = _vscprintf(format, copy);
  va_end(copy);
  if (size == 0) return length;
  int stored = _vsnprintf(buffer, size - 1, format, arguments);
  buffer[stored < 0 ? size - 1 : static_cast<size_t>(stored)] = '\0';
  return length;
}

const Platform& hostPlatform() { return kHost; }
