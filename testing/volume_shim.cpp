// launcher-shim.exe's answers to the calls whose answers differ by volume
// and folder, so that the real platform-win32.cpp runs under Wine against
// what Windows answers on FAT32, exFAT, an SMB share and the folders
// Windows ships. Wine answers them alike on every Unix file system.
//
// A test chooses a personality by a folder name in the path: the folder
// named by a marker (below), and everything below it, is answered as that
// volume or folder. Every other call, and every other path, gets Wine's
// own answer. LAUNCHER_SHIM_SERVER_CLOCK (seconds, signed) sets how far an
// SMB server's clock is ahead of the client's.
#define VOLUME_SHIM_IMPLEMENTATION
#include "testing/volume_shim.h"

#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <winternl.h>

namespace {

enum Volume { kNtfs, kFat32, kExFat, kSmb };

// TrustedInstaller's SID; SDDL has no alias for it.
#define TI "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"

struct Personality {
  const wchar_t* marker;
  Volume volume;
  // SDDL of the marked folder itself and of a folder made in it that takes
  // what it inherits ({U} stands for the user); null: Wine's own answer.
  const char* folder;
  const char* subfolder;
};

const Personality kPersonalities[] = {
    // Volumes without owners or access lists, without reparse points, and
    // without POSIX-semantics rename or delete.
    {L"@fat32", kFat32, nullptr, nullptr},
    {L"@exfat", kExFat, nullptr, nullptr},
    // A share of an NTFS folder: the server's owners and lists (Wine's own
    // answer stands in for them), the server's clock.
    {L"@smb", kSmb, nullptr, nullptr},
    // %LOCALAPPDATA%\Temp: inherited from the profile, SYSTEM, Administrators
    // and the user only (icacls "%LOCALAPPDATA%\Temp").
    {L"@user-temp", kNtfs, "O:{U}D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;{U})",
     "O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;{U})"},
    // C:\Windows\Temp (icacls C:\Windows\Temp): BUILTIN\Users:(CI)(S,WD,AD,X),
    // Administrators and SYSTEM (F) and (OI)(CI)(IO)(F), CREATOR
    // OWNER:(OI)(CI)(IO)(F); nothing inherited. A folder made there without
    // a list of its own inherits Users' right to add files and folders.
    {L"@windows-temp", kNtfs,
     "O:SYD:P(A;CI;0x100026;;;BU)(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;OICIIO;GA;;;CO)",
     "O:BAD:(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;CIID;0x100026;;;BU)"},
    // C:\Windows\SystemTemp, GetTempPath2A's folder for SYSTEM, "which is
    // inaccessible to non-SYSTEM processes", ACLed so that "only SYSTEM
    // processes/Administrators" have access (GetTempPath2A,
    // learn.microsoft.com): SYSTEM and Administrators only.
    {L"@system-temp", kNtfs, "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
     "O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)"},
    // C:\Program Files\<app> and its logs folder as an installer makes them
    // (icacls "C:\Program Files\<app>"): everything inherited from Program
    // Files, TrustedInstaller (I)(F) and (I)(CI)(IO)(F), SYSTEM and
    // Administrators (I)(F), Users and ALL APPLICATION PACKAGES (I)(RX),
    // CREATOR OWNER (I)(OI)(CI)(IO)(F); owned by Administrators.
    {L"@program-files", kNtfs,
     "O:BAD:(A;ID;FA;;;" TI ")(A;CIIOID;GA;;;" TI ")(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)"
     "(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)(A;ID;0x1200a9;;;AC)"
     "(A;OICIIOID;GXGR;;;AC)",
     "O:BAD:(A;ID;FA;;;" TI ")(A;CIIOID;GA;;;" TI ")(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)"
     "(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)(A;ID;0x1200a9;;;AC)"
     "(A;OICIIOID;GXGR;;;AC)"},
    // C:\ProgramData\<app> and what is made in it (icacls C:\ProgramData):
    // SYSTEM and Administrators (OI)(CI)(F), CREATOR OWNER (OI)(CI)(IO)(F),
    // Users (OI)(CI)(RX) and (CI)(WD,AD,WEA,WA): any user may add files
    // and folders; all inherited.
    {L"@program-data", kNtfs,
     "O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)(A;CIID;0x116;;;BU)",
     "O:BAD:(A;ID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)"
     "(A;CIID;0x116;;;BU)"},
    // C:\Windows\System32, a scheduled task's current directory when it
    // sets none (icacls C:\Windows\System32): owned by TrustedInstaller,
    // which has (F); SYSTEM and Administrators (M); Users (RX).
    {L"@system32", kNtfs,
     "O:" TI "D:P(A;;FA;;;" TI ")(A;CIIO;GA;;;" TI ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)"
     "(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)"
     "(A;OICIIO;GXGR;;;AC)",
     nullptr},
};

