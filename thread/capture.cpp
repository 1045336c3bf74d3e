#include "thread/thread.h"

namespace {

// "１００１" in Shift_JIS: the closing line of a full thread, not a post.
constexpr std::string_view kClosingLineMark("\x82\x50\x82\x4f\x82\x4f\x82\x50", 8);
constexpr std::size_t kTimeCapacity = 63;

}  // namespace

void CaptureDateTime(std::string_view line, ThreadSummary& summary) {
    if (line.substr(0, kClosingLineMark.size()) == kClosingLineMark) return;
    std::size_t first = line.find("<>");
    if (first == std::string_view::npos) return;
    std::size_t second = line.find("<>", first + 2);
    if (second == std::string_view::npos) return;
    std::size_t fieldStart = second + 2;
    std::size_t fieldEnd = line.find("<>", fieldStart);
    if (fieldEnd == std::string_view::npos) return;
    std::string_view field = line.substr(fieldStart, fieldEnd - fieldStart);
    std::size_t space = field.find(' ');
    if (space == std::string_view::npos) return;

    // A tab would split the index record's fields, so no token keeps one.
    std::string_view dateToken = field.substr(0, space);
    if (dateToken.find('\t') == std::string_view::npos) {
        if (dateToken.size() == 8) {
            summary.lastPostDate.assign("20");
            summary.lastPostDate.append(dateToken);
        } else if (dateToken.size() == 10) {
            summary.lastPostDate.assign(dateToken);
        }
    }

    std::string_view rest = field.substr(space + 1);
    std::string_view timeToken = rest.substr(0, rest.find_first_of(" \t"));
    if (timeToken.size() > kTimeCapacity) timeToken = timeToken.substr(0, kTimeCapacity);
    summary.lastPostTime.assign(timeToken);
    if (timeToken.size() == 5) summary.lastPostTime.append(":59");
}
