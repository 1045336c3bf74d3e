// Win32 implementation of the platform layer. Paths are the ANSI (code page
// 932) bytes of the command line and go to the ANSI interfaces unchanged.
#include "platform/platform.h"

#include "platform/win32_calls.h"
// windows.h names a function of its own ReplaceFile.
#undef ReplaceFile

#include <io.h>

#include <cstdio>
#include <cstring>

namespace platform {

const char kSeparator = '\\';

IoError FromWindowsError(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS: return IoError::None;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_DRIVE: return IoError::NotFound;
        case ERROR_ACCESS_DENIED: return IoError::AccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return IoError::InUse;
        case ERROR_WRITE_PROTECT: return IoError::ReadOnly;
        // The disk or the share went away: a drive with no medium or not
        // ready, a device unplugged, a network name or connection lost, the
        // volume of an open file gone.
        case ERROR_NOT_READY:
        case ERROR_NO_MEDIA_IN_DRIVE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BAD_NETPATH:
        case ERROR_NETNAME_DELETED:
        case ERROR_UNEXP_NET_ERR:
        case ERROR_FILE_INVALID: return IoError::Gone;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return IoError::DiskFull;
        case ERROR_FILE_TOO_LARGE: return IoError::FileTooLarge;
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BUFFER_OVERFLOW: return IoError::NameTooLong;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return IoError::AlreadyExists;
        default: return SystemError(code);
    }
}

