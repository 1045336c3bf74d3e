#include "walk/walk.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "disk/disk.h"
#include "disk/written_file.h"
#include "platform/platform.h"
#include "run/lines.h"
#include "texts/japanese.h"
#include "thread/thread.h"

namespace {

using platform::FileIdentity;

bool IsDotEntry(const std::string& name) {
    return name == "." || name == "..";
}

// "*.dat", ignoring letter case.
bool IsThreadFileName(const std::string& name) {
    if (name.size() < 4) return false;
    std::string suffix = name.substr(name.size() - 4);
    for (char& byte : suffix) {
        if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
    }
    return suffix == ".dat";
}

bool Contains(const std::vector<FileIdentity>& identities, const FileIdentity& identity) {
    return std::find(identities.begin(), identities.end(), identity) != identities.end();
}

struct Walk {
    std::string destinationRoot;
    FileIdentity sourceRootIdentity;
    FileIdentity destinationRootIdentity;
    std::vector<FileIdentity> sourceChain;  // the source folders from the root down to the current one
    RunTally& tally;
    TransferBuffers buffers;
    ThreadGroup group;

    ConvertResult ConvertThreadFile(const std::string& sourceFolder, const std::string& destinationFolder,
                                    platform::DirectorySearch& search, const platform::DirectoryEntry& entry);
    ConvertResult FolderUnlisted(const std::string& sourceFolder, platform::IoError error);
    ConvertResult ConvertTree(const std::string& sourceFolder, const std::string& destinationFolder);
    bool MayDescend(const std::string& childSource, const std::string& childDestination, FileIdentity& childIdentity);
    const char* SourceRefusal(const std::string& childSource, FileIdentity& childIdentity) const;
    bool LeadsIntoSource(const std::string& childDestination) const;
    std::vector<std::string> CountThreadFiles(const std::string& sourceFolder, const std::string& destinationFolder);
    void CountThreads(const std::string& sourceFolder, const std::string& destinationFolder);
};

// A source folder that could not be listed, or not to its end, is reported,
// and stops the walk where the source's disk no longer answers.
ConvertResult Walk::FolderUnlisted(const std::string& sourceFolder, platform::IoError error) {
    ReportFailure(FailedItem::Folder, text::kFolderUnreadable, sourceFolder, CauseText(error), tally);
    disk::AskDisk(tally.disks, disk::Side::Source, error);
    return tally.disks.GoOn() ? Continue : Abort;
}

ConvertResult Walk::ConvertThreadFile(const std::string& sourceFolder, const std::string& destinationFolder,
                                      platform::DirectorySearch& search, const platform::DirectoryEntry& entry) {
    long long passedOver = tally.passedOver;
    long long commits = group.commits;
    // The size only serves the title's estimate.
    std::uint64_t size = tally.progress.shown ? platform::EntrySize(search, entry) : 0;
    ConvertResult result = ConvertThread(platform::InFolder(sourceFolder, entry.name),
                                         platform::InFolder(destinationFolder, entry.name), destinationRoot, buffers,
                                         group, tally);
    NoteThreadMet(tally.progress, size, tally.passedOver != passedOver);
    // The title counts the threads whose lines are out: those of a group
    // once it commits, and any other at once while no group waits.
    if (group.commits != commits || group.threads.empty()) {
        ShowProgress(tally.progress, static_cast<long long>(group.threads.size()));
    }
    return result;
}

// Why a source folder is not entered, or nullptr: it leads into the
// destination, or back to a folder already on the walk's path.
const char* Walk::SourceRefusal(const std::string& childSource, FileIdentity& childIdentity) const {
    std::vector<FileIdentity> ancestry;
    if (!platform::FolderAncestry(childSource, ancestry)) return nullptr;
    childIdentity = ancestry.front();
    if (Contains(ancestry, destinationRootIdentity)) return text::kFolderIntoDestination;
    if (Contains(sourceChain, ancestry.front())) return text::kFolderLoop;
    return nullptr;
}

// A destination folder that leads into the source is not written.
bool Walk::LeadsIntoSource(const std::string& childDestination) const {
    std::vector<FileIdentity> ancestry;
    return platform::FolderAncestry(childDestination, ancestry) && Contains(ancestry, sourceRootIdentity);
}

// Keeps the walk finite and the source untouched: no folder already on the
// walk's path, no source folder inside the destination, and no destination
// folder inside the source.
bool Walk::MayDescend(const std::string& childSource, const std::string& childDestination,
                      FileIdentity& childIdentity) {
    if (const char* refusal = SourceRefusal(childSource, childIdentity)) {
        WriteLine(stderr, {refusal, platform::AsPath(childSource)});
        return false;
    }
    // A full disk, or one gone, stops the walk as a thread's copy would; any
    // other failure shows in the copies of the folder's threads.
    platform::IoError made = platform::CreateFolder(childDestination);
    if (made != platform::IoError::None && made != platform::IoError::AlreadyExists) {
        disk::AskDisk(tally.disks, disk::Side::Destination, made);
        if (!tally.disks.GoOn()) {
            ReportFailure(FailedItem::Folder, text::kFolderUnwritable, childDestination, CauseText(made), tally);
            return false;
        }
    }
    if (LeadsIntoSource(childDestination)) {
        ReportFailure(FailedItem::Folder, text::kFolderIntoSource, childDestination, "", tally);
        return false;
    }
    // A folder made by an earlier run may hold what a kill left of its temporary files.
    if (made == platform::IoError::AlreadyExists) disk::RemoveLeftovers(childDestination);
    return true;
}

// The dialogue's count also tells what the threads without an index will
// take on the destination's disk: the copy is at most as long as the thread
// file, and each file takes whole allocation units.
void EstimateThread(RunProgress& progress, std::uint64_t size) {
    ++progress.threadsToConvert;
    progress.bytesToConvert += size;
    progress.spaceToConvert += SpaceTaken(size, progress.allocationUnit) +
                               SpaceTaken(kIndexBytes, progress.allocationUnit);
}

// Counts the thread files of one folder; gives its subfolders.
std::vector<std::string> Walk::CountThreadFiles(const std::string& sourceFolder,
                                                const std::string& destinationFolder) {
    RunProgress& progress = tally.progress;
    std::vector<std::string> folders;
    platform::DirectorySearch search;
    if (!platform::StartSearch(sourceFolder, search)) return folders;
    platform::DirectoryEntry entry;
    while (platform::NextEntry(search, entry)) {
        if (entry.isFolder) {
            if (!IsDotEntry(entry.name)) folders.push_back(entry.name);
            continue;
        }
        if (!IsThreadFileName(entry.name)) continue;
        std::uint64_t size = platform::EntrySize(search, entry);
        ++progress.threadsCounted;
        progress.bytesCounted += size;
        if (progress.countToConvert && !IsIndexed(IndexFileOf(platform::InFolder(destinationFolder, entry.name)))) {
            EstimateThread(progress, size);
        }
    }
    platform::CloseSearch(search);
    return folders;
}

// The walk's order and refusals in one listing of each folder: its thread
// files, then its subfolders. A destination folder not yet made cannot lead
// into the source, as the walk makes it a plain folder.
void Walk::CountThreads(const std::string& sourceFolder, const std::string& destinationFolder) {
    RunProgress& progress = tally.progress;
    for (const std::string& name : CountThreadFiles(sourceFolder, destinationFolder)) {
        std::string childSource = platform::InFolder(sourceFolder, name);
        std::string childDestination = platform::InFolder(destinationFolder, name);
        FileIdentity childIdentity;
        if (SourceRefusal(childSource, childIdentity) != nullptr || LeadsIntoSource(childDestination)) continue;
        if (progress.countToConvert && !platform::IsFolder(childDestination)) {
            progress.spaceToConvert += SpaceTaken(1, progress.allocationUnit);  // a folder to make
        }
        sourceChain.push_back(childIdentity);
        CountThreads(childSource, childDestination);
        sourceChain.pop_back();
    }
}

// One listing of the folder: its thread files converted as they come, its
// subfolders kept and entered after its last entry, in the listing's order.
// A folder not listed to its end is reported, and none of its subfolders
// entered.
ConvertResult Walk::ConvertTree(const std::string& sourceFolder, const std::string& destinationFolder) {
    platform::DirectorySearch search;
    if (!platform::StartSearch(sourceFolder, search)) return FolderUnlisted(sourceFolder, search.error);
    platform::DirectoryEntry entry;
    std::vector<std::string> subfolders;
    ConvertResult result = Continue;
    while (result == Continue && platform::NextEntry(search, entry)) {
        if (entry.isFolder && !IsDotEntry(entry.name)) subfolders.push_back(entry.name);
        if (!entry.isFolder && IsThreadFileName(entry.name)) {
            result = ConvertThreadFile(sourceFolder, destinationFolder, search, entry);
        }
    }
    platform::CloseSearch(search);
    if (result == Abort) return Abort;
    if (search.error != platform::IoError::None) return FolderUnlisted(sourceFolder, search.error);
    for (std::size_t i = 0; i < subfolders.size() && result == Continue; ++i) {
        std::string childSource = platform::InFolder(sourceFolder, subfolders[i]);
        std::string childDestination = platform::InFolder(destinationFolder, subfolders[i]);
        FileIdentity childIdentity;
        if (!MayDescend(childSource, childDestination, childIdentity)) {
            if (!tally.disks.GoOn()) result = Abort;
            continue;
        }
        sourceChain.push_back(childIdentity);
        result = ConvertTree(childSource, childDestination);
        sourceChain.pop_back();
    }
    return result;
}

Walk StartWalk(const std::string& sourceFolder, const std::string& destinationRoot, RunTally& tally) {
    Walk walk{destinationRoot, {}, {}, {}, tally, {}, {}};
    platform::IdentityOf(sourceFolder, walk.sourceRootIdentity);
    platform::IdentityOf(destinationRoot, walk.destinationRootIdentity);
    walk.sourceChain.push_back(walk.sourceRootIdentity);
    return walk;
}

}  // namespace

