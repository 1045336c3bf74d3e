// Console messages: fixed Shift_JIS texts followed by values, a newline and a
// flush; lines held behind a thread not yet committed; and the failures the
// summary repeats.
#pragma once

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/console.h"

// Lines in the order they were made, each rendered for its stream; a
// failure's line is kept for the summary once it is written.
struct HeldLines {
    struct Line {
        std::FILE* stream;
        std::size_t start;  // in `bytes`
        std::size_t size;
        bool failure;
    };
    std::string bytes;
    std::vector<Line> lines;
};

// The failure lines the summary repeats: the first kRepeatedFailures as they
// were shown, and how many more were shown after them.
struct RepeatedFailures {
    std::string lines;
    std::size_t kept = 0;
    long long more = 0;
};
constexpr std::size_t kRepeatedFailures = 50;

// While `held` is set, every line written waits at its end instead of going
// out; nullptr lets lines go out as they are made.
void HoldLinesIn(HeldLines* held);

// Writes the pieces, then a newline, then flushes the stream.
void WriteLine(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces);
// Writes the pieces and flushes, with no newline.
void WriteText(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces);
// Writes a failure's line as WriteLine does, and keeps it for the summary once
// it is out.
void WriteFailure(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces,
                  RepeatedFailures& repeated);

// Adds a line at the end of `held`.
void HoldLine(HeldLines& held, std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces,
              bool failure);
// Adds the lines from `first` to `end` of `from` at the end of `held`.
void HoldLinesOf(HeldLines& held, const HeldLines& from, std::size_t first, std::size_t end);
// Writes the held lines in order, each run of lines for one stream with one
// call per 32 KiB, so that a console is not asked once a line; and keeps the
// failures among them for the summary.
void WriteHeld(const HeldLines& held, RepeatedFailures& repeated);
