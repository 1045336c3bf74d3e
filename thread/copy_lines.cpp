// The copy of one thread's lines. Each block of lines is filtered where it was
// read and goes out from there: a line is moved only when something before it
// in the block was dropped, so a block that needs no change is written as read.
// A line longer than the buffer goes out piece by piece as it is read.
#include <cstring>

#include "thread/keep_lines.h"
#include "thread/text_reader.h"
#include "thread/thread.h"

namespace {

// Takes the date and time that the kept lines [begin, end) leave behind, as if
// each line were captured in turn: the last line with a time gives the time,
// the last one with a date gives the date. Working back from the last line,
// usually that line alone is read.
void CaptureKeptLines(const char* begin, const char* end, ThreadSummary& summary) {
    bool timeTaken = false;
    const char* lineEnd = end - 1;  // at the LF of the last line
    for (;;) {
        const char* start = lineEnd;
        while (start > begin && start[-1] != '\n') --start;
        PostDateTime post = ReadPostDateTime(std::string_view(start, static_cast<std::size_t>(lineEnd - start)));
        if (post.hasTime()) {
            if (!timeTaken) TakeTime(post, summary);
            timeTaken = true;
            if (post.hasDate()) return TakeDate(post, summary);
        }
        if (start == begin) return;
        lineEnd = start - 1;
    }
}

// The bytes of a copy after which the disk is set to write them, so that a
// long copy's write-back runs beside its line work rather than after it.
constexpr std::uint64_t kWriteBackStep = 8 << 20;

// Writes what is kept of a block, setting the disk to write back each
// kWriteBackStep bytes.
struct CopyWriter {
    platform::FileHandle copy;
    CopyResult& result;
    std::uint64_t written = 0;
    std::uint64_t writtenBack = 0;

    void Write(const char* begin, const char* end) {
        if (begin == end) return;
        result.writeError = platform::WriteAll(copy, begin, static_cast<std::size_t>(end - begin));
        written += static_cast<std::uint64_t>(end - begin);
        if (written - writtenBack >= kWriteBackStep) {
            platform::StartWriteBack(copy, writtenBack, written - writtenBack);
            writtenBack = written;
        }
    }
};

}  // namespace

CopyResult CopyLines(platform::FileHandle source, platform::FileHandle copy, TransferBuffers& buffers,
                     ThreadSummary& summary) {
    TextReader reader(source, buffers.lines);
    CopyResult result;
    CopyWriter writer{copy, result};
    LongLine longLine;
    char* begin = nullptr;
    char* end = nullptr;
    while (!result.brokenTitle && result.writeError == platform::IoError::None && reader.NextLines(begin, end)) {
        if (longLine.open || reader.EndsInsideLine()) {
            // A line longer than the buffer: this piece of it runs to the
            // block's first LF, or through the block.
            auto* lineFeed = static_cast<char*>(std::memchr(begin, '\n', static_cast<std::size_t>(end - begin)));
            char* pieceEnd = lineFeed != nullptr ? lineFeed : end;
            writer.Write(begin, KeepPiece(begin, pieceEnd, lineFeed != nullptr, !reader.EndsInsideLine(), longLine,
                                          summary, result.brokenTitle));
            if (lineFeed == nullptr || result.brokenTitle || result.writeError != platform::IoError::None) continue;
            begin = lineFeed + 1;
        }
        char* kept = KeepLines(begin, end, summary, result.brokenTitle);
        if (kept == begin) continue;
        if (!result.brokenTitle) CaptureKeptLines(begin, kept, summary);
        writer.Write(begin, kept);
    }
    result.readError = reader.error();
    return result;
}
