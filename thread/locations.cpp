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
    // The walk forms every destination path as the root text, one separator, the rest.
    std::size_t skipped = destinationRoot.size() + 1;
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

// An empty index file, or one of NUL bytes alone, is what a power cut leaves
// of an index whose bytes never reached the disk (neither this tool nor the
// reader writes one), so it counts as none.
bool IsIndexed(const std::string& indexFile) {
    return platform::OpensWithContent(indexFile);
}
