// The disks of a run: the watch over the two folders' disks, which decides
// whether the run goes on after a failure, and the flush of a group's files,
// with as few flushes of each disk as the platform allows.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/progress.h"
#include "run/run.h"

namespace disk {

enum class Side { Source, Destination };

// Starts watching the two folders' disks, with no verdict yet. Gives why the
// destination takes no new file (read-only, write-protected, closed to the
// user), or None where it takes one; a full destination converts what fits.
platform::IoError Watch(const std::string& sourceRoot, const std::string& destinationRoot, Disks& disks);
// After a thread or a folder failed on one side, asks that side's disk
// whether it can take more: the source's root still lists, the destination's
// root takes a new file; and gives the side's verdict. A failure of the
// file's own (a name too long, a file too large, one in use) asks nothing,
// and neither does one once the run has stopped.
Verdict AskDisk(Disks& disks, Side side, platform::IoError error);
// How the run ended, from the verdicts and whether the walk stopped at a broken log.
RunEnd EndOfRun(const Disks& disks, bool brokenLog);

// The calls a group's flush is made of: the platform's, unless a test put
// stand-ins in their place.
struct FlushCalls {
    std::string (*diskOf)(platform::FileHandle);
    bool (*oneFlushCovers)(platform::FileHandle);
    platform::IoError (*writeWithoutDiskFlush)(platform::FileHandle);
    platform::IoError (*flushDisk)(platform::FileHandle);
    platform::IoError (*flushFile)(platform::FileHandle);
};
FlushCalls& Flushes();

// Returns once the bytes of every file are on the disk; `errors` gets one
// result per file, None only where its bytes are confirmed there. A file whose
// own flush fails is put to the disk at once; where that finds the
// destination gone, the files not yet flushed are left untried and failed
// with that error, as a dropped share would fail each of them, slowly. Gives
// how many files, from the first, it tried.
std::size_t FlushFiles(const std::vector<platform::FileHandle>& files, std::vector<platform::IoError>& errors,
                       Disks& disks);

}  // namespace disk
