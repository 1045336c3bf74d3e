// The line filter of a thread's copy, applied to a block of lines in place:
// a line of two bytes or more stays, ended by LF alone (CR LF reads as LF) and
// cut at its first NUL; a shorter line goes. The first line kept gives the
// title.
#pragma once

#include "thread/thread.h"

// Filters [begin, end), a block of whole lines of which only the last may lack
// its LF, and packs what is kept from `begin` on; gives the end of what was
// kept. Adds the kept lines to the post count and takes the title from the
// first post. Stops after a first line whose title is too long, which
// `brokenTitle` then says. The byte at `end` must be writable: a last line
// without LF gets its LF there.
char* KeepLines(char* begin, char* end, ThreadSummary& summary, bool& brokenTitle);
