// Reads a file as the C runtime's text mode reads it: a 0x1A byte ends the
// input, and so does a read error. The bytes are handed out a block of whole
// lines at a time, straight from the buffer they were read into, so the caller
// can filter them in place and write them out from there. A line longer than
// the buffer is handed out in pieces, so the buffer never grows. CR LF is left
// for the caller, who sees every line with its line end.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/platform.h"

class TextReader {
public:
    static constexpr std::size_t kBlockSize = 256 * 1024;
    static constexpr std::size_t kSpare = 1;
    // Room for a piece of two bytes and a CR kept back: a piece of a line
    // that long tells whether the line is kept.
    static constexpr std::size_t kSmallestBuffer = 3 + kSpare;

    // An empty buffer is given kBlockSize bytes, one smaller than
    // kSmallestBuffer that many; any other is used as it is. The buffer is the
    // caller's, so one buffer serves every file of a run.
    TextReader(platform::FileHandle file, std::vector<char>& buffer);

    // Gives the next bytes: from `begin` up to and including the last LF read;
    // or, where a line fills the buffer, a piece of it (no LF in it, and
    // never a CR that may be the first of CR LF), with more to come;
    // or, once the input has ended, the rest (the last line, without LF;
    // empty where it ends a line given in pieces).
    // The kSpare byte past `end` belongs to the buffer, so a caller may put
    // an LF after a last line in place. The bytes are the caller's to change
    // until the next call. False at the end of the input or on a read error.
    bool NextLines(char*& begin, char*& end);

    // The bytes last given end inside a line that the next ones go on.
    bool EndsInsideLine() const { return insideLine_; }

    platform::IoError error() const { return error_; }

private:
    bool ReadMore();

    platform::FileHandle file_;
    std::vector<char>& buffer_;
    std::size_t begin_ = 0;  // the unfinished line kept from the last block
    std::size_t end_ = 0;
    bool inputEnded_ = false;
    bool insideLine_ = false;
    platform::IoError error_ = platform::IoError::None;
};