const int kPathChars = 1024;

// The personality of a path, from the last marker in it; depth counts the
// names below the marked folder. Null where the path holds no marker.
const Personality* personalityOfPath(const wchar_t* path, int* depth) {
  const Personality* found = nullptr;
  const wchar_t* name = path;
  for (const wchar_t* at = path;; at++) {
    if (*at != L'\\' && *at != L'/' && *at != L'\0') continue;
    size_t length = static_cast<size_t>(at - name);
    if (length > 0) {
      *depth += 1;
      for (const Personality& personality : kPersonalities) {
        if (wcslen(personality.marker) == length && _wcsnicmp(name, personality.marker, length) == 0) {
          found = &personality;
          *depth = 0;
        }
      }
    }
    if (*at == L'\0') break;
    name = at + 1;
  }
  return found;
}

const Personality* personalityOf(HANDLE file, int* depth, wchar_t* path) {
  *depth = 0;
  DWORD length = ::GetFinalPathNameByHandleW(file, path, kPathChars, 0);
  if (length == 0 || length >= static_cast<DWORD>(kPathChars)) return nullptr;
  return personalityOfPath(path, depth);
}

int isFat(const Personality* personality) {
  return personality != nullptr && (personality->volume == kFat32 || personality->volume == kExFat);
}

