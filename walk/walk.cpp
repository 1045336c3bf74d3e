#include "walk/walk.h"

#include <algorithm>
#include <vector>

#include "platform/console.h"
#include "platform/platform.h"
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

std::string Join(const std::string& parent, const std::string& name) {
    return parent + platform::kSeparator + name;
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

    ConvertResult ConvertThreadFiles(const std::string& sourceFolder, const std::string& destinationFolder);
    ConvertResult ConvertTree(const std::string& sourceFolder, const std::string& destinationFolder);
    bool MayDescend(const std::string& childSource, const std::string& childDestination, FileIdentity& childIdentity);
};

ConvertResult Walk::ConvertThreadFiles(const std::string& sourceFolder, const std::string& destinationFolder) {
    platform::DirectorySearch search;
    if (!platform::StartSearch(sourceFolder, search)) {
        ReportFailure(FailedItem::Folder, text::kFolderUnreadable, sourceFolder, "", tally);
        return Continue;
    }
    platform::DirectoryEntry entry;
    ConvertResult result = Continue;
    while (result == Continue && platform::NextEntry(search, entry)) {
        if (entry.isFolder || !IsThreadFileName(entry.name)) continue;
        result = ConvertThread(Join(sourceFolder, entry.name), Join(destinationFolder, entry.name), destinationRoot,
                               buffers, group, tally);
    }
    platform::CloseSearch(search);
    return result;
}

// Keeps the walk finite and the source untouched: no folder already on the
// walk's path, no source folder inside the destination, and no destination
// folder inside the source.
bool Walk::MayDescend(const std::string& childSource, const std::string& childDestination,
                      FileIdentity& childIdentity) {
    std::vector<FileIdentity> ancestry;
    if (platform::FolderAncestry(childSource, ancestry)) {
        childIdentity = ancestry.front();
        if (Contains(ancestry, destinationRootIdentity)) {
            platform::WriteLine(stderr, {text::kFolderIntoDestination, platform::AsPath(childSource)});
            return false;
        }
        if (Contains(sourceChain, ancestry.front())) {
            platform::WriteLine(stderr, {text::kFolderLoop, platform::AsPath(childSource)});
            return false;
        }
    }
    platform::CreateFolder(childDestination);
    if (platform::FolderAncestry(childDestination, ancestry) && Contains(ancestry, sourceRootIdentity)) {
        ReportFailure(FailedItem::Folder, text::kFolderIntoSource, childDestination, "", tally);
        return false;
    }
    return true;
}

ConvertResult Walk::ConvertTree(const std::string& sourceFolder, const std::string& destinationFolder) {
    if (ConvertThreadFiles(sourceFolder, destinationFolder) == Abort) return Abort;
    platform::DirectorySearch search;
    if (!platform::StartSearch(sourceFolder, search)) return Continue;
    platform::DirectoryEntry entry;
    ConvertResult result = Continue;
    while (result == Continue && platform::NextEntry(search, entry)) {
        if (!entry.isFolder || IsDotEntry(entry.name)) continue;
        std::string childSource = Join(sourceFolder, entry.name);
        std::string childDestination = Join(destinationFolder, entry.name);
        FileIdentity childIdentity;
        if (!MayDescend(childSource, childDestination, childIdentity)) continue;
        sourceChain.push_back(childIdentity);
        result = ConvertTree(childSource, childDestination);
        sourceChain.pop_back();
    }
    platform::CloseSearch(search);
    return result;
}

}  // namespace

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

ConvertResult ConvertTree(const std::string& sourceFolder, const std::string& destinationFolder,
                          const std::string& destinationRoot, RunTally& tally) {
    Walk walk{destinationRoot, {}, {}, {}, tally, {}, {}};
    platform::IdentityOf(sourceFolder, walk.sourceRootIdentity);
    platform::IdentityOf(destinationRoot, walk.destinationRootIdentity);
    walk.sourceChain.push_back(walk.sourceRootIdentity);
    // The lines of the walk wait for the group of threads they belong with.
    platform::HoldLines(true);
    ConvertResult result = walk.ConvertTree(sourceFolder, destinationFolder);
    CommitGroup(walk.group, tally);
    platform::HoldLines(false);
    return result;
}

FolderPairProblem CheckFolderPair(const std::string& sourceFolder, const std::string& destinationFolder) {
    platform::DirectorySearch search;
    bool searchable = platform::StartSearch(sourceFolder, search);
    platform::CloseSearch(search);
    if (!searchable) return FolderPairProblem::SourceNotFolder;
    if (!platform::IsFolder(destinationFolder)) return FolderPairProblem::DestinationNotFolder;
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
