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

// Buffered writes into the copy; the first error sticks.
struct CopyWriter {
    platform::FileHandle file;
    std::vector<char>& buffer = Buffers().writing;
    std::size_t used = 0;
    IoError error = IoError::None;

    void Flush() {
        if (used > 0 && error == IoError::None) error = platform::WriteAll(file, buffer.data(), used);
        used = 0;
    }
    // Appends one line and its LF.
    void AppendLine(const char* data, std::size_t size) {
        if (used + size + 1 > buffer.size()) {
            Flush();
            if (size + 1 > buffer.size()) {
                if (error == IoError::None) error = platform::WriteAll(file, data, size);
                if (error == IoError::None) error = platform::WriteAll(file, "\n", 1);
                return;
            }
        }
        std::memcpy(buffer.data() + used, data, size);
        buffer[used + size] = '\n';
        used += size + 1;
    }
    // Writes what is left, closes the file and moves it into place.
    IoError Finish(const std::string& temporary, const std::string& destinationFile) {
        Flush();
        IoError closeError = platform::CloseFile(file);
        if (error == IoError::None) error = closeError;
        if (error == IoError::None) error = platform::ReplaceFile(temporary, destinationFile);
        if (error != IoError::None) platform::RemoveFile(temporary);
        return error;
    }
    void Discard(const std::string& temporary) {
        platform::CloseFile(file);
        platform::RemoveFile(temporary);
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
    if (platform::IdentityOf(destinationFile, destinationIdentity) && destinationIdentity == sourceIdentity) {
        platform::CloseFile(source);
        platform::WriteLine(stderr, {text::kSameFile, platform::AsPath(destinationFile)});
        ++tally.failed;
        return Continue;
    }

    // The copy is written beside its place and moved there when complete, so
    // a link planted at the destination is replaced rather than written through.
    std::string temporary = destinationFile + kTemporarySuffix;
    CopyWriter writer;
    error = platform::CreateNewFile(temporary, writer.file);
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
        writer.Discard(temporary);
        platform::CloseFile(source);
        return ReportFailure(text::kSourceUnreadable, sourceFile, reader.error(), tally);
    }
    if (outcome == CopyOutcome::BrokenTitle) {
        platform::WriteLine(stdout, {text::kBrokenTitle, summary.title});
    }
    error = writer.Finish(temporary, destinationFile);
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
