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
