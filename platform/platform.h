// What the tool needs from the operating system: directory search, folder
// creation, file identity and plain file I/O. One implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The path separator of this platform.
extern const char kSeparator;

// The path of a name in a folder; a folder given with a separator at its end
// ("D:\\Log\\") gets no second one.
inline std::string InFolder(const std::string& folder, const std::string& name) {
    bool ended = !folder.empty() && folder.back() == kSeparator;
    return ended ? folder + name : folder + kSeparator + name;
}

// Why an operation failed: one of the few classes the console messages tell
// apart, and the system's own code (errno, or Windows's error code), which
// every failure line shows; 0 where the tool found the failure itself.
// Failures compare by their class.
struct IoError {
    enum Class : std::uint8_t {
        None,
        NotFound,
        AccessDenied,
        DiskFull,
        FileTooLarge,  // for the file system (FAT32 holds at most 4 GiB a file), not for the space left
        NameTooLong,
        InvalidName,  // a name the file system does not allow
        NotAFile,
        AlreadyExists,
        ReadOnly,  // a read-only file system or a write-protected medium
        Gone,      // the disk or the share no longer answers: unplugged, disconnected, its server ended
        InUse,     // another program holds the file open and shares it with no one
        Other      // none of these: the system's code tells what it was
    };
    Class kind = None;
    std::uint32_t code = 0;
    constexpr IoError(Class kind = None, std::uint32_t code = 0) : kind(kind), code(code) {}
    friend constexpr bool operator==(IoError a, IoError b) { return a.kind == b.kind; }
    friend constexpr bool operator!=(IoError a, IoError b) { return a.kind != b.kind; }
};

// Device and file number: equal identities name the same file or folder. A
// file number of zero is unknown (a server may give every file that one),
// and an unknown identity equals another only where both tell the same
// resolved path, so that neither a folder nor a thread is refused for a
// number the system did not give.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::uint64_t fileHigh = 0;  // the upper half of a 128-bit file number
    std::string path;            // where the number is unknown: the path as the system resolved it, or ""
    bool Known() const { return file != 0 || fileHigh != 0; }
    bool operator==(const FileIdentity& other) const {
        if (Known() && other.Known()) return device == other.device && file == other.file && fileHigh == other.fileHigh;
        return !path.empty() && path == other.path;
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

bool IsFolder(const std::string& path);
// The folder as an absolute path, made once so that no path below it has to
// be; as it is where the system takes it as it is.
std::string AbsoluteFolder(const std::string& folder);
// Identity of what the path leads to, following links.
bool IdentityOf(const std::string& path, FileIdentity& identity);
// Identity of the folder and of each of its ancestors up to the file system
// root, or up to the first that does not open; false only where the folder
// itself does not open.
bool FolderAncestry(const std::string& folder, std::vector<FileIdentity>& ancestry);

struct FileHandle {
    std::intptr_t value = -1;
};

// Opens a regular file for reading; gives its size and its last write time.
IoError OpenForReading(const std::string& path, FileHandle& file, FileState& state);
// Identity of an open file.
bool IdentityOfFile(FileHandle file, FileIdentity& identity);
// The size and last write time of an open file, as they are now.
IoError StateOf(FileHandle file, FileState& state);
// Reads up to capacity bytes; count 0 means end of file.
IoError ReadSome(FileHandle file, char* buffer, std::size_t capacity, std::size_t& count);
// Creates a file that did not exist. With Replace, a leftover of that name is
// removed first; with Refuse, the call fails with AlreadyExists instead.
enum class IfPresent { Replace, Refuse };
IoError CreateNewFile(const std::string& path, IfPresent ifPresent, FileHandle& file);
IoError WriteAll(FileHandle file, const char* data, std::size_t size);
// How many files the system lets the tool hold open at once; SIZE_MAX where
// it sets no limit the tool could meet.
std::size_t OpenFilesLimit();
// Starts writing `length` bytes of the file from `offset` to the disk and
// returns without waiting, so that the disk works while the tool goes on and
// a later flush finds less to write.
void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length);
// The disk a file lies on, as bytes equal for every file on the same one;
// empty where that cannot be told.
std::string DiskOf(FileHandle file);
// Whether one FlushDisk makes every file on the disk durable that was written
// there, and handed over with WriteWithoutDiskFlush, before it; and says so
// when it could not.
bool OneFlushCovers(FileHandle file);
// Writes the file's bytes to the disk without waiting for the disk's own cache,
// where the platform needs that step before FlushDisk; None where it needs none.
IoError WriteWithoutDiskFlush(FileHandle file);
// Flushes the disk the file lies on, through the file.
IoError FlushDisk(FileHandle file);
// Returns once the file's bytes are on the disk, so that they outlast a power cut.
IoError FlushFile(FileHandle file);
// Returns once the files moved into the folder with ReplaceFile keep their
// names after a power cut.
IoError SyncFolder(const std::string& folder);
IoError CloseFile(FileHandle& file);
// Moves a file into place, replacing the directory entry of that name. The
// move outlasts a power cut once SyncFolder of the folder it went into returns.
IoError ReplaceFile(const std::string& from, const std::string& to);
IoError RemoveFile(const std::string& path);

// The system's own words for one of its error codes, in the user's language
// and without a line end, shown as paths are; "" where it has none.
std::string ErrorWords(std::uint32_t code);

// The number of the tool's process, which no other running process has.
std::uint32_t ProcessId();

// A text made of names from the file system (a thread's URL) in Shift_JIS, as
// an index holds it: on POSIX names are bytes and stay as they are; on
// Windows false where a character has none in code page 932.
bool ShiftJisOf(const std::string& text, std::string& shiftJis);

}  // namespace platform
