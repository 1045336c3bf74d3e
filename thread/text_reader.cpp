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
    if (buffer_.size() < kSmallestBuffer) buffer_.resize(kSmallestBuffer);
}

bool TextReader::NextLines(char*& begin, char*& end) {
    bool lineGoesOn = insideLine_;
    insideLine_ = false;
    while (!inputEnded_) {
        std::size_t fresh = end_ - begin_;  // where ReadMore puts what it reads
        if (!ReadMore()) return false;
        begin = buffer_.data();
        char* lastLineFeed = LastLineFeed(begin + fresh, begin + end_);
        if (lastLineFeed != nullptr) {
            end = lastLineFeed + 1;
        } else if (!inputEnded_ && end_ + kSpare == buffer_.size()) {
            // One line fills the buffer: it goes out in pieces. A CR at the
            // end stays for the next piece, where its LF may follow.
            end = begin + end_ - (begin[end_ - 1] == '\r' ? 1 : 0);
            insideLine_ = true;
        } else {
            continue;
        }
        begin_ = static_cast<std::size_t>(end - begin);
        return true;
    }
    // A line given in pieces ends here even with nothing left of it.
    if (begin_ == end_ && !lineGoesOn) return false;
    begin = buffer_.data() + begin_;
    end = buffer_.data() + end_;
    begin_ = end_;
    return true;
}

// Keeps the unfinished line at the front and reads behind it, always leaving
// kSpare bytes. The line never fills the buffer here: NextLines gives it out
// in pieces first.
bool TextReader::ReadMore() {
    if (error_ != platform::IoError::None) return false;
    std::size_t pending = end_ - begin_;
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, pending);
        begin_ = 0;
        end_ = pending;
    }
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
