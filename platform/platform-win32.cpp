// The launcher's operating-system needs, met by the Windows kernel and the
// C runtime.
#include "platform/platform.h"

#include "common/access_list.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

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

HANDLE openFolderFor(const char* path, DWORD access) {
  return ::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The folder's handle names it: rights to list it and read its attributes
// and owner, shared with readers and writers but not deletion, so that it
// cannot be renamed or removed while the launcher holds it. A folder whose
// owner may not be read is still opened (isPrivateFolder then refuses it).
Handle openFolder(const char* path) {
  const DWORD access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
  HANDLE folder = openFolderFor(path, access | READ_CONTROL);
  if (folder == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) folder = openFolderFor(path, access);
  if (folder == INVALID_HANDLE_VALUE) return nullptr;
  FILE_ATTRIBUTE_TAG_INFO tag;
  DWORD error = ERROR_SUCCESS;
  if (!::GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &tag, sizeof tag)) {
    error = ::GetLastError();
  } else if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    error = kErrorReparsePoint;
  } else if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ERROR_DIRECTORY;
  }
  if (error == ERROR_SUCCESS) return folder;
  ::CloseHandle(folder);
  ::SetLastError(error);
  return nullptr;
}

// The path of name in folder, built from the path the folder has now (not
// the one it was opened by); 1 when it fits.
int pathInFolder(HANDLE folder, const char* name, char* buffer, DWORD size) {
  DWORD length = ::GetFinalPathNameByHandleA(folder, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0) return 0;
  // A root folder's path already ends with its separator.
  DWORD separator = length < size && buffer[length - 1] == '\\' ? 0 : 1;
  if (length + separator + strlen(name) + 1 > size) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (separator) buffer[length] = '\\';
  memcpy(buffer + length + separator, name, strlen(name) + 1);
  return 1;
}

const DWORD kFolderPathSize = 1024;

// Whether the open file is, by what its handle names now, name in the
// folder held open: a name that led elsewhere (a folder renamed and replaced
// meanwhile) is not the file the launcher meant.
int liesInFolder(HANDLE file, HANDLE folder, const char* name) {
  char expected[kFolderPathSize];
  char opened[kFolderPathSize];
  DWORD length = ::GetFinalPathNameByHandleA(file, opened, kFolderPathSize, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  return length != 0 && length < kFolderPathSize && pathInFolder(folder, name, expected, kFolderPathSize) &&
         _stricmp(opened, expected) == 0;
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

// A reparse point at the name is opened as itself, not followed; the
// writer then refuses it (getLogFileInfo). Opening never blocks on a named
// pipe: CreateFile does not wait for a pipe server.
int openLog(Handle folder, const char* name) {
  char path[kFolderPathSize];
  if (!pathInFolder(folder, name, path, kFolderPathSize)) return -1;
  HANDLE file = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE && !liesInFolder(file, folder, name)) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_CANT_ACCESS_FILE);
    return -1;
  }
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

// The two queries by handle ask only for what is needed here; the older
// GetFileInformationByHandle also asks for the volume (under Wine the
// slowest call of an entry by far).
int getLogFileInfo(int fd, LogFileInfo* info) {
  HANDLE file = osHandleOf(fd);
  FILE_STANDARD_INFO standard;
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
      !::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag))
    return -1;
  info->size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  info->isRegular = ::GetFileType(file) == FILE_TYPE_DISK && !standard.Directory &&
                    (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  info->links = standard.DeletePending ? 0 : standard.NumberOfLinks;
  info->isOwn = 1;
  return 0;
}

// Called under the log's lock, so the end does not move between the seek
// and the write.
int appendToLog(int fd, const char* text, uint32_t length) {
  HANDLE file = osHandleOf(fd);
  LARGE_INTEGER none;
  none.QuadPart = 0;
  DWORD written = 0;
  if (!::SetFilePointerEx(file, none, nullptr, FILE_END) || !::WriteFile(file, text, length, &written, nullptr))
    return -1;
  if (written != length) {
    ::SetLastError(ERROR_DISK_FULL);
    return -1;
  }
  return 0;
}

