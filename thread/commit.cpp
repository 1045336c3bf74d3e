// A group's commit: the copies and index records durable, then their names,
// then the console lines.
#include <algorithm>
#include <cstdio>

#include "disk/disk.h"
#include "run/lines.h"
#include "texts/japanese.h"
#include "thread/thread.h"

namespace {

using platform::IoError;

// How a thread of the group fared: at most one of the two errors is set.
struct Outcome {
    IoError copyError = IoError::None;
    IoError indexError = IoError::None;
    bool noted = false;  // its failure was told to the run, which asked the disk about it
    bool named = false;  // its index stands
    bool Failed() const { return copyError != IoError::None || indexError != IoError::None; }
};

std::string FolderOf(const std::string& file) {
    return file.substr(0, file.rfind(platform::kSeparator));
}

// Puts each new failure to the destination's disk, in the threads' order,
// until the probe finds that the disk no longer answers. From then on no
// call is made on that disk: the threads neither named nor failed by then are
// left alone, and only the thread whose failure found it is reported.
void NoteFailures(std::vector<Outcome>& outcomes, Disks& disks) {
    for (Outcome& outcome : outcomes) {
        if (disks.DestinationGone()) return;
        if (!outcome.Failed() || outcome.noted) continue;
        outcome.noted = true;
        disk::AskDisk(disks, disk::Side::Destination,
                      outcome.copyError != IoError::None ? outcome.copyError : outcome.indexError);
    }
}

// One flush makes the copies and the records durable, in the order they were
// written. Every failure of a file it tried was put to the disk already; a
// thread whose files it did not try, as the disk stopped answering, is not.
void FlushGroup(const std::vector<PendingThread>& threads, std::vector<Outcome>& outcomes, Disks& disks) {
    std::vector<platform::FileHandle> files;
    for (const PendingThread& thread : threads) {
        files.push_back(thread.copy.file);
        files.push_back(thread.index.file);
    }
    std::vector<IoError> errors;
    std::size_t tried = disk::FlushFiles(files, errors, disks);
    for (std::size_t i = 0; i < threads.size(); ++i) {
        outcomes[i].copyError = errors[2 * i];
        if (errors[2 * i] == IoError::None) outcomes[i].indexError = errors[2 * i + 1];
        outcomes[i].noted = outcomes[i].Failed() && 2 * i < tried;
    }
}

// Closes every copy and moves a replaced one into place; a failed thread's
// copy is removed. Gives the folders moved into.
std::vector<std::string> PlaceCopies(std::vector<PendingThread>& threads, std::vector<Outcome>& outcomes) {
    std::vector<std::string> foldersMovedInto;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        disk::WrittenFile& copy = threads[i].copy;
        Outcome& outcome = outcomes[i];
        if (outcome.Failed()) {
            disk::RollBack(copy);
            continue;
        }
        outcome.copyError = disk::Commit(copy);
        std::string folder = FolderOf(copy.place);
        bool listed = std::find(foldersMovedInto.begin(), foldersMovedInto.end(), folder) != foldersMovedInto.end();
        if (!outcome.Failed() && !copy.atPlace && !listed) foldersMovedInto.push_back(folder);
    }
    return foldersMovedInto;
}

// Makes the moves durable before any index is named, since a file system may
// write names in any order; a moved copy whose folder could not be flushed is
// removed.
void SyncFoldersMovedInto(const std::vector<std::string>& folders, const std::vector<PendingThread>& threads,
                          std::vector<Outcome>& outcomes) {
    for (const std::string& folder : folders) {
        IoError error = platform::SyncFolder(folder);
        if (error == IoError::None) continue;
        for (std::size_t i = 0; i < threads.size(); ++i) {
            const disk::WrittenFile& copy = threads[i].copy;
            bool moved = !copy.atPlace && !outcomes[i].Failed();
            if (!moved || FolderOf(copy.place) != folder) continue;
            outcomes[i].copyError = error;
            platform::RemoveFile(copy.place);
        }
    }
}

// Names the index of every thread whose copy stands; drops the others, and
// the copy of one whose index could not be named. Once a failed rename finds
// that the destination's disk no longer answers, the rest are left alone.
void NameIndices(std::vector<PendingThread>& threads, std::vector<Outcome>& outcomes, Disks& disks) {
    for (std::size_t i = 0; i < threads.size() && !disks.DestinationGone(); ++i) {
        if (outcomes[i].Failed()) {
            disk::RollBack(threads[i].index);
            continue;
        }
        outcomes[i].indexError = disk::Commit(threads[i].index);
        outcomes[i].named = outcomes[i].indexError == IoError::None;
        if (outcomes[i].named) continue;
        NoteFailures(outcomes, disks);
        // No index will stand for the copy: nothing of the thread is left.
        if (!disks.DestinationGone()) platform::RemoveFile(threads[i].copy.place);
    }
}

// Closes what a thread still holds open, and asks nothing more of the disk.
void LeaveAlone(PendingThread& thread) {
    disk::Abandon(thread.copy);
    disk::Abandon(thread.index);
}

// Adds the thread's completion or failure line; none for a thread that the
// disk going away left neither migrated nor failed: the next run converts it.
void HoldOutcomeLine(PendingThread& thread, const Outcome& outcome, HeldLines& lines, RunTally& tally) {
    if (tally.disks.DestinationGone() && !outcome.named) {
        LeaveAlone(thread);
        if (!outcome.noted) return;
    }
    if (outcome.copyError != IoError::None) {
        HoldFailureLine(lines, text::kCopyUnwritable, thread.copy.place, CauseText(outcome.copyError));
        CountFailure(FailedItem::Thread, tally);
    } else if (outcome.indexError != IoError::None) {
        HoldFailureLine(lines, text::kIndexUnwritable, thread.index.place, CauseText(outcome.indexError));
        CountFailure(FailedItem::Thread, tally);
    } else {
        // The URL is made of folder names, so it is shown as the file system gives them.
        HoldLine(lines, stdout, {text::kCompletionOpen, thread.title, text::kCompletionMiddle,
                                 platform::AsPath(thread.url), text::kCompletionClose}, false);
        ++tally.migrated;
    }
}

// Writes each thread's own line, followed by the lines held behind it, and
// lets the lines made from now on go out at once.
void WriteGroupLines(ThreadGroup& group, const std::vector<Outcome>& outcomes, RunTally& tally) {
    HoldLinesIn(nullptr);
    HeldLines lines;
    std::vector<PendingThread>& threads = group.threads;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        HoldOutcomeLine(threads[i], outcomes[i], lines, tally);
        std::size_t end = i + 1 < threads.size() ? threads[i + 1].heldFrom : group.held.lines.size();
        HoldLinesOf(lines, group.held, threads[i].heldFrom, end);
    }
    WriteHeld(lines, tally.repeated);
    group.held = HeldLines();
}

}  // namespace

void CommitGroup(ThreadGroup& group, RunTally& tally) {
    std::vector<PendingThread>& threads = group.threads;
    std::vector<Outcome> outcomes(threads.size());
    Disks& disks = tally.disks;
    if (!disks.DestinationGone()) FlushGroup(threads, outcomes, disks);
    if (!disks.DestinationGone()) {
        SyncFoldersMovedInto(PlaceCopies(threads, outcomes), threads, outcomes);
        NoteFailures(outcomes, disks);
    }
    NameIndices(threads, outcomes, disks);
    WriteGroupLines(group, outcomes, tally);
    threads.clear();
    group.sourceBytes = 0;
    ++group.commits;
}