namespace {

struct Search {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA found{};
    bool pending = false;  // `found` holds an entry not yet handed out
};

IoError FromLastError() {
    return FromWindowsError(GetLastError());
}

// The ANSI interfaces take at most MAX_PATH bytes with the terminating NUL;
// a longer path is refused here the same way on every Windows version.
bool FitsAnsiPath(const std::string& path) {
    return path.size() < MAX_PATH;
}

IoError RefuseLongPath() {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return IoError::NameTooLong;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens a file or folder only to ask about it; links and junctions are followed.
HANDLE OpenForQuery(const std::string& path) {
    if (!FitsAnsiPath(path)) return INVALID_HANDLE_VALUE;
    return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

HANDLE OpenForQuery(const std::wstring& path) {
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

FileIdentity IdentityFromInformation(const BY_HANDLE_FILE_INFORMATION& information) {
    FileIdentity identity;
    identity.device = information.dwVolumeSerialNumber;
    identity.file = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return identity;
}

FileState StateFromInformation(const BY_HANDLE_FILE_INFORMATION& information) {
    FileState state;
    state.size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    state.modified = static_cast<std::int64_t>((static_cast<std::uint64_t>(information.ftLastWriteTime.dwHighDateTime)
                                                << 32) |
                                               information.ftLastWriteTime.dwLowDateTime);
    return state;
}

bool IdentityOfHandle(HANDLE handle, FileIdentity& identity, DWORD* attributes = nullptr) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) return false;
    identity = IdentityFromInformation(information);
    if (attributes != nullptr) *attributes = information.dwFileAttributes;
    return true;
}

// Identity of what an ANSI or a wide path leads to.
template <typename Path>
bool IdentityOfPath(const Path& path, FileIdentity& identity) {
    HANDLE handle = OpenForQuery(path);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool known = IdentityOfHandle(handle, identity);
    CloseHandle(handle);
    return known;
}

// The folder's own path with every link and junction resolved, as
// "\\?\C:\a\b" or "\\?\UNC\server\share\a".
bool FinalPath(HANDLE folder, std::wstring& path) {
    DWORD size = GetFinalPathNameByHandleW(folder, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (size == 0) return false;
    path.assign(size, L'\0');
    DWORD written = GetFinalPathNameByHandleW(folder, &path[0], size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (written == 0 || written >= size) return false;
    path.resize(written);
    return true;
}

// Where the volume's root ends in a final path: after "\\?\C:\" or after
// "\\?\UNC\server\share\".
std::size_t RootLength(const std::wstring& path) {
    const std::wstring unc = L"\\\\?\\UNC\\";
    if (path.compare(0, unc.size(), unc) == 0) {
        std::size_t server = path.find(L'\\', unc.size());
        if (server == std::wstring::npos) return path.size();
        std::size_t share = path.find(L'\\', server + 1);
        return share == std::wstring::npos ? path.size() : share + 1;
    }
    std::size_t drive = path.find(L'\\', 4);
    return drive == std::wstring::npos ? path.size() : drive + 1;
}

}  // namespace

// A folder with no entry at all (the root of an empty drive, which lists no
// "." or "..") gives ERROR_FILE_NOT_FOUND: its listing is empty.
bool StartSearch(const std::string& folder, DirectorySearch& search) {
    search.handle = nullptr;
    search.error = IoError::None;
    std::string pattern = folder + "\\*";
    if (!FitsAnsiPath(pattern)) {
        search.error = RefuseLongPath();
        return false;
    }
    Search* state = new Search;
    state->find = FindFirstFileA(pattern.c_str(), &state->found);
    state->pending = state->find != INVALID_HANDLE_VALUE;
    if (!state->pending && GetLastError() != ERROR_FILE_NOT_FOUND) {
        search.error = FromLastError();
        delete state;
        return false;
    }
    search.handle = state;
    return true;
}

bool NextEntry(DirectorySearch& search, DirectoryEntry& entry) {
    Search* state = static_cast<Search*>(search.handle);
    if (state->find == INVALID_HANDLE_VALUE) return false;
    if (!state->pending && !FindNextFileA(state->find, &state->found)) {
        if (GetLastError() != ERROR_NO_MORE_FILES) search.error = FromLastError();
        return false;
    }
    state->pending = false;
    entry.name = state->found.cFileName;
    entry.isFolder = (state->found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

void CloseSearch(DirectorySearch& search) {
    Search* state = static_cast<Search*>(search.handle);
    if (state != nullptr) {
        if (state->find != INVALID_HANDLE_VALUE) FindClose(state->find);
        delete state;
    }
    search.handle = nullptr;
}

std::uint64_t EntrySize(DirectorySearch& search, const DirectoryEntry&) {
    const WIN32_FIND_DATAA& found = static_cast<Search*>(search.handle)->found;
    return (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
}

std::uint64_t Milliseconds() {
    return GetTickCount64();
}

IoError CreateFolder(const std::string& path) {
    if (!FitsAnsiPath(path)) return RefuseLongPath();
    return CreateDirectoryA(path.c_str(), nullptr) ? IoError::None : FromLastError();
}

// The space is what the user may write, under a quota less than the disk's;
// the unit is the cluster of the volume the folder lies on, which
// GetDiskFreeSpaceA takes only as the volume's root.
bool DiskSpace(const std::string& folder, std::uint64_t& freeBytes, std::uint64_t& allocationUnit) {
    ULARGE_INTEGER available;
    char volume[MAX_PATH + 1];
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    if (!FitsAnsiPath(folder) || !Calls().getDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr) ||
        !GetVolumePathNameA(folder.c_str(), volume, MAX_PATH + 1) ||
        !Calls().getDiskFreeSpaceA(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
        return false;
    }
    freeBytes = available.QuadPart;
    allocationUnit = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
    return true;
}

bool IsFolder(const std::string& path) {
    if (!FitsAnsiPath(path)) return false;
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IdentityOf(const std::string& path, FileIdentity& identity) {
    return IdentityOfPath(path, identity);
}

bool FolderAncestry(const std::string& folder, std::vector<FileIdentity>& ancestry) {
    ancestry.clear();
    HANDLE handle = OpenForQuery(folder);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FileIdentity identity;
    DWORD attributes = 0;
    std::wstring path;
    bool opened = IdentityOfHandle(handle, identity, &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                  FinalPath(handle, path);
    CloseHandle(handle);
    if (!opened) return false;
    ancestry.push_back(identity);
    std::size_t root = RootLength(path);
    while (path.size() > root) {
        std::size_t cut = path.find_last_of(L'\\');
        if (cut == std::wstring::npos) break;
        path.resize(cut < root ? root : cut);
        if (!IdentityOfPath(path, identity)) return false;
        ancestry.push_back(identity);
    }
    return true;
}

IoError OpenForReading(const std::string& path, FileHandle& file, FileIdentity& identity, FileState& state) {
    if (!FitsAnsiPath(path)) return RefuseLongPath();
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FromLastError();
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return IoError::NotAFile;
    }
    identity = IdentityFromInformation(information);
    state = StateFromInformation(information);
    file.value = reinterpret_cast<std::intptr_t>(handle);
    return IoError::None;
}

IoError StateOf(FileHandle file, FileState& state) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file.value), &information)) return FromLastError();
    state = StateFromInformation(information);
    return IoError::None;
}

IoError ReadSome(FileHandle file, char* buffer, std::size_t capacity, std::size_t& count) {
    DWORD got = 0;
    DWORD wanted = capacity > 0x40000000 ? 0x40000000 : static_cast<DWORD>(capacity);
    if (!ReadFile(reinterpret_cast<HANDLE>(file.value), buffer, wanted, &got, nullptr)) return FromLastError();
    count = got;
    return IoError::None;
}

IoError CreateNewFile(const std::string& path, IfPresent ifPresent, FileHandle& file) {
    if (!FitsAnsiPath(path)) return RefuseLongPath();
    auto create = [&path]() {
        return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                   nullptr);
    };
    HANDLE handle = create();
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && ifPresent == IfPresent::Replace) {
        RemoveFile(path);
        handle = create();
    }
    if (handle == INVALID_HANDLE_VALUE) return FromLastError();
    file.value = reinterpret_cast<std::intptr_t>(handle);
    return IoError::None;
}

// Deleted when its handle closes, which the system does also for a tool
// killed meanwhile; a volume whose disk went away refuses it at once.
IoError CreateScratchFile(const std::string& path, FileHandle& file) {
    if (!FitsAnsiPath(path)) return RefuseLongPath();
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                        nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FromLastError();
    file.value = reinterpret_cast<std::intptr_t>(handle);
    return IoError::None;
}

IoError WriteAll(FileHandle file, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD wanted = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD put = 0;
        if (!Calls().writeFile(reinterpret_cast<HANDLE>(file.value), data, wanted, &put, nullptr)) {
            return FromLastError();
        }
        if (put == 0) return IoError::DiskFull;
        data += put;
        size -= put;
    }
    return IoError::None;
}

