#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/console.h"
#include "platform/messages.h"
#include "platform/text_reader.h"
#include "thread/thread.h"

namespace {

using platform::IoError;

// The read and write buffers, made once and used by every thread of the run,
// so a thread costs no allocation and no fresh pages.
struct TransferBuffers {
    std::vector<char> reading;
    std::vector<char> writing = std::vector<char>(256 * 1024);
};

TransferBuffers& Buffers() {
    static TransferBuffers buffers;
    return buffers;
}

// A buffer grown for one very long line goes back to its usual size.
void ShrinkAfterLongLine(std::vector<char>& buffer) {
    if (buffer.size() > platform::TextReader::kBlockSize) std::vector<char>().swap(buffer);
}

// Buffered writes into the copy; the first error sticks. The buffer goes out
// only when full, so every write but the last covers whole pages of the copy.
struct CopyWriter {
    platform::FileHandle file;
    char* const bufferStart = Buffers().writing.data();
    char* const bufferEnd = bufferStart + Buffers().writing.size();
    char* cursor = bufferStart;
    IoError error = IoError::None;

    void Flush() {
        std::size_t used = static_cast<std::size_t>(cursor - bufferStart);
        if (used > 0 && error == IoError::None) error = platform::WriteAll(file, bufferStart, used);
        cursor = bufferStart;
    }
    // Appends one line and its LF.
    void AppendLine(const char* data, std::size_t size) {
        if (size < static_cast<std::size_t>(bufferEnd - cursor)) {
            std::memcpy(cursor, data, size);
            cursor[size] = '\n';
            cursor += size + 1;
            return;
        }
        AppendInPieces(data, size);
        AppendInPieces("\n", 1);
    }
    void AppendInPieces(const char* data, std::size_t size) {
        while (size > 0) {
            std::size_t room = static_cast<std::size_t>(bufferEnd - cursor);
            std::size_t piece = size < room ? size : room;
            std::memcpy(cursor, data, piece);
            cursor += piece;
            data += piece;
            size -= piece;
            if (cursor == bufferEnd) Flush();
        }
    }
    // Writes what is left, closes the file and, if it was written beside its
    // place, moves it there.
    IoError Finish(const std::string& writtenFile, const std::string& destinationFile) {
        Flush();
        IoError closeError = platform::CloseFile(file);
        if (error == IoError::None) error = closeError;
        if (error == IoError::None && writtenFile != destinationFile) {
            error = platform::ReplaceFile(writtenFile, destinationFile);
        }
        if (error != IoError::None) platform::RemoveFile(writtenFile);
        return error;
    }
    void Discard(const std::string& writtenFile) {
        platform::CloseFile(file);
        platform::RemoveFile(writtenFile);
    }
};

const char* CauseText(IoError error) {
    switch (error) {
        case IoError::NotFound: return text::kCauseNotFound;
        case IoError::AccessDenied: return text::kCauseAccessDenied;
        case IoError::DiskFull: return text::kCauseDiskFull;
        case IoError::NameTooLong: return text::kCauseNameTooLong;
        case IoError::NotAFile: return text::kCauseNotAFile;
        default: return text::kCauseOther;
    }
}

ConvertResult ReportFailure(const char* message, const std::string& path, IoError error, RunTally& tally) {
    platform::WriteLine(stderr, {message, platform::AsPath(path), CauseText(error)});
    ++tally.failed;
    return Continue;
}

// A line's text ends at its first NUL byte.
std::string_view LineText(const platform::LineView& line) {
    const void* nul = std::memchr(line.data, '\0', line.size);
    std::size_t size = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - line.data) : line.size;
    return std::string_view(line.data, size);
}

std::string_view TitleOf(std::string_view firstLine) {
    std::size_t lastMark = firstLine.rfind('>');
    if (lastMark == std::string_view::npos) return std::string_view();
    return firstLine.substr(lastMark + 1);
}

enum class CopyOutcome { Complete, BrokenTitle, ReadFailed };

// Takes the date and time that the lines of one buffer leave behind, as if
// each line were captured in turn: the last line with a time gives the time,
// the last line with a date gives the date. Working back from the last line,
// usually that line alone is read. The lines lie one after another from
// `first` to `last`, each ended by LF or CR LF.
void CaptureLines(const char* first, platform::LineView last, ThreadSummary& summary) {
    std::string_view line(last.data, last.size);
    bool timeTaken = false;
    while (true) {
        PostDateTime post = ReadPostDateTime(line.substr(0, line.find('\0')));
        if (post.hasTime) {
            if (!timeTaken) TakeTime(post, summary);
            timeTaken = true;
            if (post.hasDate) {
                TakeDate(post, summary);
                return;
            }
        }
        if (line.data() == first) return;
        const char* end = line.data() - 1;  // the LF of the line before
        const char* begin = end;
        while (begin > first && begin[-1] != '\n') --begin;
        std::size_t size = static_cast<std::size_t>(end - begin);
        if (size > 0 && begin[size - 1] == '\r') --size;
        line = std::string_view(begin, size);
    }
}

