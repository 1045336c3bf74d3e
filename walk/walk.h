// The log tree walk: mirrors the source folders under the destination and
// hands every thread file to the conversion.
#pragma once

#include <string>

enum ConvertResult { Continue = 0, Abort = 1 };

// What a run did, for the summary line and the exit status.
struct RunTally {
    long long migrated = 0;
    long long passedOver = 0;
    long long failed = 0;          // threads
    long long failedFolders = 0;   // folders that could not be opened or were not walked
};

ConvertResult ConvertTree(const std::string& sourceFolder, const std::string& destinationFolder,
                          const std::string& destinationRoot, RunTally& tally);

enum class FolderPairProblem {
    None,
    SourceNotFolder,
    DestinationNotFolder,
    SameFolder,
    DestinationInsideSource,
    SourceInsideDestination,
};

// Refuses a pair of folders that are not two separate existing folders,
// judged by file identity, not by the spelling of the paths.
FolderPairProblem CheckFolderPair(const std::string& sourceFolder, const std::string& destinationFolder);
