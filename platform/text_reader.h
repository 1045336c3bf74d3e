// Reads a file line by line as the C runtime's text mode reads it:
// CR LF is read as LF, a CR not followed by LF is kept, a 0x1A byte ends
// the input. Lines are handed out without their LF; a line longer than the
// buffer makes the buffer grow, so every line arrives whole. The buffer is the
// caller's, so one buffer serves every file of a run.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace platform {

struct LineView {
    const char* data = nullptr;
    std::size_t size = 0;
};

class TextReader {
public:
    static constexpr std::size_t kBlockSize = 256 * 1024;

    // An empty buffer is given kBlockSize bytes; a larger one is used as it is.
    TextReader(FileHandle file, std::vector<char>& buffer);
    // Gives the next line; false at the end of the input or on a read error.
    bool NextLine(LineView& line);

    // The same in two steps, for callers that work a buffer's lines at once:
    // BufferedLine gives the next line already read (false when none is left),
    // ReadMore reads the next block (false at the end of the input or on a read
    // error). Lines given out stay valid until ReadMore.
    bool BufferedLine(LineView& line) {
        char* start = buffer_.data() + begin_;
        auto* lineEnd = static_cast<char*>(std::memchr(start, '\n', end_ - begin_));
        if (lineEnd == nullptr) return LastLine(line);
        std::size_t size = static_cast<std::size_t>(lineEnd - start);
        begin_ += size + 1;
        if (size > 0 && start[size - 1] == '\r') --size;  // CR LF reads as LF
        line = LineView{start, size};
        return true;
    }
    bool ReadMore();

    // False when no NUL byte is among the buffered bytes, so that callers can
    // skip looking for one in each line.
    bool mayHoldNul() const { return mayHoldNul_; }
    IoError error() const { return error_; }

private:
    // The line that the input ends with, if it has no LF after it.
    bool LastLine(LineView& line);

    FileHandle file_;
    std::vector<char>& buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool inputEnded_ = false;
    bool mayHoldNul_ = false;
    IoError error_ = IoError::None;
};

}  // namespace platform
