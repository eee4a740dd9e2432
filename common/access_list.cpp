// The rules by which a file's or folder's owner and access list are trusted.
#include "common/access_list.h"

namespace {

// Deny entries are ignored: one that is ordered after an allow entry does
// not take back what that one grants, so only the allow entries can show
// that no one else may change the object.
int leavesRightsToOwnAccounts(const FileSecurity& security, uint32_t rights) {
  if (!security.kept) return 1;
  if (!isOwnAccount(security.owner) || !security.hasAccessList) return 0;
  for (int i = 0; i < security.entryCount; i++) {
    const AccessEntry& entry = security.entries[i];
    if (!entry.allows || (entry.flags & kInheritOnlyEntry) != 0) continue;
    if (entry.account == kAccountOther && (entry.mask & rights) != 0) return 0;
  }
  return 1;
}

}  // namespace

int isOwnAccount(Account account) {
  return account == kAccountSystem || account == kAccountTrustedInstaller || account == kAccountAdministrators ||
         account == kAccountCurrentUser;
}

int isTrustedSecurity(const FileSecurity& security) { return leavesRightsToOwnAccounts(security, kChangingRights); }

int isPrivateFolderSecurity(const FileSecurity& security) {
  return leavesRightsToOwnAccounts(security, kFolderChangingRights);
}
