#include "common/reparse_tag.h"

#include "gtest/gtest.h"

namespace {

struct TagCase {
  const char* name;  // the Windows constant
  uint32_t tag;
  int isLink;  // 1: refused as a link; 0: opened as an ordinary file or folder
};

TEST(ReparseTag, OnlyNameSurrogatesAreLinks) {
  const TagCase cases[] = {
      {"IO_REPARSE_TAG_SYMLINK", 0xA000000Cu, 1},
      {"IO_REPARSE_TAG_MOUNT_POINT (junction, mounted volume)", 0xA0000003u, 1},
      {"IO_REPARSE_TAG_LX_SYMLINK (WSL symbolic link)", 0xA000001Du, 1},
      {"IO_REPARSE_TAG_CLOUD (synced folder placeholder)", 0x9000001Au, 0},
      {"IO_REPARSE_TAG_CLOUD_3", 0x9000301Au, 0},
      {"IO_REPARSE_TAG_CLOUD_F", 0x9000F01Au, 0},
      {"IO_REPARSE_TAG_DEDUP", 0x80000013u, 0},
      {"IO_REPARSE_TAG_WOF (compressed system file)", 0x80000017u, 0},
      {"IO_REPARSE_TAG_APPEXECLINK (app execution alias)", 0x8000001Bu, 0},
      {"IO_REPARSE_TAG_HSM", 0xC0000004u, 0},
      {"IO_REPARSE_TAG_AF_UNIX (socket)", 0x80000023u, 0},
  };
  for (const TagCase& c : cases) EXPECT_EQ(isLinkReparseTag(c.tag), c.isLink) << c.name;
}

}  // namespace
