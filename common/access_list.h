// Whether a file's owner and access list leave it to the launcher's own
// accounts: the rule by which an elevated stop trusts a PID file on Windows,
// kept apart from the calls that read them so that it reads as a table.
#pragma once

#include <cstdint>

// Whose an owner or an access entry is.
enum Account { kAccountSystem, kAccountAdministrators, kAccountCurrentUser, kAccountOther };

struct AccessEntry {
  int allows;  // 0 for an entry that denies
  Account account;
  uint32_t mask;  // the Windows access mask
};

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

// 1 when the file is owned by SYSTEM, Administrators or the current user and
// no entry allows another account any of kChangingRights; a volume that
// keeps no security is trusted, since there any user may write anyway.
int isTrustedSecurity(const FileSecurity& security);
