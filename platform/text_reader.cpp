#include "platform/text_reader.h"

#include <cstring>

namespace platform {

TextReader::TextReader(FileHandle file, std::vector<char>& buffer) : file_(file), buffer_(buffer) {
    if (buffer_.empty()) buffer_.resize(kBlockSize);
}

bool TextReader::NextLine(LineView& line) {
    while (!BufferedLine(line)) {
        if (!ReadMore()) return false;
    }
    return true;
}

bool TextReader::LastLine(LineView& line) {
    if (!inputEnded_ || begin_ == end_) return false;
    line = LineView{buffer_.data() + begin_, end_ - begin_};
    begin_ = end_;
    return true;
}

// Keeps the unfinished line at the front, grows the buffer if that line
// fills it, and reads the next block behind it.
bool TextReader::ReadMore() {
    if (inputEnded_ || error_ != IoError::None) return false;
    std::size_t pending = end_ - begin_;
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, pending);
        begin_ = 0;
        end_ = pending;
    }
    if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
    std::size_t count = 0;
    error_ = ReadSome(file_, buffer_.data() + end_, buffer_.size() - end_, count);
    if (error_ != IoError::None) return false;
    if (count == 0) {
        inputEnded_ = true;
        return true;
    }
    char* fresh = buffer_.data() + end_;
    auto* stop = static_cast<char*>(std::memchr(fresh, 0x1A, count));
    if (stop != nullptr) {
        count = static_cast<std::size_t>(stop - fresh);
        inputEnded_ = true;
    }
    mayHoldNul_ = std::memchr(buffer_.data(), '\0', end_ + count) != nullptr;
    end_ += count;
    return true;
}

}  // namespace platform
