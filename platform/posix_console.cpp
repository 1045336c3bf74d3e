// POSIX implementation of the console: the terminal's character set and title.
#include "platform/console.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

namespace platform {

namespace {

// Shift_JIS to UTF-8 for the console, or (iconv_t)-1 when the console
// takes Shift_JIS.
iconv_t consoleConverter = reinterpret_cast<iconv_t>(-1);
bool titleShown = false;

// Appends Shift_JIS text as UTF-8; a byte that does not convert is shown as
// U+FFFD and the rest of the text goes on.
void AppendUtf8(std::string_view shiftJis, std::string& line) {
    char* in = const_cast<char*>(shiftJis.data());
    std::size_t inLeft = shiftJis.size();
    char chunk[256];
    while (inLeft > 0) {
        char* out = chunk;
        std::size_t outLeft = sizeof chunk;
        std::size_t result = iconv(consoleConverter, &in, &inLeft, &out, &outLeft);
        line.append(chunk, static_cast<std::size_t>(out - chunk));
        if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
            line.append("\xEF\xBF\xBD");  // U+FFFD for the byte that did not convert
            ++in;
            --inLeft;
            iconv(consoleConverter, nullptr, nullptr, nullptr, nullptr);
        }
    }
}

}  // namespace

void SetUpConsole() {
    std::setlocale(LC_ALL, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) consoleConverter = iconv_open("UTF-8", "CP932");
}

void RenderPieces(std::FILE*, std::initializer_list<ConsolePiece> pieces, bool endLine, std::string& rendered) {
    bool convert = consoleConverter != reinterpret_cast<iconv_t>(-1);
    for (const ConsolePiece& piece : pieces) {
        if (piece.isText && convert) {
            AppendUtf8(piece.bytes, rendered);
        } else {
            rendered.append(piece.bytes);
        }
    }
    if (endLine) rendered += '\n';
}

// One write for all of it, whatever the stream's buffering: a terminal's
// line buffering would cut a group's lines into many.
void WriteRendered(std::FILE* stream, const std::string& rendered) {
    std::fflush(stream);
    const char* left = rendered.data();
    std::size_t leftCount = rendered.size();
    while (leftCount > 0) {
        ssize_t put = write(fileno(stream), left, leftCount);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        left += put;
        leftCount -= static_cast<std::size_t>(put);
    }
}

// Terminals without a title stack pass over its sequences.
bool StartTitle() {
    titleShown = isatty(STDERR_FILENO) == 1;
    if (titleShown) WriteRendered(stderr, "\x1b[22;0t");
    return titleShown;
}

void SetTitle(std::string_view text) {
    if (!titleShown) return;
    std::string sequence = "\x1b]0;";
    RenderPieces(stderr, {text}, false, sequence);
    sequence += '\a';
    WriteRendered(stderr, sequence);
}

void RestoreTitle() {
    if (titleShown) WriteRendered(stderr, "\x1b[23;0t");
}

// A POSIX terminal outlives the tool, so there is no dialogue of its own.
bool ConsoleIsOwn() {
    return false;
}

ConsoleAnswer ReadConsoleAnswer(std::string&) {
    return ConsoleAnswer::Unread;
}

}  // namespace platform
