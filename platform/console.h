// Console messages: fixed Shift_JIS texts followed by values, a newline and a flush.
#pragma once

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

namespace platform {

// One piece of a console line: Shift_JIS text (converted where the console
// wants another character set) or bytes from the file system, shown as they are.
struct ConsolePiece {
    std::string_view bytes;
    bool isText = true;

    ConsolePiece(const char* text) : bytes(text) {}
    ConsolePiece(std::string_view text) : bytes(text) {}
    ConsolePiece(const std::string& text) : bytes(text) {}
};

// A path, or a text made of folder names, shown unconverted.
inline ConsolePiece AsPath(std::string_view path) {
    ConsolePiece piece(path);
    piece.isText = false;
    return piece;
}

// Appends the pieces, and a newline when `endLine` says so, to `rendered` in
// the form the stream takes: converted where its console wants another
// character set. One per platform.
void RenderPieces(std::FILE* stream, std::initializer_list<ConsolePiece> pieces, bool endLine,
                  std::string& rendered);
// Writes what RenderPieces made for the stream, with one call, and flushes
// the stream. One per platform.
void WriteRendered(std::FILE* stream, const std::string& rendered);

// Writes the pieces, and a newline when `endLine` says so, and flushes the
// stream; while lines are held, the line waits in the queue instead.
void WritePieces(std::FILE* stream, std::initializer_list<ConsolePiece> pieces, bool endLine);
// Writes the pieces, then a newline, then flushes the stream.
void WriteLine(std::FILE* stream, std::initializer_list<ConsolePiece> pieces);
// Writes the pieces and flushes, with no newline.
void WriteText(std::FILE* stream, std::initializer_list<ConsolePiece> pieces);

// While lines are held, every line written waits, in order, until
// ReleaseLines writes them all. Holding ends with the queue written.
void HoldLines(bool hold);
// The number of lines waiting: the place a line given later is to take.
std::size_t HeldLineCount();
// Puts a line into the queue at `position`, before the lines queued since.
void HoldLineAt(std::size_t position, std::FILE* stream, std::initializer_list<ConsolePiece> pieces);
// A line rendered ahead and kept aside with the held lines' bytes until it is
// put into the queue, or dropped; it lasts until the queue is next written.
struct PreparedLine {
    std::FILE* stream;
    std::size_t start;
    std::size_t size;
};
PreparedLine PrepareLine(std::FILE* stream, std::initializer_list<ConsolePiece> pieces);
// Puts a prepared line into the queue at `position`, as HoldLineAt does.
void HoldPreparedLineAt(std::size_t position, const PreparedLine& line);
// Writes the waiting lines in order: each run of lines for one stream with
// one call per 32 KiB, so that a console is not asked once a line.
void ReleaseLines();

// The console's title: the window's on Windows, whenever the tool has a
// console; on POSIX a terminal's, when standard error is one (the xterm title
// sequence, the title before kept on the terminal's title stack). StartTitle
// keeps the title shown before and says whether there is a title to set.
bool StartTitle();
// Shows Shift_JIS text as the title, converted as the console wants it.
void SetTitle(std::string_view text);
// Puts back the title shown before StartTitle.
void RestoreTitle();

// True when the console is the tool's alone and standard input reads from it:
// the tool was started from Explorer or a shortcut, and its window closes as
// soon as it ends. Always false on POSIX.
bool ConsoleIsOwn();

enum class ConsoleAnswer { Given, NotConvertible, Unread };
// Reads one line typed or dropped into the console, without its line end, as
// bytes of the code page the command line comes in. NotConvertible when a
// character has no such bytes; Unread when nothing could be read.
ConsoleAnswer ReadConsoleAnswer(std::string& answer);

}  // namespace platform
