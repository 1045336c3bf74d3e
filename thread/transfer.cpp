#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/console.h"
#include "platform/messages.h"
#include "platform/text_reader.h"
#include "thread/thread.h"

namespace {

using platform::IoError;

// A buffer grown for one very long line goes back to its usual size.
void ShrinkAfterLongLine(std::vector<char>& buffer) {
    if (buffer.size() > platform::TextReader::kBlockSize) std::vector<char>().swap(buffer);
}

// Buffered writes into the copy; the first error sticks. The buffer goes out
// only when full, so every write but the last covers whole pages of the copy.
struct CopyWriter {
    explicit CopyWriter(std::vector<char>& buffer)
        : bufferStart(buffer.data()), bufferEnd(buffer.data() + buffer.size()), cursor(bufferStart) {}

    platform::FileHandle file;
    char* const bufferStart;
    char* const bufferEnd;
    char* cursor;
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
    // Writes what is left and closes the file.
    IoError Close() {
        Flush();
        IoError closeError = platform::CloseFile(file);
        return error != IoError::None ? error : closeError;
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

void ReportFailure(ThreadLane& lane, const char* message, const std::string& path, IoError error, RunTally& tally) {
    lane.Line(stderr, {message, platform::AsPath(path), CauseText(error)});
    ++tally.failed;
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

// Creates the file the copy is written to; false when there is none. With
// nothing at its place, that is the place itself: until its index exists, a
// later run takes the copy for unfinished and writes it again, and an abandoned
// copy is simply removed. Whatever is there already (a stale copy, a planted
// link) is replaced only by a complete copy moved over it, so a link is
// replaced, not written through, and only once no earlier thread can still
// stop the run.
bool StartCopy(const platform::FileIdentity& sourceIdentity, ThreadLane& lane, PreparedThread& prepared,
               platform::FileHandle& file) {
    const std::string& destinationFile = prepared.destinationFile;
    std::string writtenFile = destinationFile;
    IoError error = platform::CreateNewFile(writtenFile, platform::IfPresent::Refuse, file);
    if (error == IoError::AlreadyExists) {
        platform::FileIdentity destinationIdentity;
        if (platform::IdentityOf(destinationFile, destinationIdentity) && destinationIdentity == sourceIdentity) {
            lane.Line(stderr, {text::kSameFile, platform::AsPath(destinationFile)});
            ++prepared.tally.failed;
            return false;
        }
        if (!lane.WaitForTurn()) return false;
        writtenFile = destinationFile + kTemporarySuffix;
        error = platform::CreateNewFile(writtenFile, platform::IfPresent::Replace, file);
    }
    if (error != IoError::None) {
        ReportFailure(lane, text::kCopyUnwritable, destinationFile, error, prepared.tally);
        return false;
    }
    prepared.writtenFile = writtenFile;
    return true;
}

// Writes the copy and closes it; the source is the caller's to close.
void WriteCopy(const std::string& sourceFile, platform::FileHandle source, ThreadLane& lane,
               PreparedThread& prepared, CopyWriter& writer) {
    prepared.summary.url = prepared.locations.url;
    platform::TextReader reader(source, lane.buffers.reading);
    CopyOutcome outcome = CopyLines(reader, writer, prepared.summary);
    ShrinkAfterLongLine(lane.buffers.reading);
    if (outcome == CopyOutcome::ReadFailed) {
        platform::CloseFile(writer.file);
        platform::RemoveFile(prepared.writtenFile);
        prepared.writtenFile.clear();
        return ReportFailure(lane, text::kSourceUnreadable, sourceFile, reader.error(), prepared.tally);
    }
    prepared.stage = PreparedThread::Stage::Copied;
    if (outcome == CopyOutcome::BrokenTitle) {
        lane.Line(stdout, {text::kBrokenTitle, prepared.summary.title});
        prepared.stage = PreparedThread::Stage::BrokenTitle;
    }
    IoError error = writer.Close();
    if (error != IoError::None) {
        platform::RemoveFile(prepared.writtenFile);
        prepared.writtenFile.clear();
        if (prepared.stage == PreparedThread::Stage::Copied) prepared.stage = PreparedThread::Stage::Settled;
        ReportFailure(lane, text::kCopyUnwritable, prepared.destinationFile, error, prepared.tally);
    }
}

ConvertResult FinishThread(PreparedThread& prepared, ThreadLane& lane) {
    if (prepared.stage == PreparedThread::Stage::Settled) return Continue;
    const std::string& writtenFile = prepared.writtenFile;
    bool inPlace = !writtenFile.empty();
    if (inPlace && writtenFile != prepared.destinationFile) {
        IoError error = platform::ReplaceFile(writtenFile, prepared.destinationFile);
        if (error != IoError::None) {
            platform::RemoveFile(writtenFile);
            ReportFailure(lane, text::kCopyUnwritable, prepared.destinationFile, error, prepared.tally);
            inPlace = false;
        }
    }
    if (prepared.stage == PreparedThread::Stage::BrokenTitle) return Abort;
    if (!inPlace) return Continue;

    const ThreadSummary& summary = prepared.summary;
    IoError error = WriteIndexRecord(prepared.locations.indexFile, summary);
    if (error != IoError::None) {
        ReportFailure(lane, text::kIndexUnwritable, prepared.locations.indexFile, error, prepared.tally);
        return Continue;
    }
    // The URL is made of folder names, so it is shown as the file system gives them.
    lane.Line(stdout, {text::kCompletionOpen, summary.title, text::kCompletionMiddle, platform::AsPath(summary.url),
                       text::kCompletionClose});
    ++prepared.tally.migrated;
    return Continue;
}

// Console lines straight out; every earlier thread is always done.
class DirectLane : public ThreadLane {
public:
    using ThreadLane::ThreadLane;
    void Line(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) override {
        platform::WriteLine(stream, pieces);
    }
    bool WaitForTurn() override { return true; }
};

}  // namespace

void PrepareThread(const std::string& sourceFile, const std::string& destinationFile,
                   const std::string& destinationRoot, ThreadLane& lane, PreparedThread& prepared) {
    lane.Line(stdout, {text::kProgress, platform::AsPath(sourceFile)});
    prepared.destinationFile = destinationFile;
    prepared.locations = LocateThread(destinationFile, destinationRoot);
    if (!prepared.locations.hasHost) {
        lane.Line(stderr, {text::kThreadAtRoot, platform::AsPath(sourceFile)});
        return;
    }
    if (IsIndexed(prepared.locations.indexFile)) {
        ++prepared.tally.passedOver;
        return;
    }
    platform::FileHandle source;
    platform::FileIdentity sourceIdentity;
    IoError error = platform::OpenForReading(sourceFile, source, sourceIdentity);
    if (error != IoError::None) {
        return ReportFailure(lane, text::kSourceUnreadable, sourceFile, error, prepared.tally);
    }
    CopyWriter writer(lane.buffers.writing);
    if (StartCopy(sourceIdentity, lane, prepared, writer.file)) {
        WriteCopy(sourceFile, source, lane, prepared, writer);
    }
    platform::CloseFile(source);
}

ConvertResult CommitThread(PreparedThread& prepared, ThreadLane& lane, RunTally& tally) {
    ConvertResult result = FinishThread(prepared, lane);
    tally.migrated += prepared.tally.migrated;
    tally.passedOver += prepared.tally.passedOver;
    tally.failed += prepared.tally.failed;
    return result;
}

void AbandonThread(PreparedThread& prepared) {
    if (!prepared.writtenFile.empty()) platform::RemoveFile(prepared.writtenFile);
}

ConvertResult ConvertThread(const std::string& sourceFile, const std::string& destinationFile,
                            const std::string& destinationRoot, RunTally& tally) {
    static TransferBuffers buffers;
    static DirectLane lane(buffers);
    PreparedThread prepared;
    PrepareThread(sourceFile, destinationFile, destinationRoot, lane, prepared);
    return CommitThread(prepared, lane, tally);
}