WindowsCalls& Calls() {
    static WindowsCalls calls = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        FARPROC found = ntdll != nullptr ? GetProcAddress(ntdll, "NtFlushBuffersFileEx") : nullptr;
        WindowsCalls system;
        system.flushBuffersFileEx =
            reinterpret_cast<decltype(system.flushBuffersFileEx)>(reinterpret_cast<void*>(found));
        system.getVolumeInformationByHandleW = GetVolumeInformationByHandleW;
        system.writeFile = WriteFile;
        system.getDiskFreeSpaceExA = GetDiskFreeSpaceExA;
        system.getDiskFreeSpaceA = GetDiskFreeSpaceA;
        return system;
    }();
    return calls;
}

namespace {

IoError SyncFile(HANDLE file) {
    return FlushFileBuffers(file) ? IoError::None : FromLastError();
}

HANDLE HandleOf(FileHandle file) {
    return reinterpret_cast<HANDLE>(file.value);
}

}  // namespace

// Windows sets no such limit on handles that the tool could meet.
std::size_t OpenFilesLimit() {
    return SIZE_MAX;
}

// The system's lazy writer is already at work; the group's flush does the rest.
void StartWriteBack(FileHandle, std::uint64_t, std::uint64_t) {}

// The volume as the "\\?\Volume{GUID}\" its final path starts with: unlike
// the volume's 32-bit serial, which a cloned disk shares, no two volumes have
// the same. Empty where there is none (a network share).
std::string DiskOf(FileHandle file) {
    wchar_t path[MAX_PATH + 64];
    DWORD length = GetFinalPathNameByHandleW(HandleOf(file), path, MAX_PATH + 64, VOLUME_NAME_GUID);
    if (length == 0 || length >= MAX_PATH + 64) return std::string();
    std::wstring volume(path, length);
    std::size_t root = volume.find(L'\\', 4);  // after "\\?\"
    if (root == std::wstring::npos) return std::string();
    return std::string(reinterpret_cast<const char*>(volume.data()), (root + 1) * sizeof(wchar_t));
}

