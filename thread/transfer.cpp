// One thread's conversion, from its progress line until its copy is written
// and the thread waits in its group.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string_view>

#include "disk/disk.h"
#include "run/lines.h"
#include "texts/japanese.h"
#include "thread/thread.h"

using platform::IoError;

namespace {

// Reports the failure, then puts it to the disk: a full destination, or a
// disk that no longer answers, also stops the walk, as every later thread
// would fail the same way.
void ReportThreadFailure(disk::Side side, const char* message, const std::string& path, IoError error,
                         RunTally& tally) {
    ReportFailure(FailedItem::Thread, message, path, CauseText(error), tally);
    disk::AskDisk(tally.disks, side, error);
}

// The thread file being read: its size and last write time before the first
// read tell whether the reader changed it while it was copied.
struct Source {
    const std::string& path;
    platform::FileHandle file;
    platform::FileState state;
};

std::size_t StemHash(std::string_view stem) {
    return std::hash<std::string_view>()(stem);
}

// Creates the file the copy is written to. With nothing at its place, that is
// the place itself: until its index exists, a later run takes the copy for
// unfinished and writes it again. Whatever is there already (a stale copy, a
// planted link) is replaced only by a complete copy moved over it, so a link
// is replaced, not written through.
// The identities are asked only then: most copies are new.
bool StartCopy(const std::string& destinationFile, platform::FileHandle source, disk::WrittenFile& copy,
               RunTally& tally) {
    IoError error = disk::CreateWritten(destinationFile, disk::Where::AtPlace, copy);
    if (error == IoError::AlreadyExists) {
        platform::FileIdentity sourceIdentity;
        platform::FileIdentity destinationIdentity;
        if (platform::IdentityOfFile(source, sourceIdentity) &&
            platform::IdentityOf(destinationFile, destinationIdentity) && destinationIdentity == sourceIdentity) {
            ReportFailure(FailedItem::Thread, text::kSameFile, destinationFile, "", tally);
            return false;
        }
        error = disk::CreateWritten(destinationFile, disk::Where::Beside, copy);
    }
    if (error != IoError::None) {
        ReportThreadFailure(disk::Side::Destination, text::kCopyUnwritable, destinationFile, error, tally);
        return false;
    }
    return true;
}

// Closes a copy that no index will stand for (a broken title's, or one whose
// write failed) and puts it in its place; with any failure it is reported
// and nothing of it is left.
void CloseUnindexedCopy(IoError writeError, disk::WrittenFile& copy, RunTally& tally) {
    IoError error = writeError;
    if (error == IoError::None) {
        error = disk::Commit(copy);
    } else {
        disk::RollBack(copy);
    }
    if (error != IoError::None) {
        ReportThreadFailure(disk::Side::Destination, text::kCopyUnwritable, copy.place, error, tally);
    }
}

// Copies the thread's lines into the copy; false where the thread ends there,
// reported: a failed read or write, or a broken title, which aborts the run.
bool CopyThreadLines(const Source& source, disk::WrittenFile& copy, TransferBuffers& buffers, ThreadSummary& summary,
                     ConvertResult& result, RunTally& tally) {
    CopyResult copied = CopyLines(source.file, copy.file, buffers, summary);
    if (copied.readError != IoError::None) {
        disk::RollBack(copy);
        ReportThreadFailure(disk::Side::Source, text::kSourceUnreadable, source.path, copied.readError, tally);
        return false;
    }
    if (copied.brokenTitle) WriteLine(stdout, {text::kBrokenTitle, summary.title});
    if (!copied.brokenTitle && copied.writeError == IoError::None) return true;
    CloseUnindexedCopy(copied.writeError, copy, tally);
    result = copied.brokenTitle ? Abort : Continue;
    return false;
}

// The thread file must be as it was before the first read: one the reader
// appended to while it was copied may have been copied up to the middle of a
// post, which would then be counted and indexed for ever.
bool SourceUnchanged(const Source& source, RunTally& tally) {
    platform::FileState now;
    IoError stateError = platform::StateOf(source.file, now);
    if (stateError != IoError::None) {
        ReportThreadFailure(disk::Side::Source, text::kSourceUnreadable, source.path, stateError, tally);
        return false;
    }
    if (now == source.state) return true;
    ReportFailure(FailedItem::Thread, text::kSourceChanged, source.path, text::kCauseSourceChanged, tally);
    return false;
}

// Puts the thread, its copy and its index record still open, into the group;
// the lines made from then on wait behind it until the group commits.
void JoinGroup(const disk::WrittenFile& copy, const disk::WrittenFile& index, const ThreadLocations& locations,
               const ThreadSummary& summary, ThreadGroup& group) {
    group.threads.push_back(
        PendingThread{copy, index, StemHash(locations.stem), summary.title, locations.url, group.held.lines.size()});
    HoldLinesIn(&group.held);
}

// Writes the copy and the index record and puts the thread, both still open,
// into the group; the source is the caller's to close.
ConvertResult TransferThread(const Source& source, disk::WrittenFile& copy, const ThreadLocations& locations,
                             TransferBuffers& buffers, ThreadGroup& group, RunTally& tally) {
    ThreadSummary summary;
    summary.url = locations.indexUrl;
    ConvertResult result = Continue;
    if (!CopyThreadLines(source, copy, buffers, summary, result, tally)) return result;
    if (!SourceUnchanged(source, tally)) {
        disk::RollBack(copy);
        return Continue;
    }
    disk::WrittenFile index;
    IoError indexError = WriteIndexRecord(locations.indexFile, summary, index);
    if (indexError != IoError::None) {
        disk::RollBack(copy);
        ReportThreadFailure(disk::Side::Destination, text::kIndexUnwritable, locations.indexFile, indexError, tally);
        return Continue;
    }
    JoinGroup(copy, index, locations, summary, group);
    return Continue;
}

// The threads a group holds, each with two files open: fewer where the system
// allows fewer open files, less a share for the walk's folders, the sources,
// the console and the index being written.
std::size_t GroupThreads() {
    constexpr std::size_t kKeptFree = 64;
    static const std::size_t limit = std::clamp<std::size_t>(
        platform::OpenFilesLimit() > 2 * kKeptFree ? (platform::OpenFilesLimit() - kKeptFree) / 2 : 0, 1,
        kGroupThreads);
    return limit;
}

// Another thread of the group (one stem in two letter cases) will have this index.
bool IsIndexPending(const ThreadGroup& group, const std::string& stem) {
    std::size_t hash = StemHash(stem);
    for (const PendingThread& thread : group.threads) {
        if (thread.stemHash == hash && StemOf(thread.copy.place) == stem) return true;
    }
    return false;
}

}  // namespace

