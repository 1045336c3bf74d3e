// The run of the tool: banner, the two folders, the walk, the summary, the
// prompt and the wait.
#include <cstdio>
#include <string>

#include "app/dialogue.h"
#include "app/main.h"
#include "disk/disk.h"
#include "platform/platform.h"
#include "run/lines.h"
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

void ReportRefusal(FolderPairProblem problem, bool tooLong, const std::string& sourceFolder,
                   const std::string& destinationFolder) {
    const char* cause = tooLong ? text::kCauseNameTooLong : "";
    if (problem == FolderPairProblem::SourceNotFolder) {
        WriteLine(stderr, {RefusalText(problem), platform::AsPath(sourceFolder), cause});
    } else if (problem == FolderPairProblem::DestinationNotFolder) {
        WriteLine(stderr, {RefusalText(problem), platform::AsPath(destinationFolder), cause});
    } else {
        WriteLine(stderr, {RefusalText(problem), platform::AsPath(sourceFolder), " ",
                                     platform::AsPath(destinationFolder)});
    }
}

// The first failures are repeated first, so that they are in sight at the
// end however many lines scrolled past, and the count of the others; folders
// that failed are counted apart from threads, and only when there are any.
void WriteSummary(const RunTally& tally) {
    const RepeatedFailures& repeated = tally.repeated;
    if (repeated.kept > 0) {
        WriteLine(stderr, {text::kFailuresAgain});
        platform::WriteRendered(stderr, repeated.lines);
    }
    if (repeated.more > 0) {
        WriteLine(stderr, {text::kMoreFailuresOpen, std::to_string(repeated.more), text::kMoreFailuresClose});
    }
    bool foldersFailed = tally.failedFolders > 0;
    std::string failedFolders = foldersFailed ? std::to_string(tally.failedFolders) : std::string();
    WriteLine(stderr, {text::kSummaryMigrated, std::to_string(tally.migrated), text::kSummaryPassedOver,
                                 std::to_string(tally.passedOver), text::kSummaryFailed, std::to_string(tally.failed),
                                 foldersFailed ? text::kSummaryFolders : "", failedFolders, text::kSummaryEnd});
}

// The line that says why the run stopped before its end, or nullptr.
const char* StopLine(RunEnd end) {
    switch (end) {
        case RunEnd::DestinationFull: return text::kDestinationFull;
        case RunEnd::DestinationGone: return text::kDestinationGone;
        case RunEnd::SourceGone: return text::kSourceGone;
        default: return nullptr;
    }
}

// Converts the tree, with the run's progress in the console's title where
// there is one: the threads are counted first, the title follows the groups
// as they commit, and at the end it says how the run ended and stays so
// until the caller restores it.
RunEnd ConvertShowingProgress(const std::string& sourceFolder, const std::string& destinationFolder,
                              RunTally& tally) {
    RunProgress& progress = tally.progress;
    progress.startedAt = platform::Milliseconds();
    progress.shown = platform::StartTitle();
    if (progress.shown) {
        // After the dialogue, its count serves the title too.
        if (!progress.countToConvert) CountThreads(sourceFolder, destinationFolder, destinationFolder, tally);
        progress.walkStartedAt = platform::Milliseconds();
        platform::SetTitle(RunningTitle(progress, 0, progress.walkStartedAt));
    }
    ConvertResult result = ConvertTree(sourceFolder, destinationFolder, destinationFolder, tally);
    RunEnd end = disk::EndOfRun(tally.disks, result == Abort);
    if (progress.shown) platform::SetTitle(EndTitle(progress, end, platform::Milliseconds()));
    if (const char* stopLine = StopLine(end)) WriteLine(stderr, {stopLine});
    return end;
}

void PromptAndWait() {
    WriteLine(stdout, {text::kPrompt});
    (void)std::getchar();
}

// The answer without the spaces around it and the quotes that Explorer puts
// around a dragged path holding a space.
std::string Unquoted(const std::string& answer) {
    std::size_t first = answer.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    std::string text = answer.substr(first, answer.find_last_not_of(' ') + 1 - first);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return Unquoted(text.substr(1, text.size() - 2));
    return text;
}