int isFolder(HANDLE file) {
  FILE_BASIC_INFO basic;
  return ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
         (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Where a folder made with a list of its own keeps that list: Wine keeps
// none (it derives a list from the Unix mode), NTFS would keep it.
void sidecarOf(const wchar_t* folder, wchar_t* sidecar) { _snwprintf(sidecar, kPathChars, L"%ls.shim-acl", folder); }

// The descriptor Windows would give, as SDDL; 0 where Wine's own stands.
int playedText(HANDLE object, char* text, size_t size) {
  int depth = 0;
  wchar_t path[kPathChars];
  const Personality* personality = personalityOf(object, &depth, path);
  if (personality == nullptr) return 0;
  // A file system that keeps no security answers "invalid device request"
  // to the query ([MS-FSA] 2.1.5.13: "If the object store does not
  // implement security, the operation MUST be failed with
  // STATUS_INVALID_DEVICE_REQUEST"; the fastfat sample has no
  // IRP_MJ_QUERY_SECURITY dispatch), and the I/O manager then answers with
  // a descriptor that gives the world everything: owned by Everyone, and
  // one entry allowing Everyone GENERIC_ALL.
  if (isFat(personality)) return snprintf(text, size, "O:WDG:WDD:(A;;GA;;;WD)") > 0;
  const char* played = depth == 0 ? personality->folder : isFolder(object) ? personality->subfolder : nullptr;
  char given[512] = "";
  if (depth > 0 && played != nullptr) {
    wchar_t sidecar[kPathChars];
    sidecarOf(path, sidecar);
    HANDLE file = ::CreateFileW(sidecar, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD read = 0;
    if (file != INVALID_HANDLE_VALUE && ::ReadFile(file, given, sizeof given - 1, &read, nullptr)) {
      given[read] = '\0';
      played = given;
    }
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
  if (played == nullptr) return 0;
  // {U}: the user the run's token names.
  char user[200] = "";
  HANDLE token = nullptr;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD needed = 0;
  char* userText = nullptr;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
      ::GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &needed) &&
      ::ConvertSidToStringSidA(buffer.user.User.Sid, &userText)) {
    snprintf(user, sizeof user, "%s", userText);
    ::LocalFree(userText);
  }
  if (token != nullptr) ::CloseHandle(token);
  size_t n = 0;
  for (const char* at = played; *at != '\0' && n + 1 < size; at++) {
    if (strncmp(at, "{U}", 3) == 0) {
      n += static_cast<size_t>(snprintf(text + n, size - n, "%s", user));
      at += 2;
    } else {
      text[n++] = *at;
    }
  }
  text[n < size ? n : size - 1] = '\0';
  return 1;
}

PSECURITY_DESCRIPTOR playedDescriptor(HANDLE object) {
  char text[2048];
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!playedText(object, text, sizeof text) ||
      !::ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

// NTSTATUS values as the kernel returns them.
const NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000Du);
const NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBu);
// NtSetInformationFile's classes that ask for POSIX semantics.
const ULONG kFileDispositionInformationEx = 64;
const ULONG kFileRenameInformationEx = 65;

typedef NTSTATUS(NTAPI* SetInformationCall)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
SetInformationCall realSetInformationFile = nullptr;

NTSTATUS NTAPI shimNtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                        ULONG type) {
  int depth = 0;
  wchar_t path[kPathChars];
  const Personality* personality = personalityOf(file, &depth, path);
  if (personality != nullptr && personality->volume != kNtfs &&
      (type == kFileDispositionInformationEx || type == kFileRenameInformationEx)) {
    // FAT32 and exFAT: STATUS_INVALID_PARAMETER, the fastfat sample's answer
    // to a class it has no case for (github.com/ziglang/zig/issues/16497 for
    // the disposition, github.com/swiftlang/swift-foundation/pull/1926 for
    // the rename on exFAT). An SMB share: the classes are not among those a
    // SET_INFO may carry ([MS-SMB2] 2.2.39), which "SHOULD be failed with
    // STATUS_NOT_SUPPORTED" ([MS-SMB2] 3.3.5.21.1).
    NTSTATUS status = personality->volume == kSmb ? kStatusNotSupported : kStatusInvalidParameter;
    if (io != nullptr) {
      io->Status = status;
      io->Information = 0;
    }
    return status;
  }
  return realSetInformationFile(file, io, information, length, type);
}

// How far the SMB server's clock is ahead of this client's, in 100 ns.
LONGLONG serverClockAhead() {
  const char* seconds = getenv("LAUNCHER_SHIM_SERVER_CLOCK");
  return seconds != nullptr ? static_cast<LONGLONG>(strtol(seconds, nullptr, 10)) * 10000000LL : 0;
}

void shiftTime(LPFILETIME time, LONGLONG by) {
  if (time == nullptr) return;
  ULARGE_INTEGER value;
  value.LowPart = time->dwLowDateTime;
  value.HighPart = time->dwHighDateTime;
  value.QuadPart += static_cast<ULONGLONG>(by);
  time->dwLowDateTime = value.LowPart;
  time->dwHighDateTime = value.HighPart;
}

}  // namespace