int truncateLog(int fd, uint64_t size) {
  HANDLE file = osHandleOf(fd);
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file) ? 0 : -1;
}

// Closing would release the lock too, but only eventually: unlock first.
int closeLog(int fd) {
  unlockLogByte(osHandleOf(fd), kLogLockOffset);
  return _close(fd);
}

// Renames the file open for deletion to a name of its own in the same
// folder, which frees the log's name at once; 1 when it did, with the new
// path in aside.
int renameAside(HANDLE file, HANDLE folder, const char* name, char* aside) {
  char asideName[kMaxPath];
  snprintf(asideName, sizeof asideName, "%s.deleted-%lu", name, static_cast<unsigned long>(::GetCurrentProcessId()));
  if (!pathInFolder(folder, asideName, aside, kFolderPathSize)) return 0;
  union {
    FILE_RENAME_INFO info;
    BYTE bytes[sizeof(FILE_RENAME_INFO) + kFolderPathSize * sizeof(WCHAR)];
  } rename;
  ZeroMemory(&rename, sizeof rename);
  int length = ::MultiByteToWideChar(CP_ACP, 0, aside, -1, rename.info.FileName, kFolderPathSize);
  if (length <= 1) return 0;
  rename.info.ReplaceIfExists = TRUE;
  rename.info.FileNameLength = static_cast<DWORD>((length - 1) * sizeof(WCHAR));
  return ::SetFileInformationByHandle(file, FileRenameInfo, &rename, sizeof rename) ? 1 : 0;
}

// Deletes the file open for deletion, and closes it, so that its name goes
// at once, even while a reader (a tail tool) holds it open sharing deletion:
// a name left "delete pending" refuses every open, and every later entry
// would be lost. POSIX semantics do that (Windows 10 1709 and later, NTFS).
// Where they are refused, the file is renamed aside and deleted by its new
// name once closed: Wine deletes a file marked through a handle by the name
// it was opened with, which by then may be another run's new log. 1 when
// the log's name is free.
int deleteAtOnce(HANDLE file, HANDLE folder, const char* name) {
  // FileDispositionInfoEx and FILE_DISPOSITION_INFO_EX with its flags
  // DELETE and POSIX_SEMANTICS, spelled out: the headers give them only to a
  // build that claims Windows 10, which this one does not need.
  const FILE_INFO_BY_HANDLE_CLASS dispositionEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
  DWORD posixFlags = 0x1 | 0x2;
  int deleted = ::SetFileInformationByHandle(file, dispositionEx, &posixFlags, sizeof posixFlags) ? 1 : 0;
  char aside[kFolderPathSize];
  if (!deleted && renameAside(file, folder, name, aside)) {
    ::CloseHandle(file);
    ::DeleteFileA(aside);
    return 1;
  }
  if (!deleted) {
    FILE_DISPOSITION_INFO classic;
    classic.DeleteFile = TRUE;
    deleted = ::SetFileInformationByHandle(file, FileDispositionInfo, &classic, sizeof classic) ? 1 : 0;
  }
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
  char path[kFolderPathSize];
  if (!pathInFolder(folder, name, path, kFolderPathSize)) return 0;
  HANDLE file = ::CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION data;
  if (::GetFileInformationByHandle(file, &data) &&
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
      data.nNumberOfLinks == 1 && (data.nFileSizeHigh != 0 || data.nFileSizeLow > cap) && liesInFolder(file, folder, name))
    return deleteAtOnce(file, folder, name);
  ::CloseHandle(file);
  ::SetLastError(ERROR_SUCCESS);
  return 0;
}

int makeDirectory(const char* path) { return _mkdir(path); }

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

Account accountOf(PSID sid) {
  if (isWellKnownAccount(sid, WinLocalSystemSid)) return kAccountSystem;
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
// A volume that keeps no security gives kept = 0.
int readSecurity(HANDLE object, FileSecurity* security, AccessEntry* entries) {
  *security = {0, kAccountOther, 0, entries, 0};
  if (keepsNoOwners(object)) return 0;
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS)
    return -1;
  security->kept = 1;
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
  return readSecurity(file, &security, entries) == 0 && isTrustedSecurity(security);
}

