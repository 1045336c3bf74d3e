#include "thread/keep_lines.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The wide filter needs GCC's or Clang's target attributes and an x86-64 processor.
#if defined(__x86_64__) && defined(__GNUC__)
#define MORVO_WIDE_LINES 1
#include <immintrin.h>
#else
#define MORVO_WIDE_LINES 0
#endif

namespace {

// Finds the LFs of a block in order. Where the processor has SSE2 it looks at
// 64 bytes at a time, and may read up to 63 bytes past the block's end.
class LineFeedFinder {
public:
    LineFeedFinder(const char* begin, const char* end) : chunk_(begin), end_(end) {}

    // The next LF, or nullptr when none is left.
    char* Next() {
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
        return const_cast<char*>(lineFeed);
#else
        const void* lineFeed = std::memchr(chunk_, '\n', static_cast<std::size_t>(end_ - chunk_));
        if (lineFeed != nullptr) chunk_ = static_cast<const char*>(lineFeed) + 1;
        return static_cast<char*>(const_cast<void*>(lineFeed));
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

// Packs kept lines one at a time and counts them; the first gives the title.
struct LinePacker {
    char* out;
    long long postCount;  // a copy: a store through `out` could be any field of the summary
    ThreadSummary& summary;
    bool brokenTitle = false;

    // Keeps the line [in, lineEnd) if it has two bytes or more once a CR
    // before its LF and everything from its first NUL on are left out.
    void Keep(char* in, char* lineEnd, bool endsWithLineFeed, bool mayHoldNul) {
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

// Keeps the lines from `in` to `end` one at a time, stopping after a broken
// title and, when `untilPost`, after the first post. Gives where it stopped.
char* KeepLineByLine(char* in, char* end, bool mayHoldNul, bool untilPost, LinePacker& packer) {
    LineFeedFinder lineFeeds(in, end);
    while (in < end) {
        char* lineFeed = lineFeeds.Next();
        char* lineEnd = lineFeed != nullptr ? lineFeed : end;
        packer.Keep(in, lineEnd, lineFeed != nullptr, mayHoldNul);
        in = lineEnd + 1;
        if (packer.brokenTitle || (untilPost && packer.postCount > 0)) break;
    }
    return in < end ? in : end;
}

#if MORVO_WIDE_LINES

// Just past the last LF in [begin, end), or `begin` when there is none.
char* AfterLastLineFeed(char* begin, char* end) {
    while (end > begin && end[-1] != '\n') --end;
    return end;
}

#define MORVO_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt")))

// Packs whole lines 64 bytes at a time. The bytes of a chunk are the bits 0
// to 63 of a mask; the masks of the chunk before carry what a line that
// started there needs.
class WideLinePacker {
public:
    MORVO_WIDE_TARGET explicit WideLinePacker(char* out) : out_(out), smallest_(_mm512_set1_epi8(-1)) {}

    // Packs a chunk's `bytes`, of which those in `inChunk` belong to the block
    // (all 64 but in the block's last chunk). `nextIsLineFeed` says whether the
    // byte just after the chunk is an LF of the block.
    MORVO_WIDE_TARGET void Pack(__m512i bytes, std::uint64_t inChunk, bool nextIsLineFeed) {
        std::uint64_t lineFeeds = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n')) & inChunk;
        std::uint64_t returns = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\r')) & inChunk;
        // A CR right before an LF goes.
        std::uint64_t dropped = returns & ((lineFeeds >> 1) | (std::uint64_t{nextIsLineFeed} << 63));
        std::uint64_t shortEnds = ShortLineEnds(lineFeeds, returns);
        posts_ += __builtin_popcountll(lineFeeds);
        if (shortEnds != 0) {
            dropped |= ShortLineBytes(shortEnds, lineFeeds);
            out_ -= ShortLinePackedBefore(shortEnds, lineFeeds);
            posts_ -= __builtin_popcountll(shortEnds);
        }
        std::uint64_t kept = ~dropped & inChunk;
        __m512i packed = _mm512_maskz_compress_epi8(kept, bytes);
        auto keptCount = static_cast<unsigned>(__builtin_popcountll(kept));
        if (inChunk == ~std::uint64_t{0}) {
            _mm512_storeu_si512(out_, packed);  // ends at most where this chunk ends
        } else {
            _mm512_mask_storeu_epi8(out_, _bzhi_u64(~std::uint64_t{0}, keptCount), packed);
        }
        out_ += keptCount;
        smallest_ = _mm512_mask_min_epu8(smallest_, inChunk, smallest_, bytes);
        lastLineFeeds_ = lineFeeds;
        lastReturns_ = returns;
    }

    char* out() const { return out_; }
    long long posts() const { return posts_; }
    MORVO_WIDE_TARGET bool sawNul() const { return _mm512_testn_epi8_mask(smallest_, smallest_) != 0; }

private:
    // The LFs that end a line of fewer than two bytes: one right after an LF,
    // two after, or three after with a CR (which goes) just before it.
    MORVO_WIDE_TARGET std::uint64_t ShortLineEnds(std::uint64_t lineFeeds, std::uint64_t returns) const {
        std::uint64_t oneAfter = (lineFeeds << 1) | (lastLineFeeds_ >> 63);
        std::uint64_t twoAfter = (lineFeeds << 2) | (lastLineFeeds_ >> 62);
        std::uint64_t threeAfter = (lineFeeds << 3) | (lastLineFeeds_ >> 61);
        std::uint64_t returnBefore = (returns << 1) | (lastReturns_ >> 63);
        return lineFeeds & (oneAfter | twoAfter | (threeAfter & returnBefore));
    }

    // The bytes in this chunk of the short lines ending at `shortEnds`: each
    // LF and the up to two bytes of its line before it.
    static std::uint64_t ShortLineBytes(std::uint64_t shortEnds, std::uint64_t lineFeeds) {
        std::uint64_t oneBefore = (shortEnds >> 1) & ~lineFeeds;
        std::uint64_t twoBefore = (oneBefore >> 1) & ~lineFeeds;
        return shortEnds | oneBefore | twoBefore;
    }

    // How many bytes the chunk before packed of a short line that ends in
    // this one, which must be taken back.
    std::size_t ShortLinePackedBefore(std::uint64_t shortEnds, std::uint64_t lineFeeds) const {
        std::uint64_t firstLineFeed = lineFeeds & (~lineFeeds + 1);
        if ((shortEnds & firstLineFeed) == 0 || lastLineFeeds_ == 0) return 0;
        auto before = static_cast<std::size_t>(__builtin_clzll(lastLineFeeds_));  // its bytes before this chunk
        // When this chunk starts with the LF, the chunk before dropped the CR just before it.
        if (firstLineFeed == 1 && (lastReturns_ >> 63) != 0) --before;
        return before;
    }

    char* out_;
    long long posts_ = 0;
    __m512i smallest_;  // the smallest byte at each place, which shows a NUL
    std::uint64_t lastLineFeeds_ = std::uint64_t{1} << 63;  // the first chunk starts a line
    std::uint64_t lastReturns_ = 0;
};

// Cuts each line of [begin, end), all ending with LF, at its first NUL, and
// drops those left with fewer than two bytes; gives the new end.
char* CutAtNuls(char* begin, char* end, long long& postCount) {
    char* out = begin;
    for (char* in = begin; in < end;) {
        auto* lineFeed = static_cast<char*>(std::memchr(in, '\n', static_cast<std::size_t>(end - in)));
        auto size = static_cast<std::size_t>(lineFeed - in);
        const void* nul = std::memchr(in, '\0', size);
        if (nul != nullptr) size = static_cast<std::size_t>(static_cast<const char*>(nul) - in);
        if (size >= 2) {
            std::memmove(out, in, size);
            out[size] = '\n';
            out += size + 1;
        } else {
            --postCount;
        }
        in = lineFeed + 1;
    }
    return out;
}

// Packs the lines of [in, end), each ending with LF, from `out` on, which is
// not past `in`; gives the end of what was packed. Reads up to 63 bytes past
// `end`, and writes nothing at or past it.
MORVO_WIDE_TARGET char* PackWholeLines(const char* in, const char* end, char* out, long long& postCount) {
    WideLinePacker packer(out);
    for (; end - in > 64; in += 64) packer.Pack(_mm512_loadu_si512(in), ~std::uint64_t{0}, in[64] == '\n');
    if (in < end) {
        auto size = static_cast<unsigned>(end - in);
        packer.Pack(_mm512_loadu_si512(in), _bzhi_u64(~std::uint64_t{0}, size), false);
    }
    postCount += packer.posts();
    // Lines go whole, and the rare one with a NUL is cut afterwards. That
    // keeps the same lines as cutting first: a cut line is never longer.
    if (packer.sawNul()) return CutAtNuls(out, packer.out(), postCount);
    return packer.out();
}

#endif

}  // namespace

bool LineFilterRuns(LineFilter filter) {
    if (filter == LineFilter::OneByOne) return true;
#if MORVO_WIDE_LINES
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
#else
    return false;
#endif
}

LineFilter QuickestLineFilter() {
    static const LineFilter quickest = LineFilterRuns(LineFilter::Wide) ? LineFilter::Wide : LineFilter::OneByOne;
    return quickest;
}

char* KeepLines(char* begin, char* end, LineFilter filter, ThreadSummary& summary, bool& brokenTitle) {
    LinePacker packer{begin, summary.postCount, summary};
    char* in = begin;
    bool mayHoldNul = true;
#if MORVO_WIDE_LINES
    // The first post, with its title, goes line by line, and so does the last
    // line of the input when it has no LF; the lines between go wide.
    if (filter == LineFilter::Wide) {
        if (packer.postCount == 0) in = KeepLineByLine(in, end, true, true, packer);
        if (!packer.brokenTitle && in < end) {
            char* linesEnd = AfterLastLineFeed(in, end);
            packer.out = PackWholeLines(in, linesEnd, packer.out, packer.postCount);
            in = linesEnd;
        }
    }
#endif
    // One pass tells whether any line needs a look for its NUL.
    if (filter == LineFilter::OneByOne) {
        mayHoldNul = std::memchr(begin, '\0', static_cast<std::size_t>(end - begin)) != nullptr;
    }
    if (!packer.brokenTitle) KeepLineByLine(in, end, mayHoldNul, false, packer);
    summary.postCount = packer.postCount;
    brokenTitle = packer.brokenTitle;
    return packer.out;
}
