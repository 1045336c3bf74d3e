// One thread's conversion, from its progress line to its completion line.
#include <cstdio>

#include "platform/console.h"
#include "texts/japanese.h"
#include "thread/thread.h"

namespace {

using platform::IoError;

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

void ReportThreadFailure(const char* message, const std::string& path, IoError error, RunTally& tally) {
    ReportFailure(FailedItem::Thread, message, path, CauseText(error), tally);
}

// The copy being written: its file and the name it is written under.
struct Copy {
    platform::FileHandle file;
    std::string writtenFile;
};

// Creates the file the copy is written to. With nothing at its place, that is
// the place itself: until its index exists, a later run takes the copy for
// unfinished and writes it again. Whatever is there already (a stale copy, a
// planted link) is replaced only by a complete copy moved over it, so a link
// is replaced, not written through.
bool StartCopy(const std::string& destinationFile, const platform::FileIdentity& sourceIdentity, Copy& copy,
               RunTally& tally) {
    copy.writtenFile = destinationFile;
    IoError error = platform::CreateNewFile(copy.writtenFile, platform::IfPresent::Refuse, copy.file);
    if (error == IoError::AlreadyExists) {
        platform::FileIdentity destinationIdentity;
        if (platform::IdentityOf(destinationFile, destinationIdentity) && destinationIdentity == sourceIdentity) {
            ReportFailure(FailedItem::Thread, text::kSameFile, destinationFile, "", tally);
            return false;
        }
        copy.writtenFile = destinationFile + kTemporarySuffix;
        error = platform::CreateNewFile(copy.writtenFile, platform::IfPresent::Replace, copy.file);
    }
    if (error != IoError::None) {
        ReportThreadFailure(text::kCopyUnwritable, destinationFile, error, tally);
        return false;
    }
    return true;
}

// Closes the copy and puts it in its place; false, with the failure reported
// and nothing left of the copy, when any write, the flush, the close or the
// move failed. A copy that an index is to stand for is flushed to the disk
// before it is moved into place or, when written in place, before its index
// is written, so that no power cut leaves an index beside a copy that lost
// its bytes.
bool FinishCopy(const std::string& destinationFile, IoError writeError, bool indexFollows, Copy& copy,
                RunTally& tally) {
    IoError error = writeError;
    if (error == IoError::None && indexFollows) error = platform::SyncFile(copy.file);
    IoError closeError = platform::CloseFile(copy.file);
    if (error == IoError::None) error = closeError;
    if (error == IoError::None && copy.writtenFile != destinationFile) {
        error = platform::ReplaceFile(copy.writtenFile, destinationFile);
    }
    if (error == IoError::None) return true;
    platform::RemoveFile(copy.writtenFile);
    ReportThreadFailure(text::kCopyUnwritable, destinationFile, error, tally);
    return false;
}

// Writes the copy and then the index; the source is the caller's to close.
ConvertResult TransferThread(const std::string& sourceFile, platform::FileHandle source, Copy& copy,
                             const std::string& destinationFile, const ThreadLocations& locations,
                             TransferBuffers& buffers, RunTally& tally) {
    ThreadSummary summary;
    summary.url = locations.url;
    CopyResult copied = CopyLines(source, copy.file, buffers, summary);
    if (copied.readError != IoError::None) {
        platform::CloseFile(copy.file);
        platform::RemoveFile(copy.writtenFile);
        ReportThreadFailure(text::kSourceUnreadable, sourceFile, copied.readError, tally);
        return Continue;
    }
    if (copied.brokenTitle) platform::WriteLine(stdout, {text::kBrokenTitle, summary.title});
    bool inPlace = FinishCopy(destinationFile, copied.writeError, !copied.brokenTitle, copy, tally);
    if (copied.brokenTitle) return Abort;
    if (!inPlace) return Continue;

    IoError error = WriteIndexRecord(locations.indexFile, summary);
    if (error != IoError::None) {
        ReportThreadFailure(text::kIndexUnwritable, locations.indexFile, error, tally);
        return Continue;
    }
    // The URL is made of folder names, so it is shown as the file system gives them.
    platform::WriteLine(stdout, {text::kCompletionOpen, summary.title, text::kCompletionMiddle,
                                 platform::AsPath(summary.url), text::kCompletionClose});
    ++tally.migrated;
    return Continue;
}

}  // namespace

ConvertResult ConvertThread(const std::string& sourceFile, const std::string& destinationFile,
                            const std::string& destinationRoot, TransferBuffers& buffers, RunTally& tally) {
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
    if (error != IoError::None) {
        ReportThreadFailure(text::kSourceUnreadable, sourceFile, error, tally);
        return Continue;
    }
    Copy copy;
    ConvertResult result = Continue;
    if (StartCopy(destinationFile, sourceIdentity, copy, tally)) {
        result = TransferThread(sourceFile, source, copy, destinationFile, locations, buffers, tally);
    }
    platform::CloseFile(source);
    return result;
}
