// The rule by which a file's owner and access list are trusted.
#include "common/access_list.h"

int isTrustedSecurity(const FileSecurity& security) {
  if (!security.kept) return 1;
  if (security.owner == kAccountOther || !security.hasAccessList) return 0;
  for (int i = 0; i < security.entryCount; i++) {
    const AccessEntry& entry = security.entries[i];
    if (entry.allows && entry.account == kAccountOther && (entry.mask & kChangingRights) != 0) return 0;
  }
  return 1;
}
