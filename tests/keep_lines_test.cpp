// The line filter against a plain model on random blocks dense in LF, CR and
// NUL, so that short lines and CR LF pairs fall at every place in a block; and
// the same through the text reader with buffers so small that lines go in pieces.
#include "thread/keep_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

namespace {

struct Kept {
    std::string bytes;
    long long postCount = 0;
    std::string title;
    bool brokenTitle = false;
};

// What the filter must give for `block`, after `postsBefore` posts.
Kept Model(const std::string& block, long long postsBefore) {
    Kept kept;
    kept.postCount = postsBefore;
    std::size_t start = 0;
    while (start < block.size()) {
        std::size_t lineFeed = block.find('\n', start);
        bool hasLineFeed = lineFeed != std::string::npos;
        std::string line = block.substr(start, hasLineFeed ? lineFeed - start : std::string::npos);
        start = hasLineFeed ? lineFeed + 1 : block.size();
        if (hasLineFeed && !line.empty() && line.back() == '\r') line.pop_back();
        line = line.substr(0, line.find('\0'));
        if (line.size() < 2) continue;
        kept.bytes += line + "\n";
        if (++kept.postCount > 1) continue;
        std::size_t mark = line.rfind('>');
        kept.title = mark == std::string::npos ? "" : line.substr(mark + 1);
        kept.brokenTitle = kept.title.size() > kTitleLimit;
        if (kept.brokenTitle) break;
    }
    return kept;
}

// Runs the filter on `block` in a buffer whose spare bytes hold `spare`,
// and checks that nothing past the block was written.
Kept RunFilter(const std::string& block, long long postsBefore, const std::string& spare) {
    std::string buffer = block + spare;
    ThreadSummary summary;
    summary.postCount = postsBefore;
    Kept kept;
    char* begin = buffer.data();
    char* end = KeepLines(begin, begin + block.size(), summary, kept.brokenTitle);
    kept.bytes.assign(begin, end);
    kept.postCount = summary.postCount;
    kept.title = summary.title;
    // The last line, when it has no LF, gets one in place, which may fall just past the block.
    std::size_t untouched = block.size() + (block.empty() || block.back() == '\n' ? 0 : 1);
    EXPECT_EQ(buffer.substr(untouched), spare.substr(untouched - block.size()));
    return kept;
}

std::string RandomBytes(std::mt19937& random, std::size_t size, const std::string& alphabet) {
    std::string bytes(size, ' ');
    for (char& byte : bytes) byte = alphabet[random() % alphabet.size()];
    return bytes;
}

// A block of random lines, some short, some long, some with CR or NUL, of
// which the last may lack its LF.
std::string RandomBlock(std::mt19937& random, bool withNul) {
    static const std::string kLineBytes = std::string("abc>>\r\0\x81\x40", 9);
    std::string alphabet = withNul ? kLineBytes : kLineBytes.substr(0, 6) + kLineBytes.substr(7);
    std::string block;
    std::size_t lines = random() % 40;
    for (std::size_t line = 0; line < lines; ++line) {
        std::size_t size = random() % 4 == 0 ? random() % 200 : random() % 5;
        block += RandomBytes(random, size, alphabet);
        if (random() % 3 == 0) block += '\r';
        if (line + 1 < lines || random() % 2 == 0) block += '\n';
    }
    return block;
}

TEST(KeepLines, MatchesTheModel) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 20000; ++round) {
        bool withNul = round % 4 == 0;
        std::string block = RandomBlock(random, withNul);
        long long postsBefore = round % 3 == 0 ? 0 : 7;
        std::string spare = RandomBytes(random, 64, std::string("\n\r\0x", 4));
        Kept expected = Model(block, postsBefore);
        Kept got = RunFilter(block, postsBefore, spare);
        ASSERT_EQ(got.bytes, expected.bytes) << "round " << round;
        ASSERT_EQ(got.postCount, expected.postCount) << "round " << round;
        ASSERT_EQ(got.title, expected.title) << "round " << round;
        ASSERT_EQ(got.brokenTitle, expected.brokenTitle) << "round " << round;
    }
}

}  // namespace