// Copies the lines of two bytes or more, each ended by LF, and gathers the
// summary, one buffer of lines at a time.
CopyOutcome CopyLines(platform::TextReader& reader, CopyWriter& writer, ThreadSummary& summary) {
    do {
        platform::LineView line;
        platform::LineView lastKept;
        const char* first = nullptr;
        while (reader.BufferedLine(line)) {
            if (first == nullptr) first = line.data;
            std::string_view text(line.data, line.size);
            if (reader.mayHoldNul()) text = LineText(line);
            if (text.size() < 2) continue;
            lastKept = line;
            writer.AppendLine(text.data(), text.size());
            if (++summary.postCount == 1) {
                std::string_view title = TitleOf(text);
                summary.title.assign(title);
                if (title.size() > kTitleLimit) return CopyOutcome::BrokenTitle;
            }
        }
        if (lastKept.data != nullptr) CaptureLines(first, lastKept, summary);
    } while (reader.ReadMore());
    return reader.error() == IoError::None ? CopyOutcome::Complete : CopyOutcome::ReadFailed;
}

}  // namespace

ConvertResult ConvertThread(const std::string& sourceFile, const std::string& destinationFile,
                            const std::string& destinationRoot, RunTally& tally) {
    platform::WriteLine(stdout, {text::kProgress, platform::AsPath(sourceFile)});
    ThreadLocations locations = LocateThread(destinationFile, destinationRoot);
    if (!locations.hasHost) {
        platform::WriteLine(stderr, {text::kThreadAtRoot, platform::AsPath(sourceFile)});
        return Continue;
    }
    if (IsIndexed(locations.indexFile)) {
        ++tally.passedOver;
        return Continue;
    }

    platform::FileHandle source;
    platform::FileIdentity sourceIdentity;
    IoError error = platform::OpenForReading(sourceFile, source, sourceIdentity);
    if (error != IoError::None) return ReportFailure(text::kSourceUnreadable, sourceFile, error, tally);
    platform::FileIdentity destinationIdentity;
    bool destinationTaken = platform::IdentityOf(destinationFile, destinationIdentity);
    if (destinationTaken && destinationIdentity == sourceIdentity) {
        platform::CloseFile(source);
        platform::WriteLine(stderr, {text::kSameFile, platform::AsPath(destinationFile)});
        ++tally.failed;
        return Continue;
    }

    // With nothing at its place, the copy is written there: until its index
    // exists, a later run takes it for unfinished and writes it again. Whatever
    // is there already (a stale copy, a planted link) stays until a complete copy,
    // written beside it, is moved over it, so a link is replaced, not written through.
    std::string writtenFile = destinationTaken ? destinationFile + kTemporarySuffix : destinationFile;
    CopyWriter writer;
    error = platform::CreateNewFile(writtenFile, writer.file);
    if (error != IoError::None) {
        platform::CloseFile(source);
        return ReportFailure(text::kCopyUnwritable, destinationFile, error, tally);
    }

    ThreadSummary summary;
    summary.url = locations.url;
    platform::TextReader reader(source, Buffers().reading);
    CopyOutcome outcome = CopyLines(reader, writer, summary);
    ShrinkAfterLongLine(Buffers().reading);
    if (outcome == CopyOutcome::ReadFailed) {
        writer.Discard(writtenFile);
        platform::CloseFile(source);
        return ReportFailure(text::kSourceUnreadable, sourceFile, reader.error(), tally);
    }
    if (outcome == CopyOutcome::BrokenTitle) {
        platform::WriteLine(stdout, {text::kBrokenTitle, summary.title});
    }
    error = writer.Finish(writtenFile, destinationFile);
    platform::CloseFile(source);
    if (error != IoError::None) ReportFailure(text::kCopyUnwritable, destinationFile, error, tally);
    if (outcome == CopyOutcome::BrokenTitle) return Abort;
    if (error != IoError::None) return Continue;

    error = WriteIndexRecord(locations.indexFile, summary);
    if (error != IoError::None) return ReportFailure(text::kIndexUnwritable, locations.indexFile, error, tally);
    // The URL is made of folder names, so it is shown as the file system gives them.
    platform::WriteLine(stdout, {text::kCompletionOpen, summary.title, text::kCompletionMiddle,
                                 platform::AsPath(summary.url), text::kCompletionClose});
    ++tally.migrated;
    return Continue;
}
