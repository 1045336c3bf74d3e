// The line filter of a thread's copy, applied to a block of lines in place:
// a line of two bytes or more stays, ended by LF alone (CR LF reads as LF) and
// cut at its first NUL; a shorter line goes. The first line kept gives the
// title. There are two ways of doing it, which give the same bytes: line by
// line, on any processor, and 64 bytes at a time, on an x86-64 processor that
// packs bytes under a mask (AVX-512 VBMI2).
#pragma once

#include "thread/thread.h"

enum class LineFilter { OneByOne, Wide };

// True when this processor can run the filter.
bool LineFilterRuns(LineFilter filter);
// The quickest filter this processor runs, found once.
LineFilter QuickestLineFilter();

// Filters [begin, end), a block of whole lines of which only the last may lack
// its LF, and packs what is kept from `begin` on; gives the end of what was
// kept. Adds the kept lines to the post count and takes the title from the
// first post. Stops after a first line whose title is too long, which
// `brokenTitle` then says. At least 64 bytes past `end` must be readable.
char* KeepLines(char* begin, char* end, LineFilter filter, ThreadSummary& summary, bool& brokenTitle);