// From Windows 8 on, NtFlushBuffersFileEx writes a file without flushing the
// disk's cache; Microsoft documents that for NTFS, FAT and exFAT. What another
// driver (a network redirector, say) does with it is unknown, and one that
// answered success without writing would break the one flush of the disk.
bool OneFlushCovers(FileHandle file) {
    wchar_t fileSystem[MAX_PATH + 1];
    if (Calls().flushBuffersFileEx == nullptr ||
        !Calls().getVolumeInformationByHandleW(HandleOf(file), nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                               MAX_PATH + 1)) {
        return false;
    }
    for (const wchar_t* documented : {L"NTFS", L"FAT", L"FAT32", L"exFAT"}) {
        if (lstrcmpiW(fileSystem, documented) == 0) return true;
    }
    return false;
}

// The file's data and metadata go to the disk without a flush of its cache,
// which the volume's one FlushFileBuffers then makes.
IoError WriteWithoutDiskFlush(FileHandle file) {
    FlushStatusBlock status{};
    LONG result = Calls().flushBuffersFileEx(HandleOf(file), kFlushWithoutDiskCache, nullptr, 0, &status);
    return result >= 0 ? IoError::None : IoError::Other;
}

// FlushFileBuffers flushes the disk's cache too, for every file written to
// the volume without it.
IoError FlushDisk(FileHandle file) {
    return SyncFile(HandleOf(file));
}

IoError FlushFile(FileHandle file) {
    return SyncFile(HandleOf(file));
}

// The folder's entries, the names moved into it among them, are written by a
// flush of the folder's own handle.
IoError SyncFolder(const std::string& folder) {
    if (!FitsAnsiPath(folder)) return RefuseLongPath();
    HANDLE handle = CreateFileA(folder.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FromLastError();
    IoError error = SyncFile(handle);
    CloseHandle(handle);
    return error;
}

IoError CloseFile(FileHandle& file) {
    if (file.value == -1) return IoError::None;
    BOOL closed = CloseHandle(reinterpret_cast<HANDLE>(file.value));
    file.value = -1;
    return closed ? IoError::None : FromLastError();
}

// A read-only file in the way is made writable first, so that it is replaced
// as it would be on POSIX.
IoError ReplaceFile(const std::string& from, const std::string& to) {
    if (!FitsAnsiPath(from) || !FitsAnsiPath(to)) return RefuseLongPath();
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return IoError::None;
    IoError error = FromLastError();
    DWORD attributes = GetFileAttributesA(to.c_str());
    bool readOnlyFile = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (error != IoError::AccessDenied || !readOnlyFile) return error;
    SetFileAttributesA(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return IoError::None;
    return FromLastError();
}

// Windows has no file without a name; the caller writes under a temporary one.
bool CreateUnnamedFile(const std::string&, FileHandle&, IoError&) {
    return false;
}

IoError NameUnnamedFile(FileHandle, const std::string&) {
    return IoError::Other;
}

IoError RemoveFile(const std::string& path) {
    if (!FitsAnsiPath(path)) return RefuseLongPath();
    if (DeleteFileA(path.c_str())) return IoError::None;
    IoError error = FromLastError();
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return error;
    SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileA(path.c_str()) ? IoError::None : FromLastError();
}

}  // namespace platform