void CountThreads(const std::string& sourceFolder, const std::string& destinationFolder,
                  const std::string& destinationRoot, RunTally& tally) {
    StartWalk(sourceFolder, destinationRoot, tally).CountThreads(sourceFolder, destinationFolder);
}

ConvertResult ConvertTree(const std::string& sourceFolder, const std::string& destinationFolder,
                          const std::string& destinationRoot, RunTally& tally) {
    Walk walk = StartWalk(sourceFolder, destinationRoot, tally);
    ConvertResult result = walk.ConvertTree(sourceFolder, destinationFolder);
    CommitGroup(walk.group, tally);
    return result;
}

FolderPairProblem CheckFolderPair(const std::string& sourceFolder, const std::string& destinationFolder,
                                  bool& tooLong) {
    platform::DirectorySearch search;
    bool searchable = platform::StartSearch(sourceFolder, search);
    platform::CloseSearch(search);
    tooLong = search.error == platform::IoError::NameTooLong;
    if (!searchable) return FolderPairProblem::SourceNotFolder;
    if (!platform::IsFolder(destinationFolder)) {
        platform::StartSearch(destinationFolder, search);  // only to tell why
        platform::CloseSearch(search);
        tooLong = search.error == platform::IoError::NameTooLong;
        return FolderPairProblem::DestinationNotFolder;
    }
    std::vector<FileIdentity> sourceAncestry;
    std::vector<FileIdentity> destinationAncestry;
    if (!platform::FolderAncestry(sourceFolder, sourceAncestry)) return FolderPairProblem::SourceNotFolder;
    if (!platform::FolderAncestry(destinationFolder, destinationAncestry)) {
        return FolderPairProblem::DestinationNotFolder;
    }
    if (sourceAncestry.front() == destinationAncestry.front()) return FolderPairProblem::SameFolder;
    if (Contains(destinationAncestry, sourceAncestry.front())) return FolderPairProblem::DestinationInsideSource;
    if (Contains(sourceAncestry, destinationAncestry.front())) return FolderPairProblem::SourceInsideDestination;
    return FolderPairProblem::None;
}