BOOL WINAPI shimGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID buffer, DWORD size) {
  int depth = 0;
  wchar_t path[kPathChars];
  if (type == FileAttributeTagInfo && isFat(personalityOf(file, &depth, path))) {
    // The I/O manager checks the size first; FAT32 and exFAT then refuse the
    // class: STATUS_INVALID_PARAMETER, error 87 (the fastfat sample's query
    // has no case for FileAttributeTagInformation;
    // github.com/microsoft/STL/pull/2373 on FAT32,
    // github.com/winfsp/winfsp/issues/661 on exFAT and FAT32).
    ::SetLastError(size < sizeof(FILE_ATTRIBUTE_TAG_INFO) ? ERROR_BAD_LENGTH : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ::GetFileInformationByHandleEx(file, type, buffer, size);
}

DWORD WINAPI shimGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner,
                                 PSID* group, PACL* list, PACL* auditList, PSECURITY_DESCRIPTOR* descriptor) {
  PSECURITY_DESCRIPTOR played = descriptor != nullptr ? playedDescriptor(object) : nullptr;
  if (played == nullptr) return ::GetSecurityInfo(object, type, which, owner, group, list, auditList, descriptor);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  if (owner != nullptr) ::GetSecurityDescriptorOwner(played, owner, &defaulted);
  if (group != nullptr) ::GetSecurityDescriptorGroup(played, group, &defaulted);
  if (list != nullptr) ::GetSecurityDescriptorDacl(played, &present, list, &defaulted);
  if (auditList != nullptr) *auditList = nullptr;
  *descriptor = played;
  return ERROR_SUCCESS;
}

BOOL WINAPI shimGetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION which, PSECURITY_DESCRIPTOR descriptor,
                                        DWORD size, LPDWORD needed) {
  PSECURITY_DESCRIPTOR played = playedDescriptor(object);
  if (played == nullptr) return ::GetKernelObjectSecurity(object, which, descriptor, size, needed);
  // Only the parts asked for, in self-relative form; a buffer too small
  // gets ERROR_INSUFFICIENT_BUFFER and the size needed.
  SECURITY_DESCRIPTOR parts;
  ::InitializeSecurityDescriptor(&parts, SECURITY_DESCRIPTOR_REVISION);
  PSID sid = nullptr;
  PACL list = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  if ((which & OWNER_SECURITY_INFORMATION) && ::GetSecurityDescriptorOwner(played, &sid, &defaulted))
    ::SetSecurityDescriptorOwner(&parts, sid, FALSE);
  if ((which & DACL_SECURITY_INFORMATION) && ::GetSecurityDescriptorDacl(played, &present, &list, &defaulted))
    ::SetSecurityDescriptorDacl(&parts, present, list, FALSE);
  DWORD length = size;
  BOOL made = ::MakeSelfRelativeSD(&parts, descriptor, &length);
  DWORD error = ::GetLastError();
  *needed = length;
  ::LocalFree(played);
  ::SetLastError(error);
  return made;
}

BOOL WINAPI shimGetVolumeInformationByHandleW(HANDLE file, LPWSTR name, DWORD nameSize, LPDWORD serial,
                                              LPDWORD componentLength, LPDWORD flags, LPWSTR fileSystem,
                                              DWORD fileSystemSize) {
  BOOL answered = ::GetVolumeInformationByHandleW(file, name, nameSize, serial, componentLength, flags, fileSystem,
                                                  fileSystemSize);
  int depth = 0;
  wchar_t path[kPathChars];
  const Personality* personality = personalityOf(file, &depth, path);
  if (!answered || personality == nullptr) return answered;
  // The flags of FILE_FS_ATTRIBUTE_INFORMATION ([MS-FSCC] 2.5.1): the
  // fastfat sample sets FILE_CASE_PRESERVED_NAMES and FILE_UNICODE_ON_DISK
  // alone; NTFS (an SMB share's server included) keeps access lists too.
  const DWORD kFat = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  const DWORD kNtfsFlags = kFat | FILE_CASE_SENSITIVE_SEARCH | FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION |
                           FILE_VOLUME_QUOTAS | FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS |
                           FILE_SUPPORTS_OBJECT_IDS | FILE_SUPPORTS_ENCRYPTION | FILE_NAMED_STREAMS |
                           FILE_SUPPORTS_HARD_LINKS | FILE_SUPPORTS_EXTENDED_ATTRIBUTES;
  if (flags != nullptr) *flags = isFat(personality) ? kFat : kNtfsFlags;
  if (componentLength != nullptr) *componentLength = 255;
  const wchar_t* system = personality->volume == kFat32 ? L"FAT32" : personality->volume == kExFat ? L"exFAT" : L"NTFS";
  if (fileSystem != nullptr && fileSystemSize > wcslen(system)) wcscpy(fileSystem, system);
  return TRUE;
}

