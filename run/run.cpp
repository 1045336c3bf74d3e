#include "run/run.h"

#include "platform/console.h"

void ReportFailure(FailedItem item, const char* message, const std::string& path, const char* cause,
                   RunTally& tally) {
    platform::WriteLine(stderr, {message, platform::AsPath(path), cause});
    ++(item == FailedItem::Thread ? tally.failed : tally.failedFolders);
    tally.failures.push_back(Failure{message, path, cause});
}

void ReportFailureAt(std::size_t linePosition, std::size_t failurePosition, FailedItem item, const char* message,
                     const std::string& path, const char* cause, RunTally& tally) {
    platform::HoldLineAt(linePosition, stderr, {message, platform::AsPath(path), cause});
    ++(item == FailedItem::Thread ? tally.failed : tally.failedFolders);
    tally.failures.insert(tally.failures.begin() + static_cast<std::ptrdiff_t>(failurePosition),
                          Failure{message, path, cause});
}

namespace {

// Failures that may come from the disk rather than from the file itself.
bool MayBeTheDisk(platform::IoError error) {
    switch (error) {
        case platform::IoError::None:
        case platform::IoError::NotAFile:
        case platform::IoError::NameTooLong:
        case platform::IoError::FileTooLarge:
        case platform::IoError::AlreadyExists: return false;
        default: return true;
    }
}

// Whether the folder's disk still answers: the folder opens and lists.
platform::IoError Answers(const std::string& folder) {
    platform::DirectorySearch search;
    platform::DirectoryEntry entry;
    if (platform::StartSearch(folder, search)) {
        platform::NextEntry(search, entry);
        platform::CloseSearch(search);
    }
    return search.error;
}

}  // namespace

// A name too long for the probe beside the root says nothing of the disk.
bool TakesFiles(platform::IoError probe) {
    return probe == platform::IoError::None || probe == platform::IoError::NameTooLong;
}

void NoteFailure(Side side, platform::IoError error, RunTally& tally) {
    if (tally.stop != RunStop::None || !MayBeTheDisk(error)) return;
    if (side == Side::Source) {
        if (Answers(tally.sourceRoot) != platform::IoError::None) tally.stop = RunStop::SourceGone;
        return;
    }
    bool full = error == platform::IoError::DiskFull;
    platform::IoError root = full ? error : platform::TakesNewFile(tally.destinationRoot);
    if (root == platform::IoError::DiskFull) {
        tally.stop = RunStop::DestinationFull;
    } else if (!TakesFiles(root)) {
        tally.stop = RunStop::DestinationGone;
    }
}
