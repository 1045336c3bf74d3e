#include "thread/keep_lines.h"

#include <cstring>

namespace {

std::string_view TitleOf(std::string_view firstLine) {
    std::size_t lastMark = firstLine.rfind('>');
    if (lastMark == std::string_view::npos) return std::string_view();
    return firstLine.substr(lastMark + 1);
}

// Packs kept lines one at a time and counts them; the first gives the title.
struct LinePacker {
    char* out;
    long long postCount;  // a copy: a store through `out` could be any field of the summary
    ThreadSummary& summary;
    bool mayHoldNul;
    bool brokenTitle = false;

    // Keeps the line [in, lineEnd) if it has two bytes or more once a CR
    // before its LF and everything from its first NUL on are left out.
    void Keep(char* in, char* lineEnd, bool endsWithLineFeed) {
        auto size = static_cast<std::size_t>(lineEnd - in);
        if (endsWithLineFeed && size > 0 && lineEnd[-1] == '\r') --size;
        if (mayHoldNul) {
            const void* nul = std::memchr(in, '\0', size);
            if (nul != nullptr) size = static_cast<std::size_t>(static_cast<const char*>(nul) - in);
        }
        if (size < 2) return;
        if (out != in) std::memmove(out, in, size);
        out[size] = '\n';
        if (++postCount == 1) {
            std::string_view title = TitleOf(std::string_view(out, size));
            summary.title.assign(title);
            brokenTitle = title.size() > kTitleLimit;
        }
        out += size + 1;
    }
};

}  // namespace

char* KeepLines(char* begin, char* end, ThreadSummary& summary, bool& brokenTitle) {
    // One pass tells whether any line needs a look for its NUL.
    bool mayHoldNul = std::memchr(begin, '\0', static_cast<std::size_t>(end - begin)) != nullptr;
    LinePacker packer{begin, summary.postCount, summary, mayHoldNul};
    for (char* in = begin; in < end && !packer.brokenTitle;) {
        auto* lineFeed = static_cast<char*>(std::memchr(in, '\n', static_cast<std::size_t>(end - in)));
        char* lineEnd = lineFeed != nullptr ? lineFeed : end;
        packer.Keep(in, lineEnd, lineFeed != nullptr);
        in = lineEnd + 1;
    }
    summary.postCount = packer.postCount;
    brokenTitle = packer.brokenTitle;
    return packer.out;
}

namespace {

// The bytes of a long first line go to its title from its last '>' on.
void TakeTitleBytes(std::string_view bytes, LongLine& line) {
    std::size_t lastMark = bytes.rfind('>');
    if (lastMark != std::string_view::npos) {
        line.marked = true;
        line.title.clear();
        bytes.remove_prefix(lastMark + 1);
    }
    if (!line.marked) return;
    line.title.append(bytes.substr(0, kLongTitleKept - line.title.size()));
}

void StartLongLine(LongLine& line) {
    line.open = true;
    line.cut = false;
    line.marked = false;
    line.title.clear();
    line.dateTime = PostDateTime();
}

}  // namespace

char* KeepPiece(char* begin, char* end, bool endsWithLineFeed, bool endsLine, LongLine& line,
                ThreadSummary& summary, bool& brokenTitle) {
    bool starts = !line.open;
    if (starts) StartLongLine(line);
    std::size_t size = 0;
    if (starts || (line.kept && !line.cut)) {
        size = static_cast<std::size_t>(end - begin);
        if (endsWithLineFeed && size > 0 && end[-1] == '\r') --size;
        const void* nul = std::memchr(begin, '\0', size);
        if (nul != nullptr) {
            size = static_cast<std::size_t>(static_cast<const char*>(nul) - begin);
            line.cut = true;
        }
    }
    if (starts) {
        line.kept = size >= 2;
        line.first = line.kept && summary.postCount == 0;
        if (!line.kept) size = 0;
    }
    std::string_view kept(begin, size);
    if (line.first) TakeTitleBytes(kept, line);
    line.dateTime.Read(kept);
    if (!endsLine) return begin + size;
    line.open = false;
    if (!line.kept) return begin;
    begin[size] = '\n';
    ++summary.postCount;
    if (line.first) {
        summary.title = line.title;
        brokenTitle = line.title.size() > kTitleLimit;
    }
    if (line.dateTime.hasTime()) TakeTime(line.dateTime, summary);
    if (line.dateTime.hasDate()) TakeDate(line.dateTime, summary);
    return begin + size + 1;
}
