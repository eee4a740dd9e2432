// Which reparse points the launcher refuses as links: kept apart from the
// calls that read a tag, so that the rule reads (and is tested) as a table
// of real tag values, which Wine cannot make.
#pragma once

#include <cstdint>

// 1 when a reparse point with this tag stands for another name (a symbolic
// link, a junction or mount point): such a name is never followed. Every
// other tag (cloud-file placeholders, deduplicated or compressed files, app
// execution aliases) marks an ordinary file or folder that a filter serves.
int isLinkReparseTag(uint32_t tag);
