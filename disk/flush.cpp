// A group's flush: its files made durable with as few flushes of each disk as
// the platform allows.
#include <map>
#include <utility>

#include "disk/disk.h"

namespace disk {

namespace {

using platform::IoError;

// Hands each file that one flush of its disk covers to that disk, each disk
// asked once whether it does; gives for each file the disk whose flush it
// waits for, or none.
std::vector<std::string> HandOverToDisks(const std::vector<platform::FileHandle>& files) {
    FlushCalls& calls = Flushes();
    std::vector<std::string> waiting(files.size());
    std::map<std::string, bool> covered;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string disk = calls.diskOf(files[i]);
        if (disk.empty()) continue;
        auto met = covered.find(disk);
        if (met == covered.end()) met = covered.emplace(disk, calls.oneFlushCovers(files[i])).first;
        if (met->second && calls.writeWithoutDiskFlush(files[i]) == IoError::None) waiting[i] = std::move(disk);
    }
    return waiting;
}

}  // namespace

FlushCalls& Flushes() {
    static FlushCalls calls{platform::DiskOf, platform::OneFlushCovers, platform::WriteWithoutDiskFlush,
                            platform::FlushDisk, platform::FlushFile};
    return calls;
}

// The disk's flush goes through the first file that waits for it: a failed
// write-back since an earlier group's flush is reported to a file opened
// after it. A file not covered so is flushed on its own, and its own result
// decides.
std::size_t FlushFiles(const std::vector<platform::FileHandle>& files, std::vector<IoError>& errors, Disks& disks) {
    errors.assign(files.size(), IoError::Other);
    std::vector<std::string> waiting = HandOverToDisks(files);
    for (std::size_t first = 0; first < files.size(); ++first) {
        if (waiting[first].empty()) continue;
        std::string disk = waiting[first];
        bool flushed = Flushes().flushDisk(files[first]) == IoError::None;
        for (std::size_t i = first; i < files.size(); ++i) {
            if (waiting[i] != disk) continue;
            waiting[i].clear();
            if (flushed) errors[i] = IoError::None;
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (errors[i] == IoError::None) continue;
        errors[i] = Flushes().flushFile(files[i]);
        if (errors[i] == IoError::None || AskDisk(disks, Side::Destination, errors[i]) != Verdict::Gone) continue;
        for (std::size_t left = i + 1; left < files.size(); ++left) {
            if (errors[left] != IoError::None) errors[left] = errors[i];
        }
        return i + 1;
    }
    return files.size();
}

}  // namespace disk
