// Win32 implementation of the console: each stream that is one gets UTF-16,
// a file or a pipe gets the bytes; the window's title; what is typed.
#include "platform/console.h"

#include "platform/win32_calls.h"

#include <io.h>

#include <cstring>
#include <string>

namespace platform {

void SetUpConsole() {}

namespace {

HANDLE FindConsole(std::FILE* stream) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return nullptr;
    return handle;
}

// The console behind a standard stream, or nullptr when the stream is a file
// or a pipe. A console call is slow, and what a stream is does not change
// while the tool runs, so each is asked once.
HANDLE ConsoleOf(std::FILE* stream) {
    static const HANDLE output = FindConsole(stdout);
    static const HANDLE error = FindConsole(stderr);
    if (stream == stdout) return output;
    if (stream == stderr) return error;
    return FindConsole(stream);
}

// Appends bytes of a code page as UTF-16, one character at a time, so that a
// byte that does not convert becomes U+FFFD and the rest goes on.
void AppendWide(std::string_view bytes, UINT codePage, std::wstring& wide) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        wchar_t converted[4];
        int count = 0;
        std::size_t length = 1;
        for (; length <= 4 && at + length <= bytes.size(); ++length) {
            count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data() + at, static_cast<int>(length),
                                        converted, 4);
            if (count > 0) break;
        }
        if (count > 0) {
            wide.append(converted, static_cast<std::size_t>(count));
            at += length;
        } else {
            wide.push_back(L'\xFFFD');
            ++at;
        }
    }
}

constexpr UINT kShiftJis = 932;
bool titleShown = false;
std::wstring previousTitle;

// A path, UTF-8, in Shift_JIS for a file or a pipe: a character code page 932
// cannot hold shows as "?".
void AppendShiftJis(std::string_view path, std::string& rendered) {
    if (IsAscii(path)) {
        rendered.append(path);
        return;
    }
    std::wstring wide = WideOf(path);
    int length = static_cast<int>(wide.size());
    int size = WideCharToMultiByte(kShiftJis, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0, "?", nullptr);
    std::size_t at = rendered.size();
    rendered.resize(at + static_cast<std::size_t>(size > 0 ? size : 0));
    if (size > 0) WideCharToMultiByte(kShiftJis, WC_NO_BEST_FIT_CHARS, wide.data(), length, &rendered[at], size, "?",
                                      nullptr);
}

}  // namespace

// On a console the line goes out as UTF-16, whatever the console's code page:
// the tool's texts and the titles are Shift_JIS, paths are UTF-8. A file or a
// pipe gets Shift_JIS, with the C runtime's CR LF line ends. For a console
// the UTF-16 code units are kept in the string's bytes.
void RenderPieces(std::FILE* stream, std::initializer_list<ConsolePiece> pieces, bool endLine,
                  std::string& rendered) {
    if (ConsoleOf(stream) == nullptr) {
        for (const ConsolePiece& piece : pieces) {
            if (piece.isText) {
                rendered.append(piece.bytes);
            } else {
                AppendShiftJis(piece.bytes, rendered);
            }
        }
        if (endLine) rendered += '\n';
        return;
    }
    std::wstring line;
    for (const ConsolePiece& piece : pieces) {
        if (piece.isText) {
            AppendWide(piece.bytes, kShiftJis, line);
        } else {
            line += WideOf(piece.bytes);
        }
    }
    if (endLine) line += L"\r\n";
    rendered.append(reinterpret_cast<const char*>(line.data()), line.size() * sizeof(wchar_t));
}

// A stream that is no console gets one WriteFile for all of it, with the
// line ends of the C runtime's text mode: through the C runtime, the NUL
// device, which it takes for a character device, would get a call a byte.
void WriteRendered(std::FILE* stream, const std::string& rendered) {
    std::fflush(stream);
    HANDLE console = ConsoleOf(stream);
    if (console == nullptr) {
        std::string bytes;
        bytes.reserve(rendered.size() + rendered.size() / 16);
        for (char byte : rendered) {
            if (byte == '\n') bytes += '\r';
            bytes += byte;
        }
        FileHandle file;
        file.value = _get_osfhandle(_fileno(stream));
        if (file.value != reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)) {
            (void)WriteAll(file, bytes.data(), bytes.size());
        }
        return;
    }
    std::wstring line(rendered.size() / sizeof(wchar_t), L'\0');
    std::memcpy(&line[0], rendered.data(), line.size() * sizeof(wchar_t));
    WriteConsoleInParts(console, line);
}

// Windows 7 fails a write of about 64 KB and more: a line holding a long path
// goes out in parts, none of which splits a surrogate pair.
void WriteConsoleInParts(HANDLE console, std::wstring_view text) {
    constexpr std::size_t kLongestWrite = 8192;
    while (!text.empty()) {
        std::size_t part = text.size() < kLongestWrite ? text.size() : kLongestWrite;
        if (part < text.size() && text[part - 1] >= 0xD800 && text[part - 1] < 0xDC00) --part;
        DWORD written = 0;
        if (!Calls().writeConsoleW(console, text.data(), static_cast<DWORD>(part), &written, nullptr) ||
            written == 0) {
            return;
        }
        text.remove_prefix(written);
    }
}

bool StartTitle() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    titleShown = GetConsoleWindow() != nullptr || ConsoleOf(stdout) != nullptr || ConsoleOf(stderr) != nullptr ||
                 (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode));
    if (!titleShown) return false;
    wchar_t title[1024];
    DWORD length = GetConsoleTitleW(title, 1024);
    previousTitle.assign(title, length < 1024 ? length : 1023);
    return true;
}

void SetTitle(std::string_view text) {
    if (!titleShown) return;
    std::wstring title;
    AppendWide(text, kShiftJis, title);
    SetConsoleTitleW(title.c_str());
}

void RestoreTitle() {
    if (titleShown) SetConsoleTitleW(previousTitle.c_str());
}

// The tool alone on its console: a command prompt or a batch file would be
// on it too.
bool ConsoleIsOwn() {
    DWORD processes[2];
    DWORD mode = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    return GetConsoleProcessList(processes, 2) == 1 && input != nullptr && input != INVALID_HANDLE_VALUE &&
           GetConsoleMode(input, &mode);
}

// The console gives the line as UTF-16, which keeps every character a path
// may hold.
ConsoleAnswer ReadConsoleAnswer(std::string& answer) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring line;
    wchar_t chunk[256];
    while (line.empty() || line.back() != L'\n') {
        DWORD got = 0;
        if (!ReadConsoleW(input, chunk, 256, &got, nullptr) || got == 0) break;
        line.append(chunk, got);
    }
    if (line.empty()) return ConsoleAnswer::Unread;
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
    answer.clear();
    AppendUtf8(line, answer);
    return ConsoleAnswer::Given;
}

}  // namespace platform
