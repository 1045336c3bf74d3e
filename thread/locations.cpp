#include "thread/thread.h"

std::string_view StemOf(const std::string& destinationFile) {
    return std::string_view(destinationFile).substr(0, destinationFile.rfind('.'));
}

std::string IndexFileOf(const std::string& destinationFile) {
    return std::string(StemOf(destinationFile)) + ".idx";
}

ThreadLocations LocateThread(const std::string& destinationFile, const std::string& destinationRoot) {
    ThreadLocations locations;
    locations.stem = StemOf(destinationFile);
    locations.indexFile = IndexFileOf(destinationFile);
    // The walk forms every destination path as the root text, one separator
    // unless the root ends with one, the rest.
    bool ended = !destinationRoot.empty() && destinationRoot.back() == platform::kSeparator;
    std::size_t skipped = destinationRoot.size() + (ended ? 0 : 1);
    if (skipped < locations.stem.size()) locations.relativePath = locations.stem.substr(skipped);
    std::size_t firstSeparator = locations.relativePath.find(platform::kSeparator);
    locations.hasHost = firstSeparator != std::string::npos;
    if (!locations.hasHost) return locations;
    locations.host = locations.relativePath.substr(0, firstSeparator);
    locations.threadPath = locations.relativePath.substr(firstSeparator);
    for (char& byte : locations.threadPath) {
        if (byte == platform::kSeparator) byte = '/';
    }
    locations.url = "http://" + locations.host + "/test/read.cgi" + locations.threadPath + "/";
    return locations;
}

namespace {

// Reads up to `size` bytes of the file and tells whether one is not NUL. A
// file it cannot read is taken to hold something, so that it is left alone.
bool ReadsOtherThanNul(platform::FileHandle file, std::uint64_t size) {
    char buffer[512];
    while (size > 0) {
        std::size_t got = 0;
        std::size_t wanted = size < sizeof buffer ? static_cast<std::size_t>(size) : sizeof buffer;
        if (platform::ReadSome(file, buffer, wanted, got) != platform::IoError::None) return true;
        if (got == 0) return false;
        for (std::size_t i = 0; i < got; ++i) {
            if (buffer[i] != '\0') return true;
        }
        size -= got;
    }
    return false;
}

}  // namespace

// An index that does not open as a file, an empty one, or one of NUL bytes
// alone counts as none: the last two are what a power cut leaves of an index
// whose bytes never reached the disk, and neither this tool nor the reader
// writes one.
bool IsIndexed(const std::string& indexFile) {
    platform::FileHandle file;
    platform::FileState state;
    if (platform::OpenForReading(indexFile, file, state) != platform::IoError::None) return false;
    bool indexed = state.size > 0 && ReadsOtherThanNul(file, state.size);
    platform::CloseFile(file);
    return indexed;
}
