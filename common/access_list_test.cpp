#include "common/access_list.h"

#include "gtest/gtest.h"

namespace {

const uint32_t kFullControl = 0x001F01FFu;
const uint32_t kRead = 0x00120089u;
const uint32_t kModify = 0x001301BFu;

const AccessEntry kLaunchersOwn[] = {
    {1, kAccountSystem, kFullControl},
    {1, kAccountAdministrators, kFullControl},
    {1, kAccountCurrentUser, kFullControl},
    {1, kAccountOther, kRead},  // Users
};

struct Case {
  const char* what;
  FileSecurity security;
  AccessEntry extra;  // appended to kLaunchersOwn when its mask is not 0
  int trusted;
};

TEST(AccessList, TrustsOnlyFilesNoOtherAccountCanChange) {
  const Case cases[] = {
      {"as start writes it", {1, kAccountAdministrators, 1, nullptr, 0}, {0, kAccountOther, 0}, 1},
      {"owned by SYSTEM", {1, kAccountSystem, 1, nullptr, 0}, {0, kAccountOther, 0}, 1},
      {"owned by the current user", {1, kAccountCurrentUser, 1, nullptr, 0}, {0, kAccountOther, 0}, 1},
      {"owned by another user", {1, kAccountOther, 1, nullptr, 0}, {0, kAccountOther, 0}, 0},
      {"null access list", {1, kAccountAdministrators, 0, nullptr, 0}, {0, kAccountOther, 0}, 0},
      {"FAT keeps no security", {0, kAccountOther, 0, nullptr, 0}, {0, kAccountOther, 0}, 1},
      {"inherited Authenticated Users: Modify", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, kModify}, 0},
      {"another account may append", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x4}, 0},
      {"another account may delete", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x10000}, 0},
      {"another account may change the list", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x40000}, 0},
      {"another account may take ownership", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x80000}, 0},
      {"generic write", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x40000000}, 0},
      {"generic all", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x10000000}, 0},
      {"denied, not allowed, to another account", {1, kAccountAdministrators, 1, nullptr, 0}, {0, kAccountOther, kFullControl}, 1},
      {"write attributes alone", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x100}, 1},
  };
  for (const Case& c : cases) {
    AccessEntry entries[5];
    int count = 0;
    for (const AccessEntry& entry : kLaunchersOwn) entries[count++] = entry;
    if (c.extra.mask != 0) entries[count++] = c.extra;
    FileSecurity security = c.security;
    if (security.kept) {
      security.entries = entries;
      security.entryCount = count;
    }
    EXPECT_EQ(isTrustedSecurity(security), c.trusted) << c.what;
  }
}

}  // namespace
