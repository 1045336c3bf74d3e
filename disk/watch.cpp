// The watch over the disks of the two folders a run was given.
#include "disk/disk.h"

namespace disk {

namespace {

using platform::IoError;

struct Watched {
    std::string sourceRoot;
    std::string destinationRoot;
    Verdict source = Verdict::GoesOn;
    Verdict destination = Verdict::GoesOn;
} watched;

// The name of the file that asks a disk without unnamed files whether it
// takes a new one; one left by a kill is replaced by the next run's.
constexpr char kProbeName[] = ".m2t-probe.m2t-tmp";

// Whether the folder takes a new file, found by making one that leaves
// nothing behind. Its flush reaches the disk itself, which a disk gone whose
// folders the system still holds in memory cannot answer.
IoError TakesNewFile(const std::string& folder) {
    std::string probe = folder + platform::kSeparator + kProbeName;
    platform::FileHandle file;
    IoError error = IoError::None;
    bool named = !platform::CreateUnnamedFile(probe, file, error);
    if (named) {
        error = platform::CreateScratchFile(probe, file);
        if (error == IoError::AlreadyExists) {
            platform::RemoveFile(probe);
            error = platform::CreateScratchFile(probe, file);
        }
    }
    if (error != IoError::None) return error;
    error = platform::FlushFile(file);
    platform::CloseFile(file);
    // Where the system deleted it on closing, there is nothing left to remove.
    IoError removed = named ? platform::RemoveFile(probe) : IoError::None;
    return error == IoError::None && removed != IoError::NotFound ? removed : error;
}

// A name too long for the probe beside the root says nothing of the disk.
bool TakesFiles(IoError probe) {
    return probe == IoError::None || probe == IoError::NameTooLong;
}

// Whether the folder's disk still answers: the folder opens and lists.
bool Answers(const std::string& folder) {
    platform::DirectorySearch search;
    platform::DirectoryEntry entry;
    if (platform::StartSearch(folder, search)) platform::NextEntry(search, entry);
    platform::CloseSearch(search);
    return search.error == IoError::None;
}

// Failures that may come from the disk rather than from the file itself.
bool MayBeTheDisk(IoError error) {
    switch (error) {
        case IoError::None:
        case IoError::NotAFile:
        case IoError::NameTooLong:
        case IoError::FileTooLarge:
        case IoError::AlreadyExists:
        case IoError::InUse: return false;
        default: return true;
    }
}

}  // namespace

IoError Watch(const std::string& sourceRoot, const std::string& destinationRoot) {
    watched = Watched{sourceRoot, destinationRoot};
    IoError probe = TakesNewFile(destinationRoot);
    return TakesFiles(probe) || probe == IoError::DiskFull ? IoError::None : probe;
}

Verdict NoteFailure(Side side, IoError error) {
    if (!RunGoesOn() || !MayBeTheDisk(error)) return VerdictOn(side);
    if (side == Side::Source) {
        if (!Answers(watched.sourceRoot)) watched.source = Verdict::Gone;
        return watched.source;
    }
    IoError root = error == IoError::DiskFull ? error : TakesNewFile(watched.destinationRoot);
    if (root == IoError::DiskFull) {
        watched.destination = Verdict::Full;
    } else if (!TakesFiles(root)) {
        watched.destination = Verdict::Gone;
    }
    return watched.destination;
}

Verdict VerdictOn(Side side) {
    return side == Side::Source ? watched.source : watched.destination;
}

RunEnd EndOfRun(bool brokenLog) {
    if (watched.destination == Verdict::Full) return RunEnd::DestinationFull;
    if (watched.destination == Verdict::Gone) return RunEnd::DestinationGone;
    if (watched.source == Verdict::Gone) return RunEnd::SourceGone;
    return brokenLog ? RunEnd::BrokenLog : RunEnd::Complete;
}

}  // namespace disk
