// What the tool needs from the operating system: directory search, folder
// creation, file identity and plain file I/O. One implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The path separator of this platform.
extern const char kSeparator;

// Why an operation failed, in the few classes the console messages tell apart.
enum class IoError {
    None,
    NotFound,
    AccessDenied,
    DiskFull,
    FileTooLarge,  // for the file system (FAT32 holds at most 4 GiB a file), not for the space left
    NameTooLong,
    NotAFile,
    AlreadyExists,
    ReadOnly,  // a read-only file system or a write-protected medium
    Gone,      // the disk or the share no longer answers: unplugged, disconnected, its server ended
    Other
};

// Device and file number: equal identities name the same file or folder.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool operator==(const FileIdentity& other) const {
        return device == other.device && file == other.file;
    }
};

// What tells that a file changed: its size and its last write time, in the
// platform's own units.
struct FileState {
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    bool operator==(const FileState& other) const { return size == other.size && modified == other.modified; }
};

struct DirectoryEntry {
    std::string name;
    bool isFolder = false;
};

struct DirectorySearch {
    void* handle = nullptr;
    std::string folder;
    IoError error = IoError::None;  // why the search could not start, or ended before its last entry
};

// Starts listing a folder's entries in the order the platform yields them.
bool StartSearch(const std::string& folder, DirectorySearch& search);
// Yields the next entry; false when there is none left, or when the listing
// failed, which `search.error` then tells.
bool NextEntry(DirectorySearch& search, DirectoryEntry& entry);
void CloseSearch(DirectorySearch& search);
// The size in bytes of the entry NextEntry gave last; 0 when it cannot be had.
std::uint64_t EntrySize(DirectorySearch& search, const DirectoryEntry& entry);

// A clock in milliseconds that only goes forward, for the console's title.
std::uint64_t Milliseconds();

// Creates a folder; AlreadyExists when something is at the path.
IoError CreateFolder(const std::string& path);
// The bytes the user may still write on the disk that holds the folder, and
// the disk's allocation unit: every file takes a whole number of them.
bool DiskSpace(const std::string& folder, std::uint64_t& freeBytes, std::uint64_t& allocationUnit);

// Whether the folder's disk still takes a new file there, found by making one,
// flushed where the platform's caches could answer for a disk gone, that
// leaves nothing behind, even when the tool is killed meanwhile.
IoError TakesNewFile(const std::string& folder);

bool IsFolder(const std::string& path);
// Identity of what the path leads to, following links.
bool IdentityOf(const std::string& path, FileIdentity& identity);
// Identity of the folder and of each of its ancestors up to the file system root.
bool FolderAncestry(const std::string& folder, std::vector<FileIdentity>& ancestry);

struct FileHandle {
    std::intptr_t value = -1;
};

// Opens a regular file for reading; gives its identity, its size and its last write time.
IoError OpenForReading(const std::string& path, FileHandle& file, FileIdentity& identity, FileState& state);
// The size and last write time of an open file, as they are now.
IoError StateOf(FileHandle file, FileState& state);
// Reads up to capacity bytes; count 0 means end of file.
IoError ReadSome(FileHandle file, char* buffer, std::size_t capacity, std::size_t& count);
// Creates a file that did not exist. With Replace, a leftover of that name is
// removed first; with Refuse, the call fails with AlreadyExists instead.
enum class IfPresent { Replace, Refuse };
IoError CreateNewFile(const std::string& path, IfPresent ifPresent, FileHandle& file);
IoError WriteAll(FileHandle file, const char* data, std::size_t size);
// How many files the tool may hold open at once, besides those it needs to
// walk the tree.
std::size_t FilesOpenAtOnce();
// Starts writing `length` bytes of the file from `offset` to the disk and
// returns without waiting, so that the disk works while the tool goes on and
// a later flush finds less to write.
void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length);
// Returns once the bytes of every file are on the disk, so that they outlast a
// power cut, with as few flushes of the disk as the platform allows. `errors`
// gets one result per file: None only where that file's bytes are confirmed
// on the disk. Where a file's own flush fails, `goOn` is asked, with the
// file's place and the error, whether to flush the rest: when it says no, the
// files not yet flushed are left untried, failed with that error, as a disk
// gone would fail each of them, slowly on a dropped share.
using FlushFailed = std::function<bool(std::size_t file, IoError error)>;
void SyncFiles(const std::vector<FileHandle>& files, std::vector<IoError>& errors, const FlushFailed& goOn);
// Returns once the files moved into the folder with ReplaceFile keep their
// names after a power cut.
IoError SyncFolder(const std::string& folder);
IoError CloseFile(FileHandle& file);
// Creates a file without a name in the folder of `path`, where the platform
// and the file system have such files: it vanishes with its handle unless
// NameUnnamedFile names it. False where they have none, and the caller writes
// under a temporary name instead; true when it was tried, with `error`
// telling how it went.
bool CreateUnnamedFile(const std::string& path, FileHandle& file, IoError& error);
// Gives a file from CreateUnnamedFile its name; AlreadyExists when something
// is at the path, which is left as it is.
IoError NameUnnamedFile(FileHandle file, const std::string& path);
// Moves a file into place, replacing the directory entry of that name. The
// move outlasts a power cut once SyncFolder of the folder it went into returns.
IoError ReplaceFile(const std::string& from, const std::string& to);
void RemoveFile(const std::string& path);

// Chooses how the console shows the tool's Shift_JIS texts: on POSIX, when the
// locale's character set is UTF-8, they are converted to UTF-8. On Windows
// each stream that is a console gets its text through the console's own
// wide-character interface; a stream that is a file or a pipe gets the bytes.
void SetUpConsole();

}  // namespace platform
