// The watch over the disks of the two folders a run was given.
#include "disk/disk.h"
#include "disk/written_file.h"

#include <cstdint>

namespace disk {

namespace {

using platform::IoError;

// The probe that asks a disk whether it takes a new file is the temporary
// file of ".m2t-probe-PROCESS-COUNT": each probe has a name of its own, since
// a virus scanner may still hold an earlier one open, and Windows keeps the
// name of a file deleted while another handle is open on it.
std::string ProbeName(Disks& disks) {
    return platform::InFolder(disks.destinationRoot, ".m2t-probe-") + std::to_string(platform::ProcessId()) + "-" +
           std::to_string(++disks.probes);
}

// Whether the folder takes a new file, found by creating one, flushing it
// and removing it. The flush reaches the disk itself, which a disk that went
// away cannot answer even where the system still holds its folders in memory.
IoError TakesNewFile(Disks& disks) {
    WrittenFile probe;
    IoError error = CreateWritten(ProbeName(disks), Where::Beside, probe);
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

IoError Watch(const std::string& sourceRoot, const std::string& destinationRoot, Disks& disks) {
    disks = Disks{sourceRoot, destinationRoot};
    RemoveLeftovers(destinationRoot);
    IoError probe = TakesNewFile(disks);
    return TakesFiles(probe) || probe == IoError::DiskFull ? IoError::None : probe;
}

Verdict AskDisk(Disks& disks, Side side, IoError error) {
    Verdict& verdict = side == Side::Source ? disks.source : disks.destination;
    if (!disks.GoOn() || !MayBeTheDisk(error)) return verdict;
    if (side == Side::Source) {
        if (!Answers(disks.sourceRoot)) verdict = Verdict::Gone;
        return verdict;
    }
    IoError root = error == IoError::DiskFull ? error : TakesNewFile(disks);
    if (root == IoError::DiskFull) {
        verdict = Verdict::Full;
    } else if (!TakesFiles(root)) {
        verdict = Verdict::Gone;
    }
    return verdict;
}

RunEnd EndOfRun(const Disks& disks, bool brokenLog) {
    if (disks.destination == Verdict::Full) return RunEnd::DestinationFull;
    if (disks.destination == Verdict::Gone) return RunEnd::DestinationGone;
    if (disks.source == Verdict::Gone) return RunEnd::SourceGone;
    return brokenLog ? RunEnd::BrokenLog : RunEnd::Complete;
}

}  // namespace disk
