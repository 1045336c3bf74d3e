// What a run reports, below the walk and the conversion of a thread, which
// both report to it: how a step ended, the failures, and the counts for the
// summary line and the exit status.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/progress.h"

enum ConvertResult { Continue = 0, Abort = 1 };

// A thread or folder that failed, as it was reported: the message, the path
// and the cause (which may be empty).
struct Failure {
    const char* message;
    std::string path;
    const char* cause;
};

// Why a run stopped before its end, as every later thread would fail: the
// destination is full, or one side's disk no longer answers.
enum class RunStop { None, DestinationFull, DestinationGone, SourceGone };

// What a run did, for the summary line and the exit status.
struct RunTally {
    long long migrated = 0;
    long long passedOver = 0;
    long long failed = 0;          // threads
    long long failedFolders = 0;   // folders that could not be opened or were not walked
    RunStop stop = RunStop::None;
    std::string sourceRoot;         // the two folders, whose disks are asked after a failure
    std::string destinationRoot;
    std::vector<Failure> failures;  // to be repeated before the summary
    RunProgress progress;           // for the console's title
};

// What TakesNewFile answered says that the disk still takes files.
bool TakesFiles(platform::IoError probe);

enum class Side { Source, Destination };
// After a thread or a folder failed on one side, stops the run where that
// side can take no more: a full destination, or a side whose folder no
// longer answers (the source) or takes a new file (the destination). A
// failure of the thread's own (a name too long, a file too large) asks
// nothing, and neither does a failure once the run has stopped.
void NoteFailure(Side side, platform::IoError error, RunTally& tally);
// The destination's disk went away: what is still open there is closed and
// nothing more is asked of it.
inline bool DestinationGone(const RunTally& tally) {
    return tally.stop == RunStop::DestinationGone;
}

enum class FailedItem { Thread, Folder };
// Reports a failure on standard error, counts it, and keeps it for the summary.
void ReportFailure(FailedItem item, const char* message, const std::string& path, const char* cause,
                   RunTally& tally);
// The same for a failure found after later lines were held: its line and its
// record take the places they would have had when the thread was converted.
void ReportFailureAt(std::size_t linePosition, std::size_t failurePosition, FailedItem item, const char* message,
                     const std::string& path, const char* cause, RunTally& tally);
