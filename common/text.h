// Heap copies of text.
#pragma once

// A heap copy of text (the runtime's strdup), or null when none can be made;
// the caller releases it with free.
char* duplicateString(const char* text);
