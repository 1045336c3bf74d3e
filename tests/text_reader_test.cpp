#include "platform/text_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Reads a file written with the given bytes through the text-mode reader.
std::vector<std::string> ReadLines(const std::string& bytes, std::size_t blockSize) {
    std::string path = testing::TempDir() + "/text_reader_input";
    std::ofstream(path, std::ios::binary) << bytes;
    platform::FileHandle file;
    platform::FileIdentity identity;
    EXPECT_EQ(platform::OpenForReading(path, file, identity), platform::IoError::None);
    std::vector<char> buffer(blockSize);
    platform::TextReader reader(file, buffer);
    std::vector<std::string> lines;
    platform::LineView line;
    while (reader.NextLine(line)) lines.emplace_back(line.data, line.size);
    EXPECT_EQ(reader.error(), platform::IoError::None);
    platform::CloseFile(file);
    std::remove(path.c_str());
    return lines;
}

using Lines = std::vector<std::string>;

TEST(TextReader, ReadsCrLfAsLfAndKeepsLoneCr) {
    for (std::size_t block : {1u, 2u, 3u, 7u, 4096u}) {
        EXPECT_EQ(ReadLines("ab\r\ncd\ne\rf\r\r\ng", block), (Lines{"ab", "cd", "e\rf\r", "g"})) << block;
        EXPECT_EQ(ReadLines("x\r", block), (Lines{"x\r"})) << block;
    }
}

TEST(TextReader, StopsAtControlZ) {
    for (std::size_t block : {1u, 5u, 4096u}) {
        EXPECT_EQ(ReadLines("ab\ncd\x1a" "ef\ngh\n", block), (Lines{"ab", "cd"})) << block;
        EXPECT_EQ(ReadLines("\x1a" "ab\n", block), Lines{}) << block;
    }
}

TEST(TextReader, KeepsNulAndHandsOutLongLinesWhole) {
    std::string longLine(100000, 'x');
    EXPECT_EQ(ReadLines(longLine + "\r\nz\n", 16), (Lines{longLine, "z"}));
    EXPECT_EQ(ReadLines(std::string("a\0b\n", 4), 2), (Lines{std::string("a\0b", 3)}));
    EXPECT_EQ(ReadLines("\n\n", 8), (Lines{"", ""}));
}

}  // namespace
