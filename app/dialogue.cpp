#include "app/dialogue.h"

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "run/lines.h"
#include "texts/japanese.h"
#include "walk/walk.h"

// Each small thread takes a whole unit for its copy and one for its index:
// on a disk of large units that is far more than its bytes.
void ShowWhatFits(const std::string& sourceFolder, const std::string& destinationFolder, RunTally& tally) {
    RunProgress& progress = tally.progress;
    progress.countToConvert = true;
    std::uint64_t freeBytes = 0;
    bool spaceKnown = platform::DiskSpace(destinationFolder, freeBytes, progress.allocationUnit);
    CountThreads(sourceFolder, destinationFolder, destinationFolder, tally);
    WriteLine(stdout, {text::kShowThreads, Grouped(progress.threadsToConvert), text::kShowThreadsBytes,
                                 SizeText(progress.bytesToConvert)});
    if (!spaceKnown) return;
    WriteLine(stdout, {text::kShowSpaceNeeded, SizeText(progress.spaceToConvert)});
    WriteLine(stdout, {text::kShowFreeSpace, SizeText(freeBytes)});
    if (progress.spaceToConvert > freeBytes) WriteLine(stdout, {text::kNotEnoughSpace});
}
