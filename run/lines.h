// Console messages: fixed Shift_JIS texts followed by values, a newline and a
// flush; and the queue that holds a group's lines until the group commits.
#pragma once

#include <cstddef>
#include <cstdio>
#include <initializer_list>

#include "platform/console.h"

// Writes the pieces, and a newline when `endLine` says so, and flushes the
// stream; while lines are held, the line waits in the queue instead.
void WritePieces(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces, bool endLine);
// Writes the pieces, then a newline, then flushes the stream.
void WriteLine(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces);
// Writes the pieces and flushes, with no newline.
void WriteText(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces);

// While lines are held, every line written waits, in order, until
// ReleaseLines writes them all. Holding ends with the queue written.
void HoldLines(bool hold);
// The number of lines waiting: the place a line given later is to take.
std::size_t HeldLineCount();
// Puts a line into the queue at `position`, before the lines queued since.
void HoldLineAt(std::size_t position, std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces);
// A line rendered ahead and kept aside with the held lines' bytes until it is
// put into the queue, or dropped; it lasts until the queue is next written.
struct PreparedLine {
    std::FILE* stream;
    std::size_t start;
    std::size_t size;
};
PreparedLine PrepareLine(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces);
// Puts a prepared line into the queue at `position`, as HoldLineAt does.
void HoldPreparedLineAt(std::size_t position, const PreparedLine& line);
// Writes the waiting lines in order: each run of lines for one stream with
// one call per 32 KiB, so that a console is not asked once a line.
void ReleaseLines();