ConvertResult ConvertThread(const std::string& sourceFile, const std::string& destinationFile,
                            const std::string& destinationRoot, TransferBuffers& buffers, ThreadGroup& group,
                            RunTally& tally) {
    WriteLine(stdout, {text::kProgress, platform::AsPath(sourceFile)});
    ThreadLocations locations = LocateThread(destinationFile, destinationRoot);
    if (!locations.hasHost) {
        WriteLine(stderr, {text::kThreadAtRoot, platform::AsPath(sourceFile)});
        return Continue;
    }
    if (IsIndexed(locations.indexFile) || IsIndexPending(group, locations.stem)) {
        ++tally.passedOver;
        return Continue;
    }
    // The index holds the URL in Shift_JIS: a folder name with a character it
    // has none for fails the thread before anything of it is written.
    if (!platform::ShiftJisOf(locations.url, locations.indexUrl)) {
        ReportFailure(FailedItem::Thread, text::kIndexUnwritable, locations.indexFile, text::kCauseUrlNotShiftJis,
                      tally);
        return Continue;
    }
    Source source{sourceFile, {}, {}};
    IoError error = platform::OpenForReading(sourceFile, source.file, source.state);
    if (error != IoError::None) {
        ReportThreadFailure(disk::Side::Source, text::kSourceUnreadable, sourceFile, error, tally);
        return tally.disks.GoOn() ? Continue : Abort;
    }
    // A thread that would take the group past its bytes commits the group
    // first, which also shows this thread's progress line before a long copy.
    if (group.sourceBytes + source.state.size > kGroupBytes) CommitGroup(group, tally);
    group.threads.reserve(GroupThreads());
    disk::WrittenFile copy;
    ConvertResult result = Continue;
    if (tally.disks.GoOn() && StartCopy(destinationFile, source.file, copy, tally)) {
        result = TransferThread(source, copy, locations, buffers, group, tally);
        group.sourceBytes += source.state.size;
    }
    platform::CloseFile(source.file);
    if (group.threads.size() >= GroupThreads() || group.sourceBytes >= kGroupBytes) CommitGroup(group, tally);
    return tally.disks.GoOn() ? result : Abort;
}
