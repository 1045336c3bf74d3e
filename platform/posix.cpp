// POSIX implementation of the platform layer's files and folders: each call
// carries out the system's and reports what happened.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#ifdef __linux__
#include <sys/utsname.h>
#include <sys/vfs.h>
#endif

namespace platform {

const char kSeparator = '/';

namespace {

IoError::Class ClassOf(int error) {
    switch (error) {
        case 0: return IoError::None;
        case ENOENT:
        case ENOTDIR: return IoError::NotFound;
        case EACCES:
        case EPERM: return IoError::AccessDenied;
        case EROFS: return IoError::ReadOnly;
        case ENOTCONN:  // a FUSE file system whose server ended, a share that dropped
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
        case ENOMEDIUM:
        case ESTALE: return IoError::Gone;
        case ENOSPC:
        case EDQUOT: return IoError::DiskFull;
        case EFBIG: return IoError::FileTooLarge;
        case ENAMETOOLONG: return IoError::NameTooLong;
        case EEXIST: return IoError::AlreadyExists;
        default: return IoError::Other;
    }
}

IoError FromErrno(int error) {
    return IoError(ClassOf(error), static_cast<std::uint32_t>(error));
}

FileState StateFromStat(const struct stat& status) {
    FileState state;
    state.size = static_cast<std::uint64_t>(status.st_size);
    state.modified = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return state;
}

FileIdentity IdentityFromStat(const struct stat& status) {
    FileIdentity identity;
    identity.device = static_cast<std::uint64_t>(status.st_dev);
    identity.file = static_cast<std::uint64_t>(status.st_ino);
    return identity;
}

#ifdef O_PATH
constexpr int kLookupFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kLookupFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

}  // namespace

bool StartSearch(const std::string& folder, DirectorySearch& search) {
    DIR* directory = opendir(folder.c_str());
    search.handle = directory;
    search.error = directory != nullptr ? IoError::None : FromErrno(errno);
    return directory != nullptr;
}

// readdir tells the end of the listing from a failure by errno alone.
bool NextEntry(DirectorySearch& search, DirectoryEntry& entry) {
    DIR* directory = static_cast<DIR*>(search.handle);
    errno = 0;
    struct dirent* found = readdir(directory);
    if (found == nullptr) {
        search.error = FromErrno(errno);
        return false;
    }
    entry.name = found->d_name;
    if (found->d_type == DT_DIR) {
        entry.isFolder = true;
    } else if (found->d_type == DT_LNK || found->d_type == DT_UNKNOWN) {
        struct stat status;
        entry.isFolder = fstatat(dirfd(directory), found->d_name, &status, 0) == 0 && S_ISDIR(status.st_mode);
    } else {
        entry.isFolder = false;
    }
    return true;
}

void CloseSearch(DirectorySearch& search) {
    if (search.handle != nullptr) closedir(static_cast<DIR*>(search.handle));
    search.handle = nullptr;
}

std::uint64_t EntrySize(DirectorySearch& search, const DirectoryEntry& entry) {
    struct stat status;
    if (fstatat(dirfd(static_cast<DIR*>(search.handle)), entry.name.c_str(), &status, 0) != 0) return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

std::uint64_t Milliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

IoError CreateFolder(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0 ? IoError::None : FromErrno(errno);
}

// The fragment is the unit a file system allocates in.
bool DiskSpace(const std::string& folder, std::uint64_t& freeBytes, std::uint64_t& allocationUnit) {
    struct statvfs fileSystem;
    if (statvfs(folder.c_str(), &fileSystem) != 0) return false;
    freeBytes = static_cast<std::uint64_t>(fileSystem.f_bavail) * fileSystem.f_frsize;
    allocationUnit = fileSystem.f_frsize;
    return true;
}

bool IsFolder(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool IdentityOf(const std::string& path, FileIdentity& identity) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return false;
    identity = IdentityFromStat(status);
    return true;
}

std::string AbsoluteFolder(const std::string& folder) {
    return folder;
}

// Each ancestor is the ".." of the one before; the root is its own parent.
bool FolderAncestry(const std::string& folder, std::vector<FileIdentity>& ancestry) {
    ancestry.clear();
    int current = open(folder.c_str(), kLookupFlags);
    while (current >= 0) {
        struct stat status;
        bool known = fstat(current, &status) == 0;
        FileIdentity identity = known ? IdentityFromStat(status) : FileIdentity{};
        bool root = known && !ancestry.empty() && ancestry.back() == identity;
        if (known && !root) ancestry.push_back(identity);
        int parent = known && !root ? openat(current, "..", kLookupFlags) : -1;
        close(current);
        current = parent;
    }
    return !ancestry.empty();
}

IoError OpenForReading(const std::string& path, FileHandle& file, FileState& state) {
    int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return FromErrno(errno);
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return IoError::NotAFile;
    }
    state = StateFromStat(status);
    file.value = descriptor;
    return IoError::None;
}

bool IdentityOfFile(FileHandle file, FileIdentity& identity) {
    struct stat status;
    if (fstat(static_cast<int>(file.value), &status) != 0) return false;
    identity = IdentityFromStat(status);
    return true;
}

IoError StateOf(FileHandle file, FileState& state) {
    struct stat status;
    if (fstat(static_cast<int>(file.value), &status) != 0) return FromErrno(errno);
    state = StateFromStat(status);
    return IoError::None;
}

IoError ReadSome(FileHandle file, char* buffer, std::size_t capacity, std::size_t& count) {
    while (true) {
        ssize_t got = read(static_cast<int>(file.value), buffer, capacity);
        if (got >= 0) {
            count = static_cast<std::size_t>(got);
            return IoError::None;
        }
        if (errno != EINTR) return FromErrno(errno);
    }
}

IoError CreateNewFile(const std::string& path, IfPresent ifPresent, FileHandle& file) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int descriptor = open(path.c_str(), kFlags, 0666);
    if (descriptor < 0 && errno == EEXIST && ifPresent == IfPresent::Replace) {
        unlink(path.c_str());
        descriptor = open(path.c_str(), kFlags, 0666);
    }
    if (descriptor < 0) return FromErrno(errno);
    file.value = descriptor;
    return IoError::None;
}