// A temporary folder that another user owns, or may add files to, may hold
// anything they put there, the log's own name included.
int isPrivateFolder(Handle folder) {
  AccessEntry entries[kMaxAccessEntries];
  FileSecurity security;
  return readSecurity(folder, &security, entries) == 0 && isPrivateFolderSecurity(security);
}

int getInstanceFileInfo(int fd, InstanceFileInfo* info) {
  HANDLE file = osHandleOf(fd);
  BY_HANDLE_FILE_INFORMATION data;
  if (!::GetFileInformationByHandle(file, &data)) return -1;
  info->isRegular = ::GetFileType(file) == FILE_TYPE_DISK &&
                    (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  info->links = data.nNumberOfLinks;
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
  snprintf(text, sizeof text, "%sD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", owner);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

// A new file is created with its own security, never later: no handle
// opened before the rights were set can exist.
HANDLE createLaunchersOwnFile(const char* path, DWORD access, DWORD flags) {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int withOwner = 1; withOwner >= 0; withOwner--) {
    PSECURITY_DESCRIPTOR descriptor = launchersOwnSecurity(withOwner);
    if (descriptor == nullptr) return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    file = ::CreateFileA(path, access, 0, &security, CREATE_NEW, flags, nullptr);
    DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    ::SetLastError(error);
    if (file != INVALID_HANDLE_VALUE || error != ERROR_INVALID_OWNER) break;
  }
  return file;
}

int openFileInFolder(Handle folder, const char* name, int mode) {
  char path[kFolderPathSize];
  if (!pathInFolder(folder, name, path, kFolderPathSize)) return -1;
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
  HANDLE file;
  int descriptorFlags = _O_RDONLY;
  if (mode == kFolderFileCreateNew) {
    file = createLaunchersOwnFile(path, GENERIC_WRITE | READ_CONTROL, flags);
    descriptorFlags = _O_WRONLY;
  } else if (mode == kFolderFileProbe) {
    file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  } else {
    file = ::CreateFileA(path, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, flags, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return -1;
  FILE_ATTRIBUTE_TAG_INFO tag;
  DWORD error = ERROR_SUCCESS;
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) {
    error = ::GetLastError();
  } else if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    error = kErrorReparsePoint;
  } else if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    error = ERROR_DIRECTORY;
  } else if (::GetFileType(file) != FILE_TYPE_DISK) {
    error = ERROR_CANT_ACCESS_FILE;
  } else {
    if (!liesInFolder(file, folder, name)) error = ERROR_CANT_ACCESS_FILE;
  }
  if (error != ERROR_SUCCESS) {
    ::CloseHandle(file);
    ::SetLastError(error);
    return -1;
  }
  return descriptorOf(file, descriptorFlags | _O_TEXT);
}

Handle openFolderAt(Handle parent, const char* name) {
  if (parent != nullptr) {
    char path[kFolderPathSize];
    return pathInFolder(parent, name, path, kFolderPathSize) ? openFolder(path) : nullptr;
  }
  HANDLE folder = ::CreateFileA(name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return folder != INVALID_HANDLE_VALUE ? folder : nullptr;
}

int fileExistsInFolder(Handle folder, const char* name) {
  char path[kFolderPathSize];
  return pathInFolder(folder, name, path, kFolderPathSize) && ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// DeleteFile deletes a link itself, never what it names, and never a folder.
int removeFileInFolder(Handle folder, const char* name) {
  char path[kFolderPathSize];
  return pathInFolder(folder, name, path, kFolderPathSize) && ::DeleteFileA(path) ? 0 : -1;
}

int renameInFolder(Handle folder, const char* from, const char* to) {
  char source[kFolderPathSize];
  char target[kFolderPathSize];
  return pathInFolder(folder, from, source, kFolderPathSize) && pathInFolder(folder, to, target, kFolderPathSize) &&
                 ::MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING)
             ? 0
             : -1;
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
    .truncateLog = truncateLog,
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
};
PLATFORM_OPERATIONS(PLATFORM_CHECK_FILLED)

}  // namespace

Platform os = kHost;

const Platform& hostPlatform() { return kHost; }