// An SMB server's file system stamps the times with the server's clock
// unless the client sets them ([MS-FSA]: the object store updates
// LastWriteTime from its own system time on a write): what the client reads
// is off by the difference of the clocks.
BOOL WINAPI shimGetFileTime(HANDLE file, LPFILETIME created, LPFILETIME accessed, LPFILETIME written) {
  if (!::GetFileTime(file, created, accessed, written)) return FALSE;
  int depth = 0;
  wchar_t path[kPathChars];
  const Personality* personality = personalityOf(file, &depth, path);
  if (personality != nullptr && personality->volume == kSmb) {
    LONGLONG ahead = serverClockAhead();
    shiftTime(created, ahead);
    shiftTime(accessed, ahead);
    shiftTime(written, ahead);
  }
  return TRUE;
}

// A time the client sets is stored as given ([MS-SMB2] 2.2.39 carries it
// in FILE_BASIC_INFORMATION; [MS-FSA] 2.1.5.15.2 stores a nonzero time
// unchanged): it reads back the same whatever the server's clock. Kept here
// less the clock's lead, which shimGetFileTime adds back.
BOOL WINAPI shimSetFileTime(HANDLE file, const FILETIME* created, const FILETIME* accessed, const FILETIME* written) {
  int depth = 0;
  wchar_t path[kPathChars];
  const Personality* personality = personalityOf(file, &depth, path);
  if (personality == nullptr || personality->volume != kSmb) return ::SetFileTime(file, created, accessed, written);
  LONGLONG behind = -serverClockAhead();
  FILETIME times[3];
  const FILETIME* given[3] = {created, accessed, written};
  for (int i = 0; i < 3; i++) {
    if (given[i] == nullptr) continue;
    times[i] = *given[i];
    shiftTime(&times[i], behind);
  }
  return ::SetFileTime(file, created != nullptr ? &times[0] : nullptr, accessed != nullptr ? &times[1] : nullptr,
                       written != nullptr ? &times[2] : nullptr);
}

// NTFS keeps the list a folder is made with; Wine does not, so it is kept
// beside the folder for playedText (under a marked folder only).
BOOL WINAPI shimCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  if (!::CreateDirectoryA(path, security)) return FALSE;
  wchar_t wide[kPathChars];
  int depth = 0;
  if (security == nullptr || security->lpSecurityDescriptor == nullptr ||
      ::MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kPathChars) <= 0 || personalityOfPath(wide, &depth) == nullptr ||
      isFat(personalityOfPath(wide, &depth)))
    return TRUE;
  char* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorA(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
    return TRUE;
  // The owner is the creator's default one: Administrators for an elevated
  // administrator.
  char played[1024];
  int length = snprintf(played, sizeof played, "O:BA%s", text);
  ::LocalFree(text);
  wchar_t sidecar[kPathChars];
  sidecarOf(wide, sidecar);
  HANDLE file = ::CreateFileW(sidecar, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  if (file != INVALID_HANDLE_VALUE) {
    ::WriteFile(file, played, static_cast<DWORD>(length), &written, nullptr);
    ::CloseHandle(file);
  }
  ::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

FARPROC WINAPI shimGetProcAddress(HMODULE module, LPCSTR name) {
  FARPROC real = ::GetProcAddress(module, name);
  if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) == 0) return real;
  // LAUNCHER_SHIM_NO_TEMPPATH2: a system without GetTempPath2A (Windows 10
  // before the updates of March 2025, Windows 8.1, Windows 7).
  if (strcmp(name, "GetTempPath2A") == 0 && getenv("LAUNCHER_SHIM_NO_TEMPPATH2") != nullptr) return nullptr;
  if (strcmp(name, "NtSetInformationFile") != 0 || real == nullptr) return real;
  realSetInformationFile = reinterpret_cast<SetInformationCall>(reinterpret_cast<void*>(real));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(shimNtSetInformationFile));
}
