// The text-mode reader and the copy of a thread's lines through it, with
// buffers small enough that lines straddle every block edge.
#include "thread/text_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "thread/thread.h"

namespace {

// Each test's own, so that tests run side by side (ctest -j) share no file.
std::string TempPath(const char* name) {
    return testing::TempDir() + "/" + name + "-" + testing::UnitTest::GetInstance()->current_test_info()->name();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

platform::FileHandle OpenInput(const std::string& bytes) {
    std::string path = TempPath("text_reader_input");
    WriteFile(path, bytes);
    platform::FileHandle file;
    platform::FileState state;
    EXPECT_EQ(platform::OpenForReading(path, file, state), platform::IoError::None);
    EXPECT_EQ(state.size, bytes.size());
    return file;
}

// The blocks the reader hands out, as they came, each marked "+" where the
// line it ends in goes on in the next; and the buffer's size after them.
std::vector<std::string> ReadBlocks(const std::string& bytes, std::size_t bufferSize,
                                    std::size_t* sizeAfter = nullptr) {
    platform::FileHandle file = OpenInput(bytes);
    std::vector<char> buffer(bufferSize);
    TextReader reader(file, buffer);
    std::vector<std::string> blocks;
    char* begin = nullptr;
    char* end = nullptr;
    while (reader.NextLines(begin, end)) blocks.push_back(std::string(begin, end) + (reader.EndsInsideLine() ? "+" : ""));
    EXPECT_EQ(reader.error(), platform::IoError::None);
    platform::CloseFile(file);
    if (sizeAfter != nullptr) *sizeAfter = buffer.size();
    return blocks;
}

using Blocks = std::vector<std::string>;

TEST(TextReader, HandsOutWholeLinesUpToControlZ) {
    EXPECT_EQ(ReadBlocks("ab\ncd\x1a" "ef\ngh\n", 4096), (Blocks{"ab\n", "cd"}));
    EXPECT_EQ(ReadBlocks("\x1a" "ab\n", 4096), Blocks{});
    EXPECT_EQ(ReadBlocks("", 4096), Blocks{});
    // A line longer than the buffer comes in pieces, none of which ends
    // between CR and LF, and its end may come with nothing left of it.
    EXPECT_EQ(ReadBlocks("abcd\r\ngh\n", 6), (Blocks{"abcd+", "\r\ngh\n"}));
    EXPECT_EQ(ReadBlocks("ab\nabc\r\r\nxyz", 5), (Blocks{"ab\n", "abc+", "\r\r\n", "xyz"}));
    EXPECT_EQ(ReadBlocks("abcdefgh", 5), (Blocks{"abcd+", "efgh+", ""}));
    // Every block but the last ends with LF or inside a line; together they
    // are the input, and the buffer keeps its size.
    std::string input = "a\r\nbb\n\nccc\r" + std::string(5000, 'x') + "\r\r\r\nz";
    for (std::size_t size : {1u, 2u, 3u, 4u, 7u, 64u}) {
        std::size_t sizeAfter = 0;
        Blocks blocks = ReadBlocks(input, size, &sizeAfter);
        std::string joined;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            bool piece = !blocks[i].empty() && blocks[i].back() == '+';
            if (piece) blocks[i].pop_back();
            if (i + 1 < blocks.size()) {
                EXPECT_TRUE(piece ? blocks[i].find('\n') == std::string::npos : blocks[i].back() == '\n') << size;
            }
            joined += blocks[i];
        }
        EXPECT_EQ(joined, input) << size;
        EXPECT_EQ(blocks.back(), "z") << size;
        EXPECT_EQ(sizeAfter, std::max(size, TextReader::kSmallestBuffer)) << size;
    }
}

}  // namespace

// Also the line filter's model test's.
// The copy and the summary of a thread whose source holds `bytes`.
std::string CopyThroughReader(const std::string& bytes, std::size_t bufferSize, ThreadSummary& summary,
                 bool* brokenTitle = nullptr) {
    platform::FileHandle source = OpenInput(bytes);
    std::string copyPath = TempPath("text_reader_copy");
    std::remove(copyPath.c_str());
    platform::FileHandle copy;
    EXPECT_EQ(platform::CreateNewFile(copyPath, platform::IfPresent::Replace, copy), platform::IoError::None);
    TransferBuffers buffers;
    buffers.lines.resize(bufferSize);
    CopyResult result = CopyLines(source, copy, buffers, summary);
    EXPECT_EQ(result.readError, platform::IoError::None);
    EXPECT_EQ(result.writeError, platform::IoError::None);
    if (brokenTitle != nullptr) *brokenTitle = result.brokenTitle;
    platform::CloseFile(copy);
    platform::CloseFile(source);
    return ReadFile(copyPath);
}

namespace {

TEST(CopyLines, KeepsLinesOfTwoBytesOrMoreWithLfEnds) {
    std::string input = std::string("ab\r\ncd\ne\rf\r\r\n\r\nx\n\n") + std::string("g\0hi\nj\0\nk", 9) + "\r";
    for (std::size_t size : {1u, 2u, 3u, 7u, 4096u}) {
        ThreadSummary summary;
        EXPECT_EQ(CopyThroughReader(input, size, summary), "ab\ncd\ne\rf\r\nk\r\n") << size;
        EXPECT_EQ(summary.postCount, 4) << size;
    }
}

TEST(CopyLines, TakesTitleAndLastDateAndTimeAcrossBlocks) {
    std::string input = "n<>m<>2004/05/10 12:34:56<>x<>the title\r\n" + std::string(3000, 'y') +
                        "\r\nn<>m<>2005/06/07 01:02<>x\nn<>m<>2006/01/02(Mon) 03:04:05<>x\n" + std::string(900, 'z');
    for (std::size_t size : {5u, 64u, 4096u}) {
        ThreadSummary summary;
        CopyThroughReader(input, size, summary);
        EXPECT_EQ(summary.title, "the title") << size;
        EXPECT_EQ(summary.postCount, 5) << size;
        EXPECT_EQ(summary.lastPostDate, "2005/06/07") << size;
        EXPECT_EQ(summary.lastPostTime, "03:04:05") << size;
    }
}

TEST(CopyLines, StopsAfterTheFirstLineWhenItsTitleIsTooLong) {
    ThreadSummary summary;
    bool brokenTitle = false;
    std::string first = "\r\nn<>m<>d t<>x<>" + std::string(102, 't');
    EXPECT_EQ(CopyThroughReader(first + "\r\nsecond line\n", 16, summary, &brokenTitle), first.substr(2) + "\n");
    EXPECT_TRUE(brokenTitle);
    EXPECT_EQ(summary.title, std::string(102, 't'));

    ThreadSummary accepted;
    CopyThroughReader("a>" + std::string(101, 'u') + "\n", 16, accepted, &brokenTitle);
    EXPECT_FALSE(brokenTitle);
    EXPECT_EQ(accepted.title, std::string(101, 'u'));
}

}  // namespace
