// What the dialogue on a console of the tool's own shows before a run.
#pragma once

#include <string>

#include "run/run.h"

// Shows the threads to convert and their bytes, from the count that the
// title uses too; where the destination's disk tells its space, the space
// their files will take there, counted in its allocation units, and the
// space the user may still write, with a warning where they will not fit.
void ShowWhatFits(const std::string& sourceFolder, const std::string& destinationFolder, RunTally& tally);
