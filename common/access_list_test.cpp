#include "common/access_list.h"

#include "gtest/gtest.h"

namespace {

// Windows access masks as the security editor names them.
const uint32_t kFullControl = 0x001F01FFu;
const uint32_t kRead = 0x00120089u;
const uint32_t kReadAndExecute = 0x001200A9u;
const uint32_t kModify = 0x001301BFu;
// What Users get on C:\Windows\Temp: traverse, create files, create folders.
const uint32_t kTraverseAddFileAddFolder = 0x00100026u;
// Windows entry flags.
const uint32_t kObjectInherit = 0x01u;     // OBJECT_INHERIT_ACE
const uint32_t kContainerInherit = 0x02u;  // CONTAINER_INHERIT_ACE
const uint32_t kInheritOnly = 0x08u;       // INHERIT_ONLY_ACE
const uint32_t kInherited = 0x10u;         // INHERITED_ACE
const uint32_t kFolderInherit = kObjectInherit | kContainerInherit;
static_assert(kInheritOnly == kInheritOnlyEntry, "INHERIT_ONLY_ACE");

// The PID file as start makes it: owned by Administrators (SYSTEM when run
// as SYSTEM), full control for SYSTEM and Administrators, reading for Users
// (an account of its own here: it holds users other than the current one).
const AccessEntry kLaunchersOwn[] = {
    {1, kAccountSystem, kFullControl, 0},
    {1, kAccountAdministrators, kFullControl, 0},
    {1, kAccountOther, kRead, 0},
};

struct Case {
  const char* what;
  FileSecurity security;
  AccessEntry extra;  // appended to kLaunchersOwn when its mask is not 0
  int trusted;
};

// Every administrator's stop reads the same: another administrator is
// "another account", so a file trusted by one is trusted by all only when it
// grants no account of its own a changing right.
TEST(AccessList, TrustsOnlyFilesNoOtherAccountCanChange) {
  const Case cases[] = {
      {"as start writes it", {1, kAccountAdministrators, 1, nullptr, 0}, {0, kAccountOther, 0, 0}, 1},
      {"as start writes it when run as SYSTEM", {1, kAccountSystem, 1, nullptr, 0}, {0, kAccountOther, 0, 0}, 1},
      {"owned by the current user", {1, kAccountCurrentUser, 1, nullptr, 0}, {0, kAccountOther, 0, 0}, 1},
      {"owned by another user", {1, kAccountOther, 1, nullptr, 0}, {0, kAccountOther, 0, 0}, 0},
      {"null access list", {1, kAccountAdministrators, 0, nullptr, 0}, {0, kAccountOther, 0, 0}, 0},
      {"FAT keeps no security", {0, kAccountOther, 0, nullptr, 0}, {0, kAccountOther, 0, 0}, 1},
      {"full control to the current user", {1, kAccountAdministrators, 1, nullptr, 0},
       {1, kAccountCurrentUser, kFullControl, 0}, 1},
      // What an older release wrote, read by another administrator's stop.
      {"full control to the administrator who started it", {1, kAccountAdministrators, 1, nullptr, 0},
       {1, kAccountOther, kFullControl, 0}, 0},
      {"inherited Authenticated Users: Modify", {1, kAccountAdministrators, 1, nullptr, 0},
       {1, kAccountOther, kModify, kInherited}, 0},
      {"inherited SYSTEM: full control", {1, kAccountAdministrators, 1, nullptr, 0},
       {1, kAccountSystem, kFullControl, kInherited}, 1},
      {"CREATOR OWNER: full control", {1, kAccountAdministrators, 1, nullptr, 0},
       {1, kAccountCreatorOwner, kFullControl, 0}, 1},
      {"another account may append", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x4, 0}, 0},
      {"another account may delete", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x10000, 0}, 0},
      {"another account may change the list", {1, kAccountAdministrators, 1, nullptr, 0},
       {1, kAccountOther, 0x40000, 0}, 0},
      {"another account may take ownership", {1, kAccountAdministrators, 1, nullptr, 0},
       {1, kAccountOther, 0x80000, 0}, 0},
      {"generic write", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x40000000, 0}, 0},
      {"generic all", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x10000000, 0}, 0},
      {"denied, not allowed, to another account", {1, kAccountAdministrators, 1, nullptr, 0},
       {0, kAccountOther, kFullControl, 0}, 1},
      {"write attributes alone", {1, kAccountAdministrators, 1, nullptr, 0}, {1, kAccountOther, 0x100, 0}, 1},
      {"owned by TrustedInstaller", {1, kAccountTrustedInstaller, 1, nullptr, 0}, {0, kAccountOther, 0, 0}, 1},
      {"inherited TrustedInstaller: full control", {1, kAccountAdministrators, 1, nullptr, 0},
       {1, kAccountTrustedInstaller, kFullControl, kInherited}, 1},
  };
  for (const Case& c : cases) {
    AccessEntry entries[4];
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

struct FolderCase {
  const char* what;
  int kept;
  Account owner;
  AccessEntry entries[5];  // up to the first whose mask is 0
  int isPrivate;
};

// The temporary folder, and the logs folder in it, as Windows sets them up
// and as another user may have changed them.
TEST(AccessList, FolderIsPrivateOnlyWhenNoOtherAccountMayAddWriteOrDelete) {
  const FolderCase cases[] = {
      {"the user's own %TEMP%",
       1,
       kAccountCurrentUser,
       {{1, kAccountSystem, kFullControl, kInherited | kFolderInherit},
        {1, kAccountAdministrators, kFullControl, kInherited | kFolderInherit},
        {1, kAccountCurrentUser, kFullControl, kInherited | kFolderInherit}},
       1},
      {"C:\\Windows\\Temp: Users may add files and folders",
       1,
       kAccountSystem,
       {{1, kAccountCreatorOwner, kFullControl, kFolderInherit | kInheritOnly},
        {1, kAccountSystem, kFullControl, kFolderInherit},
        {1, kAccountAdministrators, kFullControl, kFolderInherit},
        {1, kAccountOther, kTraverseAddFileAddFolder, kContainerInherit}},
       0},
      {"inherited Authenticated Users: Modify",
       1,
       kAccountAdministrators,
       {{1, kAccountSystem, kFullControl, kInherited}, {1, kAccountOther, kModify, kInherited | kFolderInherit}},
       0},
      {"CREATOR OWNER: full control, inherit-only",
       1,
       kAccountCurrentUser,
       {{1, kAccountCurrentUser, kFullControl, 0}, {1, kAccountCreatorOwner, kFullControl, kFolderInherit | kInheritOnly}},
       1},
      {"Users may add files only in what the folder holds (inherit-only)",
       1,
       kAccountCurrentUser,
       {{1, kAccountCurrentUser, kFullControl, 0}, {1, kAccountOther, kModify, kFolderInherit | kInheritOnly}},
       1},
      {"Users may read and list",
       1,
       kAccountAdministrators,
       {{1, kAccountAdministrators, kFullControl, 0}, {1, kAccountOther, kReadAndExecute, kFolderInherit}},
       1},
      {"another account may delete what it holds (FILE_DELETE_CHILD)",
       1,
       kAccountCurrentUser,
       {{1, kAccountCurrentUser, kFullControl, 0}, {1, kAccountOther, 0x40, 0}},
       0},
      {"another account denied writing, allowed nothing",
       1,
       kAccountCurrentUser,
       {{0, kAccountOther, kModify, 0}, {1, kAccountCurrentUser, kFullControl, 0}},
       1},
      {"a deny entry before another account's Modify",
       1,
       kAccountCurrentUser,
       {{0, kAccountOther, 0x2, 0}, {1, kAccountOther, kModify, 0}},
       0},
      {"owned by another user (a logs folder made first)",
       1,
       kAccountOther,
       {{1, kAccountCurrentUser, kFullControl, 0}},
       0},
      {"FAT keeps no security", 0, kAccountOther, {}, 1},
      // icacls "C:\Program Files\<app>\logs" after an installer made it:
      // TrustedInstaller's full control comes down from Program Files.
      {"C:\\Program Files\\<app>\\logs: TrustedInstaller, SYSTEM and Administrators full, Users read",
       1,
       kAccountAdministrators,
       {{1, kAccountTrustedInstaller, kFullControl, kInherited},
        {1, kAccountSystem, kFullControl, kInherited},
        {1, kAccountAdministrators, kFullControl, kInherited},
        {1, kAccountOther, kReadAndExecute, kInherited},
        {1, kAccountCreatorOwner, kFullControl, kInherited | kFolderInherit | kInheritOnly}},
       1},
      // icacls "C:\ProgramData\<app>\logs": Users (CI)(WD,AD,WEA,WA).
      {"C:\\ProgramData\\<app>\\logs: Users may add files and folders",
       1,
       kAccountAdministrators,
       {{1, kAccountSystem, kFullControl, kInherited | kFolderInherit},
        {1, kAccountAdministrators, kFullControl, kInherited | kFolderInherit},
        {1, kAccountOther, kReadAndExecute, kInherited | kFolderInherit},
        {1, kAccountOther, 0x00000116u, kInherited | kContainerInherit}},
       0},
      // icacls C:\Windows\System32: owner TrustedInstaller; SYSTEM and
      // Administrators modify; Users read and execute.
      {"C:\\Windows\\System32",
       1,
       kAccountTrustedInstaller,
       {{1, kAccountTrustedInstaller, kFullControl, 0},
        {1, kAccountSystem, kModify, 0},
        {1, kAccountAdministrators, kModify, 0},
        {1, kAccountOther, kReadAndExecute, 0}},
       1},
  };
  for (const FolderCase& c : cases) {
    int count = 0;
    while (count < 5 && c.entries[count].mask != 0) count++;
    FileSecurity security = {c.kept, c.owner, 1, c.entries, count};
    EXPECT_EQ(isPrivateFolderSecurity(security), c.isPrivate) << c.what;
  }
  FileSecurity nullList = {1, kAccountCurrentUser, 0, nullptr, 0};
  EXPECT_EQ(isPrivateFolderSecurity(nullList), 0) << "null access list";
}

}  // namespace