// Asks for a folder on the tool's own console; false when the answer is empty.
bool AskForFolder(const char* question, std::string& folder) {
    WriteLine(stdout, {question});
    std::string answer;
    platform::ConsoleAnswer got = platform::ReadConsoleAnswer(answer);
    folder = Unquoted(answer);
    return got == platform::ConsoleAnswer::Given && !folder.empty();
}

// "n" or "N", also full width ("ｎ", "Ｎ" in UTF-8, as the console's answers come).
bool IsNo(const std::string& answer) {
    return answer == "n" || answer == "N" || answer == "\xEF\xBD\x8E" || answer == "\xEF\xBC\xAE";
}

// Shows which folder is read and which is written, before anything is: a
// drop on the icon gives the two in an order the user did not choose; and
// whether the threads will fit. Return starts, n stops, and any other answer
// asks again.
bool ConfirmFolders(const std::string& sourceFolder, const std::string& destinationFolder, RunTally& tally) {
    WriteLine(stdout, {text::kShowSource, platform::AsPath(sourceFolder)});
    WriteLine(stdout, {text::kShowDestination, platform::AsPath(destinationFolder)});
    ShowWhatFits(sourceFolder, destinationFolder, tally);
    while (true) {
        WriteLine(stdout, {text::kConfirm});
        std::string answer;
        platform::ConsoleAnswer got = platform::ReadConsoleAnswer(answer);
        if (got == platform::ConsoleAnswer::Unread) return false;
        std::string reply = Unquoted(answer);
        if (reply.empty()) return true;
        if (IsNo(reply)) return false;
    }
}

// Started from a command prompt or a script, the tool names what it needs
// and ends; on a console of its own, whose window would close at once, it
// waits first.
int EndWithUsage(bool ownConsole) {
    if (ownConsole) {
        WriteLine(stderr, {text::kUsage});
        PromptAndWait();
    } else {
        WriteText(stderr, {text::kUsage});
    }
    return 0;
}

}  // namespace

int RunTool(const std::vector<std::string>& arguments) {
    const std::size_t argc = arguments.size();
    platform::SetUpConsole();
    WriteLine(stderr, {text::kBanner});
    // Started from Explorer or a shortcut, the tool asks for what is missing,
    // has the folders confirmed and waits before every ending.
    const bool ownConsole = platform::ConsoleIsOwn();
    std::string sourceFolder = argc > 1 ? arguments[1] : "";
    std::string destinationFolder = argc > 2 ? arguments[2] : "";
    if (argc < 3) {
        if (!ownConsole || (argc < 2 && !AskForFolder(text::kAskSource, sourceFolder)) ||
            !AskForFolder(text::kAskDestination, destinationFolder)) {
            return EndWithUsage(ownConsole);
        }
    }
    bool tooLong = false;
    FolderPairProblem problem = CheckFolderPair(sourceFolder, destinationFolder, tooLong);
    if (problem != FolderPairProblem::None) {
        ReportRefusal(problem, tooLong, sourceFolder, destinationFolder);
        PromptAndWait();
        return 1;
    }
    // Every path below the folders is formed from them as they are now.
    sourceFolder = platform::AbsoluteFolder(sourceFolder);
    destinationFolder = platform::AbsoluteFolder(destinationFolder);
    // A destination that takes no new file is refused before anything is written.
    RunTally tally;
    platform::IoError refusal = disk::Watch(sourceFolder, destinationFolder, tally.disks);
    if (refusal != platform::IoError::None) {
        WriteFailureLine(stderr, text::kDestinationUnwritable, destinationFolder, CauseText(refusal));
        PromptAndWait();
        return 1;
    }
    if (ownConsole && !ConfirmFolders(sourceFolder, destinationFolder, tally)) {
        WriteLine(stdout, {text::kStopped});
        PromptAndWait();
        return 0;
    }
    RunEnd end = ConvertShowingProgress(sourceFolder, destinationFolder, tally);
    WriteSummary(tally);
    PromptAndWait();
    platform::RestoreTitle();
    bool stopped = StopLine(end) != nullptr;
    return tally.failed > 0 || tally.failedFolders > 0 || stopped ? 1 : 0;
}
