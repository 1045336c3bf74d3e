#include "thread/text_reader.h"

#include <cstring>

namespace {

// The last LF in [begin, end), or nullptr. A line is short next to a block,
// so the search from the end is short too.
char* LastLineFeed(char* begin, char* end) {
    while (end > begin) {
        if (*--end == '\n') return end;
    }
    return nullptr;
}

}  // namespace

TextReader::TextReader(platform::FileHandle file, std::vector<char>& buffer) : file_(file), buffer_(buffer) {
    if (buffer_.empty()) buffer_.resize(kBlockSize);
}

bool TextReader::NextLines(char*& begin, char*& end) {
    while (!inputEnded_) {
        std::size_t fresh = end_ - begin_;  // where ReadMore puts what it reads
        if (!ReadMore()) return false;
        char* lastLineFeed = LastLineFeed(buffer_.data() + fresh, buffer_.data() + end_);
        if (lastLineFeed == nullptr) continue;
        begin = buffer_.data();
        end = lastLineFeed + 1;
        begin_ = static_cast<std::size_t>(end - begin);
        return true;
    }
    if (begin_ == end_) return false;
    begin = buffer_.data() + begin_;
    end = buffer_.data() + end_;
    begin_ = end_;
    return true;
}

// Keeps the unfinished line at the front, grows the buffer if that line
// fills it, and reads behind it, always leaving kSpare bytes.
bool TextReader::ReadMore() {
    if (error_ != platform::IoError::None) return false;
    std::size_t pending = end_ - begin_;
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, pending);
        begin_ = 0;
        end_ = pending;
    }
    while (end_ + kSpare >= buffer_.size()) buffer_.resize(buffer_.size() * 2);
    std::size_t count = 0;
    error_ = platform::ReadSome(file_, buffer_.data() + end_, buffer_.size() - kSpare - end_, count);
    if (error_ != platform::IoError::None) return false;
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
    end_ += count;
    return true;
}
