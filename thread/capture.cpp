#include <cstring>

#include "thread/thread.h"

namespace {

// "１００１" in Shift_JIS: the closing line of a full thread, not a post.
constexpr char kClosingLineMark[PostDateTime::kMarkSize + 1] = "\x82\x50\x82\x4f\x82\x4f\x82\x50";

// The position just past the first "<>" in `bytes` from `from`, where a '<'
// that ended the bytes before counts as the first of the pair; or npos, with
// `afterLt` telling whether these bytes end with a '<'.
std::size_t PastSeparator(std::string_view bytes, std::size_t from, bool& afterLt) {
    if (from >= bytes.size()) return std::string_view::npos;
    if (afterLt) {
        afterLt = false;
        if (bytes[from] == '>') return from + 1;
    }
    for (;;) {
        std::size_t lt = bytes.find('<', from);
        if (lt == std::string_view::npos) return lt;
        if (lt + 1 == bytes.size()) {
            afterLt = true;
            return std::string_view::npos;
        }
        if (bytes[lt + 1] == '>') return lt + 2;
        from = lt + 1;
    }
}

}  // namespace

void PostDateTime::Read(std::string_view bytes) {
    if (markSeen_ < kMarkSize && !bytes.empty()) {
        std::size_t count = std::min(kMarkSize - markSeen_, bytes.size());
        closingSoFar_ = closingSoFar_ && std::memcmp(bytes.data(), kClosingLineMark + markSeen_, count) == 0;
        markSeen_ += count;
        if (markSeen_ == kMarkSize && closingSoFar_) phase_ = Phase::Done;
    }
    std::size_t at = 0;
    while (at < bytes.size() && phase_ != Phase::Done) {
        if (phase_ == Phase::FirstSeparator || phase_ == Phase::SecondSeparator || phase_ == Phase::FieldRest) {
            at = PastSeparator(bytes, at, afterLt_);
            if (at == std::string_view::npos) return;
            phase_ = phase_ == Phase::FieldRest ? EndField() : static_cast<Phase>(static_cast<int>(phase_) + 1);
            continue;
        }
        char byte = bytes[at++];
        if (afterLt_) {
            afterLt_ = false;
            if (byte == '>') {
                phase_ = EndField();
                continue;
            }
            TakeFieldByte('<');
        }
        if (byte == '<') {
            afterLt_ = true;
        } else {
            TakeFieldByte(byte);
        }
    }
}

// A byte of the date field: the date token up to its first space, then the
// time token up to the next space or tab.
void PostDateTime::TakeFieldByte(char byte) {
    if (phase_ == Phase::DateToken) {
        if (byte == ' ') {
            phase_ = Phase::TimeToken;
            return;
        }
        if (dateSize_ < kDateCapacity) date_[dateSize_] = byte;
        if (dateSize_ <= kDateCapacity) ++dateSize_;
        dateHasTab_ = dateHasTab_ || byte == '\t';
    } else if (byte == ' ' || byte == '\t') {
        phase_ = Phase::FieldRest;
    } else if (timeSize_ < kTimeCapacity) {
        time_[timeSize_++] = byte;
    }
}

// The field has ended at its "<>": it gives a time if it had a space, and a
// date if the token before that space is of 8 or 10 bytes. A tab would split
// the index record's fields, so no date keeps one.
PostDateTime::Phase PostDateTime::EndField() {
    hasTime_ = phase_ != Phase::DateToken;
    hasDate_ = hasTime_ && (dateSize_ == 8 || dateSize_ == 10) && !dateHasTab_;
    return Phase::Done;
}

PostDateTime ReadPostDateTime(std::string_view line) {
    PostDateTime post;
    post.Read(line);
    return post;
}

void TakeDate(const PostDateTime& post, ThreadSummary& summary) {
    if (post.date().size() == 8) {
        summary.lastPostDate.assign("20");
        summary.lastPostDate.append(post.date());
    } else {
        summary.lastPostDate.assign(post.date());
    }
}

void TakeTime(const PostDateTime& post, ThreadSummary& summary) {
    summary.lastPostTime.assign(post.time());
    if (post.time().size() == 5) summary.lastPostTime.append(":59");
}
