// What the console is: how a line is rendered and written for it, its title,
// and what is typed into it. One implementation per platform.
#pragma once

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

namespace platform {

// Chooses how the console shows the tool's Shift_JIS texts: on POSIX, when the
// locale's character set is UTF-8, they are converted to UTF-8. On Windows
// each stream that is a console gets its text through the console's own
// wide-character interface; a stream that is a file or a pipe gets the bytes.
void SetUpConsole();

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

enum class ConsoleAnswer { Given, Unread };
// Reads one line typed or dropped into the console, without its line end, in
// the form paths take inside the tool; Unread when nothing could be read.
ConsoleAnswer ReadConsoleAnswer(std::string& answer);

}  // namespace platform
