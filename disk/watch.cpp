// The watch over the disks of the two folders a run was given.
#include "disk/disk.h"

#include <cstdint>

namespace disk {

namespace {

using platform::IoError;

struct Watched {
    std::string sourceRoot;
    std::string destinationRoot;
    Verdict source = Verdict::GoesOn;
    Verdict destination = Verdict::GoesOn;
} watched;

// The file that asks a disk without unnamed files whether it takes a new one
// is named ".m2t-probe-PROCESS-COUNT.m2t-tmp": each probe has a name of its
// own, since Windows keeps the name of a file deleted on closing until every
// handle to it is closed, and a virus scanner may still hold an earlier one.
constexpr char kProbePrefix[] = ".m2t-probe";
constexpr char kProbeSuffix[] = ".m2t-tmp";

std::string InFolder(const std::string& folder, const std::string& name) {
    bool ended = !folder.empty() && folder.back() == platform::kSeparator;
    return ended ? folder + name : folder + platform::kSeparator + name;
}

std::string ProbeName(const std::string& folder) {
    static std::uint32_t probes = 0;
    return InFolder(folder, kProbePrefix) + "-" + std::to_string(platform::ProcessId()) + "-" +
           std::to_string(++probes) + kProbeSuffix;
}

bool IsProbeName(const std::string& name) {
    std::size_t prefix = sizeof kProbePrefix - 1;
    std::size_t suffix = sizeof kProbeSuffix - 1;
    return name.size() >= prefix + suffix && name.compare(0, prefix, kProbePrefix) == 0 &&
           name.compare(name.size() - suffix, suffix, kProbeSuffix) == 0;
}

// A probe that a kill left between its making and its removal is removed by
// the next run.
void RemoveLeftProbes(const std::string& folder) {
    platform::DirectorySearch search;
    platform::DirectoryEntry entry;
    if (!platform::StartSearch(folder, search)) return;
    while (platform::NextEntry(search, entry)) {
        if (!entry.isFolder && IsProbeName(entry.name)) platform::RemoveFile(InFolder(folder, entry.name));
    }
    platform::CloseSearch(search);
}

// Whether the folder takes a new file, found by making one that leaves
// nothing behind. Its flush reaches the disk itself, which a disk gone whose
// folders the system still holds in memory cannot answer.
IoError TakesNewFile(const std::string& folder) {
    std::string probe = ProbeName(folder);
    platform::FileHandle file;
    IoError error = IoError::None;
    bool named = !platform::CreateUnnamedFile(probe, file, error);
    if (named) error = platform::CreateScratchFile(probe, file);
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
        case IoError::InvalidName:
        case IoError::FileTooLarge:
        case IoError::AlreadyExists:
        case IoError::InUse: return false;
        default: return true;
    }
}

}  // namespace

IoError Watch(const std::string& sourceRoot, const std::string& destinationRoot) {
    watched = Watched{sourceRoot, destinationRoot};
    RemoveLeftProbes(destinationRoot);
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
