#include "thread/thread.h"

namespace {

// "１００１" in Shift_JIS: the closing line of a full thread, not a post.
constexpr std::string_view kClosingLineMark("\x82\x50\x82\x4f\x82\x4f\x82\x50", 8);
constexpr std::size_t kTimeCapacity = 63;

}  // namespace

PostDateTime ReadPostDateTime(std::string_view line) {
    PostDateTime post;
    if (line.substr(0, kClosingLineMark.size()) == kClosingLineMark) return post;
    std::size_t first = line.find("<>");
    if (first == std::string_view::npos) return post;
    std::size_t second = line.find("<>", first + 2);
    if (second == std::string_view::npos) return post;
    std::size_t fieldStart = second + 2;
    std::size_t fieldEnd = line.find("<>", fieldStart);
    if (fieldEnd == std::string_view::npos) return post;
    std::string_view field = line.substr(fieldStart, fieldEnd - fieldStart);
    std::size_t space = field.find(' ');
    if (space == std::string_view::npos) return post;

    // A tab would split the index record's fields, so no token keeps one.
    std::string_view dateToken = field.substr(0, space);
    post.hasDate = (dateToken.size() == 8 || dateToken.size() == 10) && dateToken.find('\t') == std::string_view::npos;
    if (post.hasDate) post.date = dateToken;

    std::string_view rest = field.substr(space + 1);
    post.time = rest.substr(0, rest.find_first_of(" \t"));
    if (post.time.size() > kTimeCapacity) post.time = post.time.substr(0, kTimeCapacity);
    post.hasTime = true;
    return post;
}

void TakeDate(const PostDateTime& post, ThreadSummary& summary) {
    if (post.date.size() == 8) {
        summary.lastPostDate.assign("20");
        summary.lastPostDate.append(post.date);
    } else {
        summary.lastPostDate.assign(post.date);
    }
}

void TakeTime(const PostDateTime& post, ThreadSummary& summary) {
    summary.lastPostTime.assign(post.time);
    if (post.time.size() == 5) summary.lastPostTime.append(":59");
}

void CaptureDateTime(std::string_view line, ThreadSummary& summary) {
    PostDateTime post = ReadPostDateTime(line);
    if (!post.hasTime) return;
    if (post.hasDate) TakeDate(post, summary);
    TakeTime(post, summary);
}
