// Entry point: banner, argument check, the walk, the summary, the prompt and the wait.
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "platform/platform.h"
#include "texts/japanese.h"
#include "walk/walk.h"

namespace {

const char* RefusalText(FolderPairProblem problem) {
    switch (problem) {
        case FolderPairProblem::SourceNotFolder: return text::kSourceNotFolder;
        case FolderPairProblem::DestinationNotFolder: return text::kDestinationNotFolder;
        case FolderPairProblem::SameFolder: return text::kSameFolder;
        case FolderPairProblem::DestinationInsideSource: return text::kDestinationInsideSource;
        case FolderPairProblem::SourceInsideDestination: return text::kSourceInsideDestination;
        case FolderPairProblem::None: break;
    }
    return "";
}

void ReportRefusal(FolderPairProblem problem, const std::string& sourceFolder, const std::string& destinationFolder) {
    if (problem == FolderPairProblem::SourceNotFolder) {
        platform::WriteLine(stderr, {RefusalText(problem), platform::AsPath(sourceFolder)});
    } else if (problem == FolderPairProblem::DestinationNotFolder) {
        platform::WriteLine(stderr, {RefusalText(problem), platform::AsPath(destinationFolder)});
    } else {
        platform::WriteLine(stderr, {RefusalText(problem), platform::AsPath(sourceFolder), " ",
                                     platform::AsPath(destinationFolder)});
    }
}

// Folders that failed are counted apart from threads, and only when there are any.
void WriteSummary(const RunTally& tally) {
    bool foldersFailed = tally.failedFolders > 0;
    std::string failedFolders = foldersFailed ? std::to_string(tally.failedFolders) : std::string();
    platform::WriteLine(stderr, {text::kSummaryMigrated, std::to_string(tally.migrated), text::kSummaryPassedOver,
                                 std::to_string(tally.passedOver), text::kSummaryFailed, std::to_string(tally.failed),
                                 foldersFailed ? text::kSummaryFolders : "", failedFolders, text::kSummaryEnd});
}

void PromptAndWait() {
    platform::WriteLine(stdout, {text::kPrompt});
    (void)std::getchar();
}

}  // namespace

int main(int argc, char** argv) {
    platform::SetUpConsole();
    platform::WriteLine(stderr, {text::kBanner});
    if (argc < 3) {
        platform::WriteText(stderr, {text::kUsage});
        return 0;
    }
    const std::string sourceFolder = argv[1];
    const std::string destinationFolder = argv[2];
    FolderPairProblem problem = CheckFolderPair(sourceFolder, destinationFolder);
    if (problem != FolderPairProblem::None) {
        ReportRefusal(problem, sourceFolder, destinationFolder);
        PromptAndWait();
        return 1;
    }
    RunTally tally;
    ConvertTree(sourceFolder, destinationFolder, destinationFolder, tally);
    WriteSummary(tally);
    PromptAndWait();
    return tally.failed > 0 || tally.failedFolders > 0 ? 1 : 0;
}
