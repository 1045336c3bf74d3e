// The line filter of a thread's copy, applied to a block of lines in place:
// a line of two bytes or more stays, ended by LF alone (CR LF reads as LF) and
// cut at its first NUL; a shorter line goes. The first line kept gives the
// title. A line longer than the reader's buffer is filtered piece by piece.
#pragma once

#include <string>

#include "thread/text_reader.h"
#include "thread/thread.h"

// Filters [begin, end), a block of whole lines of which only the last may lack
// its LF, and packs what is kept from `begin` on; gives the end of what was
// kept. Adds the kept lines to the post count and takes the title from the
// first post. Stops after a first line whose title is too long, which
// `brokenTitle` then says. The byte at `end` must be writable: a last line
// without LF gets its LF there.
char* KeepLines(char* begin, char* end, ThreadSummary& summary, bool& brokenTitle);

// A line longer than the reader's buffer, filtered as its pieces come, with
// no more of it kept than its title and its date and time need.
struct LongLine {
    bool open = false;   // pieces of it have come, and its end has not
    bool kept = false;   // it has two bytes or more before its first NUL
    bool cut = false;    // its first NUL has come: nothing after it is kept
    bool first = false;  // it is the thread's first post, which gives the title
    bool marked = false;  // a '>' has come: the title is what follows the last one
    std::string title;   // after its last '>' so far, no more than kLongTitleKept bytes
    PostDateTime dateTime;
};
// The most of a long first line's title that is kept, and shown when it is
// broken; a title from a line that fits the reader's buffer is never longer.
constexpr std::size_t kLongTitleKept = TextReader::kBlockSize;

// Filters [begin, end), the next piece of a long line (the first has two
// bytes or more, and none ends with a CR that may be the first of CR LF), in
// place; gives the end of what is kept. `endsLine`: the line ends with this
// piece, at its LF where `endsWithLineFeed`, else at the end of the input; the
// line's LF is then put at the end of what is kept (at most `end`, which must
// be writable), the post counted in, the title taken or found broken, and the
// date and time taken.
char* KeepPiece(char* begin, char* end, bool endsWithLineFeed, bool endsLine, LongLine& line,
                ThreadSummary& summary, bool& brokenTitle);
