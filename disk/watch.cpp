// The watch over the disks of the two folders a run was given.
#include "disk/disk.h"
#include "disk/written_file.h"

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

// The probe that asks a disk whether it takes a new file is the temporary
// file of ".m2t-probe-PROCESS-COUNT": each probe has a name of its own, since
// a virus scanner may still hold an earlier one open, and Windows keeps the
// name of a file deleted while another handle is open on it.
std::string ProbeName(const std::string& folder) {
    static std::uint32_t probes = 0;
    return platform::InFolder(folder, ".m2t-probe-") + std::to_string(platform::ProcessId()) + "-" +
           std::to_string(++probes);
}

// Whether the folder takes a new file, found by creating one, flushing it
// and removing it. The flush reaches the disk itself, which a disk that went
// away cannot answer even where the system still holds its folders in memory.
IoError TakesNewFile(const std::string& folder) {
    WrittenFile probe;
    IoError error = CreateWritten(ProbeName(folder), Where::Beside, probe);
    if (error != IoError::None) return error;
    error = platform::FlushFile(probe.file);
    IoError closed = platform::CloseFile(probe.file);
    IoError removed = platform::RemoveFile(probe.WrittenName());
    if (error == IoError::None) error = closed;
    return error == IoError::None ? removed : error;
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
    switch (error.kind) {
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
    RemoveLeftovers(destinationRoot);
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
