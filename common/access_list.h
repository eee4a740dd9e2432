// Whether an owner and access list leave a file or folder to the launcher's
// own accounts: the rules by which an elevated stop trusts a PID file and a
// run trusts a place for its log on Windows, kept apart from the calls that
// read them so that they read (and are tested) as tables of real entries.
#pragma once

#include <cstdint>

// Whose an owner or an access entry is. CREATOR OWNER stands in entries
// that folders pass on to what is made in them; on the object itself it
// matches no one. TrustedInstaller (NT SERVICE\TrustedInstaller,
// S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464) is the
// system's own servicing account: it owns C:\Windows\System32 and holds
// full control of what installers put under C:\Program Files.
enum Account {
  kAccountSystem,
  kAccountAdministrators,
  kAccountCurrentUser,
  kAccountTrustedInstaller,
  kAccountCreatorOwner,
  kAccountOther
};

struct AccessEntry {
  int allows;  // 0 for an entry that denies
  Account account;
  uint32_t mask;   // the Windows access mask
  uint32_t flags;  // the Windows entry flags (kInheritOnlyEntry, ...)
};

// INHERIT_ONLY_ACE: the entry is only passed on to what the folder holds
// and grants nothing on the object itself.
const uint32_t kInheritOnlyEntry = 0x08u;

struct FileSecurity {
  int kept;  // 0 where the volume keeps no owners or access lists (FAT)
  Account owner;
  int hasAccessList;  // 0 for a null access list, which lets everyone in
  const AccessEntry* entries;
  int entryCount;
};

// The rights that let an account change what a file says or who may: write
// or append data, delete it, change its access list or owner, and the
// generic rights that include them.
const uint32_t kChangingRights = 0x00000002u | 0x00000004u | 0x00010000u | 0x00040000u | 0x00080000u |
                                 0x40000000u | 0x10000000u;
// The same for a folder: add a file (the bit of writing data) or a
// subfolder (that of appending), delete what it holds (FILE_DELETE_CHILD),
// and the rest as for a file.
const uint32_t kFolderChangingRights = kChangingRights | 0x00000040u;

// 1 for the accounts an elevated run trusts as its own: SYSTEM,
// TrustedInstaller, Administrators and the current user.
int isOwnAccount(Account account);

// 1 when the file is owned by one of its own accounts (isOwnAccount) and
// no entry allows another account any of kChangingRights; a volume that
// keeps no security is trusted, since there any user may write anyway.
int isTrustedSecurity(const FileSecurity& security);

// 1 when a folder is private to the launcher's accounts: owned as a trusted
// file is, and no entry allows another account any of kFolderChangingRights
// on the folder itself. A volume that keeps no security passes, as above.
int isPrivateFolderSecurity(const FileSecurity& security);
