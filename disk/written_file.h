// A file that is written before it may carry its name: a copy that replaces
// an older file, an index record, the probe of a disk. It is created under a
// temporary name beside its place, written, flushed with its group, then
// renamed into place or removed; what a kill leaves under the temporary name
// is removed by the next run. A new copy is the one file written at its place
// directly: until its index exists, a later run takes it for unfinished.
#pragma once

#include <string>

#include "platform/platform.h"

namespace disk {

// Suffix of every temporary name the tool writes under.
inline constexpr char kTemporarySuffix[] = ".m2t-tmp";

struct WrittenFile {
    std::string place;  // the name it takes once committed
    platform::FileHandle file;
    bool atPlace = false;  // written under its own name, as a new copy is
    std::string WrittenName() const { return atPlace ? place : place + kTemporarySuffix; }
};

// Creates the file at its place, failing with AlreadyExists where something
// is there; or beside its place, replacing what a killed run left there.
enum class Where { AtPlace, Beside };
platform::IoError CreateWritten(const std::string& place, Where where, WrittenFile& written);
// Closes the file and, where it was written beside its place, renames it over
// whatever is there. With any failure nothing of it is left. The rename lasts
// a power cut only once the folder is synced.
platform::IoError Commit(WrittenFile& written);
// Closes the file and removes it.
void RollBack(WrittenFile& written);
// Closes the file and makes no other call on its disk, which no longer answers.
void Abandon(WrittenFile& written);

// Removes the files a killed run left under temporary names in the folder.
void RemoveLeftovers(const std::string& folder);

}  // namespace disk