IoError WriteAll(FileHandle file, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t put = write(static_cast<int>(file.value), data, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            return FromErrno(errno);
        }
        if (put == 0) return IoError(IoError::DiskFull, ENOSPC);
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return IoError::None;
}

namespace {

#ifdef __linux__
bool KernelAtLeast(int major, int minor) {
    struct utsname system;
    int hasMajor = 0;
    int hasMinor = 0;
    if (uname(&system) != 0 || std::sscanf(system.release, "%d.%d", &hasMajor, &hasMinor) != 2) return false;
    return hasMajor > major || (hasMajor == major && hasMinor >= minor);
}

// Whether one syncfs of the file system holding `descriptor` makes every file
// written there durable and says so when it could not. It does on ext4, XFS
// and Btrfs: their syncfs writes back every dirty file, then commits the
// journal (or the transaction) with a flush of the disk's cache. And only
// from Linux 5.8 on, which made syncfs report a failed write-back; before,
// it returned 0 all the same. Elsewhere syncfs is no flush to rely on: on a
// FUSE file system (LazyFS, ntfs-3g, exfat-fuse) it reaches no server at all,
// and FAT and exFAT in the kernel write their blocks without flushing the
// disk's cache, which each fdatasync of theirs does.
bool SyncfsFlushes(int descriptor) {
    static const bool reportsFailures = KernelAtLeast(5, 8);
    struct statfs fileSystem;
    if (!reportsFailures || fstatfs(descriptor, &fileSystem) != 0) return false;
    switch (static_cast<unsigned long>(fileSystem.f_type)) {
        case 0xEF53:      // ext2, ext3, ext4
        case 0x58465342:  // XFS
        case 0x9123683E:  // Btrfs
            return true;
        default:
            return false;
    }
}
#endif

}  // namespace

// The soft limit on open files.
std::size_t OpenFilesLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return static_cast<std::size_t>(limit.rlim_cur);
}

void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length) {
#ifdef __linux__
    (void)sync_file_range(static_cast<int>(file.value), static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
    (void)offset;
    (void)length;
#endif
}

// A file system is told by its device number.
std::string DiskOf(FileHandle file) {
    struct stat status;
    if (fstat(static_cast<int>(file.value), &status) != 0) return std::string();
    return std::string(reinterpret_cast<const char*>(&status.st_dev), sizeof status.st_dev);
}

bool OneFlushCovers(FileHandle file) {
#ifdef __linux__
    return SyncfsFlushes(static_cast<int>(file.value));
#else
    (void)file;
    return false;
#endif
}

// syncfs writes every file back itself.
IoError WriteWithoutDiskFlush(FileHandle) {
    return IoError::None;
}

IoError FlushDisk(FileHandle file) {
#ifdef __linux__
    return syncfs(static_cast<int>(file.value)) == 0 ? IoError::None : FromErrno(errno);
#else
    (void)file;
    return IoError::Other;
#endif
}

// EINVAL: the file system has no flush, and nothing to wait for.
IoError FlushFile(FileHandle file) {
    bool flushed = fdatasync(static_cast<int>(file.value)) == 0 || errno == EINVAL;
    return flushed ? IoError::None : FromErrno(errno);
}

// EINVAL: the file system has no flush of a folder, and so nothing to wait for.
IoError SyncFolder(const std::string& folder) {
    int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return FromErrno(errno);
    IoError error = fsync(descriptor) == 0 || errno == EINVAL ? IoError::None : FromErrno(errno);
    close(descriptor);
    return error;
}

IoError CloseFile(FileHandle& file) {
    if (file.value < 0) return IoError::None;
    int result = close(static_cast<int>(file.value));
    file.value = -1;
    return result == 0 ? IoError::None : FromErrno(errno);
}

IoError ReplaceFile(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0 ? IoError::None : FromErrno(errno);
}

IoError RemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0 ? IoError::None : FromErrno(errno);
}

// strerror's words are in the locale's character set, as paths are shown.
std::string ErrorWords(std::uint32_t code) {
    return std::strerror(static_cast<int>(code));
}

std::uint32_t ProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

bool ShiftJisOf(const std::string& text, std::string& shiftJis) {
    shiftJis = text;
    return true;
}

}  // namespace platform