// The copy of a thread's lines through the text reader (text_reader_test.cpp).
std::string CopyThroughReader(const std::string& bytes, std::size_t bufferSize, ThreadSummary& summary,
                              bool* brokenTitle);

namespace {

// What the capture must take from one kept line, after the lines before it.
void ModelCapture(const std::string& line, std::string& date, std::string& time) {
    if (line.compare(0, 8, "\x82\x50\x82\x4f\x82\x4f\x82\x50") == 0) return;
    std::size_t first = line.find("<>");
    std::size_t second = first == std::string::npos ? first : line.find("<>", first + 2);
    std::size_t end = second == std::string::npos ? second : line.find("<>", second + 2);
    if (end == std::string::npos) return;
    std::string field = line.substr(second + 2, end - second - 2);
    std::size_t space = field.find(' ');
    if (space == std::string::npos) return;
    std::string token = field.substr(0, space);
    std::string rest = field.substr(space + 1);
    if ((token.size() == 8 || token.size() == 10) && token.find('\t') == std::string::npos) {
        date = (token.size() == 8 ? "20" : "") + token;
    }
    time = rest.substr(0, std::min<std::size_t>(rest.find_first_of(" \t"), 63));
    if (time.size() == 5) time += ":59";
}

// A post line with a date field of one of the shapes the capture tells apart,
// and a body long enough to span many pieces of a small buffer.
std::string RandomPost(std::mt19937& random) {
    static const char* const kFields[] = {"04/05/10 12:34", "2004/05/10 12:34:56 ID:x", "2004/05/10(Mon) 01:02:03",
                                          "04/05\t10 12:00", "2004/05/10 <x", "2004/05/10", " "};
    std::string post = RandomBytes(random, random() % 3, "<>a") + "<>" + RandomBytes(random, random() % 3, "<a") +
                       "<>" + kFields[random() % 7] + (random() % 2 == 0 ? "<" : "<>") +
                       RandomBytes(random, random() % 300, "ab<> \r");
    return (random() % 5 == 0 ? "\x82\x50\x82\x4f\x82\x4f\x82\x50" : "") + post + "\n";
}

// Lines longer than the reader's buffer come through in pieces, split at
// every place, as whole lines would.
TEST(KeepLines, ThroughTheReaderInPiecesMatchesTheModel) {
    std::mt19937 random(20261211);
    for (int round = 0; round < 2000; ++round) {
        std::string input;
        for (int part = random() % 6; part >= 0; --part) {
            input += random() % 2 == 0 ? RandomPost(random) : RandomBlock(random, round % 4 == 0);
        }
        Kept expected = Model(input, 0);
        std::string date;
        std::string time;
        for (std::size_t start = 0; !expected.brokenTitle && start < expected.bytes.size();) {
            std::size_t end = expected.bytes.find('\n', start);
            ModelCapture(expected.bytes.substr(start, end - start), date, time);
            start = end + 1;
        }
        ThreadSummary summary;
        bool brokenTitle = false;
        std::size_t bufferSize = TextReader::kSmallestBuffer + round % 29;
        ASSERT_EQ(CopyThroughReader(input, bufferSize, summary, &brokenTitle), expected.bytes) << "round " << round;
        ASSERT_EQ(summary.postCount, expected.postCount) << "round " << round;
        ASSERT_EQ(summary.title, expected.title) << "round " << round;
        ASSERT_EQ(brokenTitle, expected.brokenTitle) << "round " << round;
        if (brokenTitle) continue;
        ASSERT_EQ(summary.lastPostDate, date) << "round " << round;
        ASSERT_EQ(summary.lastPostTime, time) << "round " << round;
    }
}

}  // namespace
