#include "disk/written_file.h"

namespace disk {

using platform::IoError;

IoError CreateWritten(const std::string& place, Where where, WrittenFile& written) {
    written.place = place;
    written.atPlace = where == Where::AtPlace;
    auto ifPresent = written.atPlace ? platform::IfPresent::Refuse : platform::IfPresent::Replace;
    return platform::CreateNewFile(written.WrittenName(), ifPresent, written.file);
}

IoError Commit(WrittenFile& written) {
    IoError error = platform::CloseFile(written.file);
    if (error == IoError::None && !written.atPlace) error = platform::ReplaceFile(written.WrittenName(), written.place);
    if (error != IoError::None) platform::RemoveFile(written.WrittenName());
    return error;
}

void RollBack(WrittenFile& written) {
    platform::CloseFile(written.file);
    platform::RemoveFile(written.WrittenName());
}

void Abandon(WrittenFile& written) {
    platform::CloseFile(written.file);
}

void RemoveLeftovers(const std::string& folder) {
    constexpr std::size_t kSuffixSize = sizeof kTemporarySuffix - 1;
    platform::DirectorySearch search;
    platform::DirectoryEntry entry;
    if (!platform::StartSearch(folder, search)) return;
    while (platform::NextEntry(search, entry)) {
        const std::string& name = entry.name;
        bool temporary = name.size() > kSuffixSize &&
                         name.compare(name.size() - kSuffixSize, kSuffixSize, kTemporarySuffix) == 0;
        if (!entry.isFolder && temporary) platform::RemoveFile(platform::InFolder(folder, name));
    }
    platform::CloseSearch(search);
}

}  // namespace disk
