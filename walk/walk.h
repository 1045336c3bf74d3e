// The log tree walk: mirrors the source folders under the destination and
// hands every thread file to the conversion.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "run/run.h"

ConvertResult ConvertTree(const std::string& sourceFolder, const std::string& destinationFolder,
                          const std::string& destinationRoot, RunTally& tally);

// Counts, before the walk and by its rules, the thread files it will hand to
// the conversion and their bytes, without reading one, into tally.progress.
void CountThreads(const std::string& sourceFolder, const std::string& destinationFolder,
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
// A folder whose path is longer than the system takes is refused as that
// (`tooLong`), not as missing.
FolderPairProblem CheckFolderPair(const std::string& sourceFolder, const std::string& destinationFolder,
                                  bool& tooLong);
