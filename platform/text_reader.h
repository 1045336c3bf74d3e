// Reads a file line by line as the C runtime's text mode reads it:
// CR LF is read as LF, a CR not followed by LF is kept, a 0x1A byte ends
// the input. Lines are handed out without their LF; a line longer than the
// buffer makes the buffer grow, so every line arrives whole.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/platform.h"

namespace platform {

struct LineView {
    const char* data = nullptr;
    std::size_t size = 0;
};

class TextReader {
public:
    explicit TextReader(FileHandle file, std::size_t blockSize = 256 * 1024);
    // Gives the next line; false at the end of the input or on a read error.
    bool NextLine(LineView& line);
    IoError error() const { return error_; }

private:
    bool Refill();

    FileHandle file_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool inputEnded_ = false;
    IoError error_ = IoError::None;
};

}  // namespace platform
