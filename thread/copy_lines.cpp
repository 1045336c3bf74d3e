// The copy of one thread's lines. Each block of lines is filtered where it was
// read and goes out from there: a line is moved only when something before it
// in the block was dropped, so a block that needs no change is written as read.
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/text_reader.h"
#include "thread/thread.h"

namespace {

// Finds the LFs of a block in order. Where the processor has SSE2 it looks at
// 64 bytes at a time, and may read up to 63 bytes past the block's end, which
// the reader's buffer always holds.
class LineFeedFinder {
public:
    LineFeedFinder(const char* begin, const char* end) : chunk_(begin), end_(end) {}

    // The next LF, or nullptr when none is left.
    const char* Next() {
#if defined(__SSE2__)
        while (mask_ == 0) {
            if (chunk_ >= end_) return nullptr;
            mask_ = LineFeedMask(chunk_);
            std::size_t left = static_cast<std::size_t>(end_ - chunk_);
            if (left < 64) mask_ &= (std::uint64_t{1} << left) - 1;
            chunk_ += 64;
        }
        const char* lineFeed = chunk_ - 64 + __builtin_ctzll(mask_);
        mask_ &= mask_ - 1;
        return lineFeed;
#else
        const void* lineFeed = std::memchr(chunk_, '\n', static_cast<std::size_t>(end_ - chunk_));
        if (lineFeed != nullptr) chunk_ = static_cast<const char*>(lineFeed) + 1;
        return static_cast<const char*>(lineFeed);
#endif
    }

private:
#if defined(__SSE2__)
    // One bit for each of the 64 bytes from `bytes` on, set where the byte is LF.
    static std::uint64_t LineFeedMask(const char* bytes) {
        const __m128i lineFeed = _mm_set1_epi8('\n');
        std::uint64_t mask = 0;
        for (int part = 0; part < 4; ++part) {
            __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * part));
            auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, lineFeed)));
            mask |= std::uint64_t{bits} << (16 * part);
        }
        return mask;
    }
#endif

    const char* chunk_;       // the next bytes to look at
    const char* end_;
    std::uint64_t mask_ = 0;  // the LFs of the last 64 bytes looked at, not yet given
};

std::string_view TitleOf(std::string_view firstLine) {
    std::size_t lastMark = firstLine.rfind('>');
    if (lastMark == std::string_view::npos) return std::string_view();
    return firstLine.substr(lastMark + 1);
}

// Keeps the lines of [begin, end) that have two bytes or more, each ended by
// LF alone and cut at its first NUL, packed from `begin` on; gives the end of
// what was kept, and notes where each kept line starts. Stops after a first
// line whose title is too long, which `brokenTitle` then says.
char* KeepLines(char* begin, char* end, bool mayHoldNul, TransferBuffers& buffers, ThreadSummary& summary,
                bool& brokenTitle) {
    char* in = begin;
    char* out = begin;
    long long postCount = summary.postCount;  // a local: a store through `out` could be any field
    buffers.lineStarts.clear();
    LineFeedFinder lineFeeds(begin, end);
    while (in < end) {
        char* lineFeed = const_cast<char*>(lineFeeds.Next());
        char* lineEnd = lineFeed != nullptr ? lineFeed : end;
        std::size_t size = static_cast<std::size_t>(lineEnd - in);
        if (lineFeed != nullptr && size > 0 && lineEnd[-1] == '\r') --size;  // CR LF reads as LF
        if (mayHoldNul) {
            const void* nul = std::memchr(in, '\0', size);
            if (nul != nullptr) size = static_cast<std::size_t>(static_cast<const char*>(nul) - in);
        }
        if (size >= 2) {
            if (out != in) std::memmove(out, in, size);
            out[size] = '\n';
            buffers.lineStarts.push_back(static_cast<std::size_t>(out - begin));
            if (++postCount == 1) {
                std::string_view title = TitleOf(std::string_view(out, size));
                summary.title.assign(title);
                brokenTitle = title.size() > kTitleLimit;
                if (brokenTitle) {
                    summary.postCount = postCount;
                    return out + size + 1;
                }
            }
            out += size + 1;
        }
        in = lineEnd + 1;
    }
    summary.postCount = postCount;
    return out;
}

// Takes the date and time that the kept lines of a block leave behind, as if
// each line were captured in turn: the last line with a time gives the time,
// the last one with a date gives the date. Working back from the last line,
// usually that line alone is read.
void CaptureKeptLines(const char* begin, const char* end, const std::vector<std::size_t>& lineStarts,
                      ThreadSummary& summary) {
    bool timeTaken = false;
    std::size_t lineEnd = static_cast<std::size_t>(end - begin) - 1;  // at the LF of the last line
    for (std::size_t line = lineStarts.size(); line-- > 0;) {
        std::size_t start = lineStarts[line];
        PostDateTime post = ReadPostDateTime(std::string_view(begin + start, lineEnd - start));
        lineEnd = start - 1;
        if (!post.hasTime) continue;
        if (!timeTaken) TakeTime(post, summary);
        timeTaken = true;
        if (post.hasDate) return TakeDate(post, summary);
    }
}

// A buffer grown for one very long line goes back to its usual size.
void ShrinkAfterLongLine(std::vector<char>& buffer) {
    if (buffer.size() > platform::TextReader::kBlockSize) std::vector<char>().swap(buffer);
}

}  // namespace

CopyResult CopyLines(platform::FileHandle source, platform::FileHandle copy, TransferBuffers& buffers,
                     ThreadSummary& summary) {
    platform::TextReader reader(source, buffers.lines);
    CopyResult result;
    char* begin = nullptr;
    char* end = nullptr;
    while (!result.brokenTitle && result.writeError == platform::IoError::None && reader.NextLines(begin, end)) {
        char* kept = KeepLines(begin, end, reader.mayHoldNul(), buffers, summary, result.brokenTitle);
        if (kept == begin) continue;
        if (!result.brokenTitle) CaptureKeptLines(begin, kept, buffers.lineStarts, summary);
        result.writeError = platform::WriteAll(copy, begin, static_cast<std::size_t>(kept - begin));
    }
    result.readError = reader.error();
    ShrinkAfterLongLine(buffers.lines);
    return result;
}
