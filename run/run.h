// What a run reports, below the walk and the conversion of a thread, which
// both report to it: how a step ended, the failures, and the counts for the
// summary line and the exit status.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/lines.h"
#include "run/progress.h"

enum ConvertResult { Continue = 0, Abort = 1 };

// What a side's disk was found to be: it goes on, it is full, or it no longer answers.
enum class Verdict { GoesOn, Full, Gone };
// The run's verdict on the disks of its two folders. A failure that may be a
// disk's is put to that disk, which then may stop the run.
struct Disks {
    std::string sourceRoot;
    std::string destinationRoot;
    Verdict source = Verdict::GoesOn;
    Verdict destination = Verdict::GoesOn;
    std::uint32_t probes = 0;  // probe files made so far, each with a name of its own
    bool GoOn() const { return source == Verdict::GoesOn && destination == Verdict::GoesOn; }
    bool DestinationGone() const { return destination == Verdict::Gone; }
};

// Why a thread or folder failed, as shown after its path: the tool's own
// words and, for a failure it has no class for, the system's words for its
// code, shown as the system gives them, then what closes the cause.
struct Cause {
    std::string text;
    std::string systemWords;
    const char* close = "";
    Cause(const char* toolWords = "") : text(toolWords) {}
    Cause(std::string toolWords) : text(std::move(toolWords)) {}
};

// What a run did, for the summary line and the exit status.
struct RunTally {
    long long migrated = 0;
    long long passedOver = 0;
    long long failed = 0;          // threads
    long long failedFolders = 0;   // folders that could not be opened or were not walked
    RepeatedFailures repeated;      // before the summary
    RunProgress progress;           // for the console's title
    Disks disks;
};

// The words shown after a failed thread's or folder's path for the cause.
Cause CauseText(platform::IoError error);
// Writes a line of the message, the path and the cause.
void WriteFailureLine(std::FILE* stream, const char* message, const std::string& path, const Cause& cause);

enum class FailedItem { Thread, Folder };
// Reports a failure on standard error, counts it, and keeps it for the summary.
void ReportFailure(FailedItem item, const char* message, const std::string& path, const Cause& cause,
                   RunTally& tally);
// Counts a failure whose line the caller holds.
void CountFailure(FailedItem item, RunTally& tally);
// Adds a failure's line at the end of `held`.
void HoldFailureLine(HeldLines& held, const char* message, const std::string& path, const Cause& cause);
