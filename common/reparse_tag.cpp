// Tells a link (any reparse point that names another file or folder) from
// the other reparse points, for every check of a file or folder opened.
#include "common/reparse_tag.h"

// Windows marks every tag that names another file or folder with the
// name-surrogate bit (IsReparseTagNameSurrogate).
int isLinkReparseTag(uint32_t tag) {
  const uint32_t kNameSurrogateBit = 0x20000000u;
  return (tag & kNameSurrogateBit) != 0 ? 1 : 0;
}
