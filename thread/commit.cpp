// A group's commit: the copies durable, then the indices, then the console lines.
#include <algorithm>
#include <cstdio>

#include "platform/console.h"
#include "texts/japanese.h"
#include "thread/thread.h"

namespace {

using platform::IoError;

std::string FolderOf(const std::string& file) {
    return file.substr(0, file.rfind(platform::kSeparator));
}

// Makes every copy durable, closes it and moves a replaced one into place;
// then makes the names in each folder moved into durable, once per folder.
// A copy that failed any of it is removed.
void MakeCopiesDurable(const std::vector<PendingThread>& threads, std::vector<IoError>& errors) {
    std::vector<platform::FileHandle> copies;
    for (const PendingThread& thread : threads) copies.push_back(thread.copy);
    platform::SyncFiles(copies, errors);
    std::vector<std::string> foldersMovedInto;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        IoError closeError = platform::CloseFile(copies[i]);
        if (errors[i] == IoError::None) errors[i] = closeError;
        const PendingThread& thread = threads[i];
        if (errors[i] == IoError::None && thread.replacesOld) {
            errors[i] = platform::ReplaceFile(WrittenFileOf(thread), thread.destinationFile, true);
            std::string folder = FolderOf(thread.destinationFile);
            bool listed = std::find(foldersMovedInto.begin(), foldersMovedInto.end(), folder) != foldersMovedInto.end();
            if (errors[i] == IoError::None && !listed) foldersMovedInto.push_back(folder);
        }
        if (errors[i] != IoError::None) platform::RemoveFile(WrittenFileOf(thread));
    }
    for (const std::string& folder : foldersMovedInto) {
        IoError error = platform::SyncFolder(folder);
        if (error == IoError::None) continue;
        for (std::size_t i = 0; i < threads.size(); ++i) {
            const PendingThread& thread = threads[i];
            bool moved = thread.replacesOld && errors[i] == IoError::None;
            if (!moved || FolderOf(thread.destinationFile) != folder) continue;
            errors[i] = error;
            platform::RemoveFile(thread.destinationFile);
        }
    }
}

}  // namespace

void CommitGroup(ThreadGroup& group, RunTally& tally) {
    std::vector<PendingThread>& threads = group.threads;
    std::vector<IoError> copyErrors;
    MakeCopiesDurable(threads, copyErrors);
    std::vector<IoError> indexErrors(threads.size(), IoError::None);
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (copyErrors[i] != IoError::None) continue;
        indexErrors[i] = WriteIndexRecord(IndexFileOf(threads[i].destinationFile), threads[i].summary);
    }
    // Last thread first, so that the places kept by the earlier ones stay where they were.
    for (std::size_t i = threads.size(); i-- > 0;) {
        const PendingThread& thread = threads[i];
        if (copyErrors[i] != IoError::None) {
            ReportFailureAt(thread.linePosition, thread.failurePosition, FailedItem::Thread, text::kCopyUnwritable,
                            thread.destinationFile, CauseText(copyErrors[i]), tally);
        } else if (indexErrors[i] != IoError::None) {
            ReportFailureAt(thread.linePosition, thread.failurePosition, FailedItem::Thread, text::kIndexUnwritable,
                            IndexFileOf(thread.destinationFile), CauseText(indexErrors[i]), tally);
        } else {
            // The URL is made of folder names, so it is shown as the file system gives them.
            platform::HoldLineAt(thread.linePosition, stdout,
                                 {text::kCompletionOpen, thread.summary.title, text::kCompletionMiddle,
                                  platform::AsPath(thread.summary.url), text::kCompletionClose});
            ++tally.migrated;
        }
    }
    platform::ReleaseLines();
    threads.clear();
    group.sourceBytes = 0;
    ++group.commits;
}
