// Win32 implementation of the platform layer's files and folders: each call
// carries out the system's and reports what happened. Paths are UTF-8 inside
// (WTF-8: an unpaired surrogate, which a Windows name may hold, is kept too)
// and go to the wide calls as UTF-16, absolute and with the "\\?\" prefix, so
// that the tool acts on exactly the names it was given or listed, whatever
// the system's code page, at any length Windows allows.
#include "platform/platform.h"

#include "platform/win32_calls.h"

#include <cstring>
// windows.h names a function of its own ReplaceFile.
#undef ReplaceFile

namespace platform {

const char kSeparator = '\\';

IoError::Class ClassOf(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS: return IoError::None;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE: return IoError::NotFound;
        case ERROR_INVALID_NAME: return IoError::InvalidName;
        case ERROR_ACCESS_DENIED: return IoError::AccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return IoError::InUse;
        case ERROR_WRITE_PROTECT: return IoError::ReadOnly;
        // The disk or the share went away: a drive with no medium or not
        // ready, a device unplugged or no longer answering, a network name,
        // connection or route lost, the volume of an open file gone.
        case ERROR_IO_DEVICE:
        case ERROR_SEM_TIMEOUT:
        case ERROR_BAD_NET_NAME:
        case ERROR_NETWORK_UNREACHABLE:
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
        default: return IoError::Other;
    }
}

IoError FromWindowsError(DWORD code) {
    return IoError(ClassOf(code), code);
}

// A surrogate pair is one character of four bytes; an unpaired surrogate is
// kept as the three bytes of its own value.
void AppendUtf8(std::wstring_view wide, std::string& utf8) {
    for (std::size_t i = 0; i < wide.size(); ++i) {
        std::uint32_t code = wide[i];
        bool pair = code >= 0xD800 && code < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
                    wide[i + 1] < 0xE000;
        if (pair) code = 0x10000 + ((code - 0xD800) << 10) + (wide[++i] - 0xDC00);
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
            continue;
        }
        static const unsigned kLead[] = {0, 0xC0, 0xE0, 0xF0};
        int trailing = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        utf8 += static_cast<char>(kLead[trailing] | (code >> (6 * trailing)));
        while (trailing-- > 0) utf8 += static_cast<char>(0x80 | ((code >> (6 * trailing)) & 0x3F));
    }
}

// A byte that starts no character (which the tool never makes) reads as U+FFFD.
std::wstring WideOf(std::string_view utf8) {
    std::wstring wide;
    wide.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<unsigned char>(utf8[i++]);
        int trailing = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
        std::uint32_t code = trailing < 0 ? 0xFFFD : lead & (0x7F >> (trailing + (trailing > 0)));
        for (; trailing > 0 && i < utf8.size(); --trailing) code = (code << 6) | (utf8[i++] & 0x3F);
        if (code < 0x10000) {
            wide += static_cast<wchar_t>(code);
        } else {
            wide += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            wide += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
    }
    return wide;
}

namespace {

struct Search {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW found{};
    bool pending = false;  // `found` holds an entry not yet handed out
};

IoError FromLastError() {
    return FromWindowsError(GetLastError());
}

// The longest path the wide calls take with the \\?\ prefix.
constexpr std::size_t kLongestPath = 32767;

// Whether the system would rewrite the path before using it: a relative or
// drive-relative one, "." or ".." in it, "/" or doubled separators.
bool NeedsFullPath(const std::wstring& path) {
    bool drive = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
    bool share = path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
    if (!drive && !share) return true;
    for (std::size_t i = 2; i < path.size(); ++i) {
        if (path[i] == L'/' || (path[i] == L'\\' && path[i - 1] == L'\\')) return true;
        bool dots = path[i] == L'.' && path[i - 1] == L'\\' &&
                    (i + 1 == path.size() || path[i + 1] == L'\\' ||
                     (path[i + 1] == L'.' && (i + 2 == path.size() || path[i + 2] == L'\\')));
        if (dots) return true;
    }
    return false;
}

// The path as the wide calls take it at any length: absolute (as
// GetFullPathNameW makes it, where the system would), UTF-16, with the prefix
// "\\?\" ("\\?\UNC\" for a share), which also keeps a name such as
// "aux.dat" a file of that name.
IoError SystemPath(const std::string& path, std::wstring& wide) {
    wide = WideOf(path);
    if (wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0) return IoError::None;
    if (NeedsFullPath(wide)) {
        DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
        std::wstring full(size, L'\0');
        DWORD length = size == 0 ? 0 : GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
        if (length == 0 || length >= size) return FromLastError();
        wide.assign(full, 0, length);
    }
    bool share = wide.compare(0, 2, L"\\\\") == 0;
    wide.insert(0, share ? L"\\\\?\\UNC" : L"\\\\?\\");
    if (share) wide.erase(8, 1);  // "\\?\UNC\server", not "\\?\UNC\\server"
    if (wide.size() < kLongestPath) return IoError::None;
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FromWindowsError(ERROR_FILENAME_EXCED_RANGE);
}

// Carries out a call on the path in the system's form, or gives why the
// path has none.
template <typename Call>
IoError OnPath(const std::string& path, const Call& call) {
    std::wstring wide;
    IoError error = SystemPath(path, wide);
    return error == IoError::None ? call(wide.c_str()) : error;
}

IoError Result(BOOL succeeded) {
    return succeeded ? IoError::None : FromLastError();
}

HANDLE HandleOf(FileHandle file) {
    return reinterpret_cast<HANDLE>(file.value);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens a file or folder only to ask about it; links and junctions are followed.
HANDLE OpenForQuery(const std::wstring& path) {
    return Calls().createFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

IoError Created(HANDLE handle, FileHandle& file) {
    if (handle == INVALID_HANDLE_VALUE) return FromLastError();
    file.value = reinterpret_cast<std::intptr_t>(handle);
    return IoError::None;
}

// A read-only file is made writable first, so that it is removed or
// replaced as it would be on POSIX.
bool MadeWritable(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    bool readOnlyFile = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return readOnlyFile && SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

// What the system gives to tell an open file: FILE_ID_INFO's 64-bit volume
// serial and 128-bit file number where it has them (from Windows 8 on; the
// 64-bit number of ReFS is not unique), else the volume's 32-bit serial and
// the 64-bit file number. False where neither answers or the number is zero,
// as over a network the call may fail or give a partial answer.
bool AskIdentity(HANDLE handle, FileIdentity& identity) {
    identity = FileIdentity{};
    FILE_ID_INFO id;
    if (Calls().getFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        identity.device = id.VolumeSerialNumber;
        std::memcpy(&identity.file, id.FileId.Identifier, sizeof identity.file);
        std::memcpy(&identity.fileHigh, id.FileId.Identifier + sizeof identity.file, sizeof identity.fileHigh);
        return identity.Known();
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!Calls().getFileInformationByHandle(handle, &information)) return false;
    identity.device = information.dwVolumeSerialNumber;
    identity.file = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return identity.Known();
}

// The size and last write time, from the two calls that ask the file
// alone: GetFileInformationByHandle asks its volume too, which is slow.
IoError StateOfHandle(HANDLE handle, FileState& state) {
    LARGE_INTEGER size;
    FILETIME written;
    if (!GetFileSizeEx(handle, &size) || !GetFileTime(handle, nullptr, nullptr, &written)) return FromLastError();
    state.size = static_cast<std::uint64_t>(size.QuadPart);
    state.modified =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime);
    return IoError::None;
}

// A path as an unknown identity holds it: Windows's names ignore letter case.
std::string FoldedPath(const std::wstring& path) {
    std::wstring folded(path);
    if (!path.empty()) {
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.data(), static_cast<int>(path.size()), &folded[0],
                     static_cast<int>(folded.size()));
    }
    std::string utf8;
    AppendUtf8(folded, utf8);
    return utf8;
}

// A path of the system's of any length, from a call that says how long a
// buffer it needs when the one it was given is too short.
template <typename Call>
bool PathFrom(const Call& call, std::wstring& path) {
    path.assign(MAX_PATH + 64, L'\0');
    DWORD length = call(&path[0], static_cast<DWORD>(path.size()));
    if (length >= path.size()) {
        path.assign(length, L'\0');
        length = call(&path[0], static_cast<DWORD>(path.size()));
    }
    if (length == 0 || length >= path.size()) return false;
    path.resize(length);
    return true;
}

// The folder's own path with every link and junction resolved, as
// "\\?\C:\a\b" or "\\?\UNC\server\share\a".
bool FinalPath(HANDLE folder, std::wstring& path, DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) {
    return PathFrom(
        [&](wchar_t* buffer, DWORD size) { return Calls().getFinalPathNameByHandleW(folder, buffer, size, flags); },
        path);
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

// The path a folder's ancestors are found by: the folder's own with every
// link and junction resolved where the system tells it; else as it was
// opened; else as the tool formed it. Microsoft documents that the first
// fails over SMB where the user may not open a folder above, and on a
// volume without a drive letter; it is also known to fail on volumes the
// mount manager does not know, and under Wine past 260 characters.
std::wstring PathForAncestry(HANDLE folder, std::wstring formed) {
    std::wstring path;
    if (FinalPath(folder, path) || FinalPath(folder, path, FILE_NAME_OPENED | VOLUME_NAME_DOS)) return path;
    while (formed.size() > RootLength(formed) && formed.back() == L'\\') formed.pop_back();
    return formed;
}

// An identity the system gives no number for is told by its resolved path.
bool IdentityOfPath(const std::wstring& path, FileIdentity& identity) {
    HANDLE handle = OpenForQuery(path);
    if (handle == INVALID_HANDLE_VALUE) return false;
    if (!AskIdentity(handle, identity)) identity.path = FoldedPath(PathForAncestry(handle, path));
    CloseHandle(handle);
    return true;
}

}  // namespace

// A folder with no entry at all (the root of an empty drive, which lists no
// "." or "..") gives ERROR_FILE_NOT_FOUND: its listing is empty.
bool StartSearch(const std::string& folder, DirectorySearch& search) {
    search.handle = nullptr;
    std::wstring pattern;
    search.error = SystemPath(folder, pattern);
    if (search.error != IoError::None) return false;
    pattern += pattern.back() == L'\\' ? L"*" : L"\\*";
    Search* state = new Search;
    state->find = FindFirstFileW(pattern.c_str(), &state->found);
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
    if (!state->pending && !FindNextFileW(state->find, &state->found)) {
        if (GetLastError() != ERROR_NO_MORE_FILES) search.error = FromLastError();
        return false;
    }
    state->pending = false;
    entry.name.clear();
    AppendUtf8(state->found.cFileName, entry.name);
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
    const WIN32_FIND_DATAW& found = static_cast<Search*>(search.handle)->found;
    return (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
}

std::uint64_t Milliseconds() {
    return GetTickCount64();
}

IoError CreateFolder(const std::string& path) {
    return OnPath(path, [](const wchar_t* wide) -> IoError { return Result(CreateDirectoryW(wide, nullptr)); });
}

// The space is what the user may write, under a quota less than the disk's,
// asked of the folder with a backslash at its end, which a share's root
// needs; the unit is the cluster of the volume the folder lies on, which
// GetDiskFreeSpaceW takes only as the volume's root, and without the prefix.
bool DiskSpace(const std::string& folder, std::uint64_t& freeBytes, std::uint64_t& allocationUnit) {
    ULARGE_INTEGER available;
    std::wstring path;
    std::wstring volume;
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    if (SystemPath(folder, path) != IoError::None) return false;
    if (path.back() != L'\\') path += L'\\';  // a share's root is taken only so
    if (!Calls().getDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return false;
    volume.assign(path.size() + 1, L'\0');
    if (!GetVolumePathNameW(path.c_str(), &volume[0], static_cast<DWORD>(volume.size()))) return false;
    volume.resize(volume.find(L'\0'));
    if (volume.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        volume.replace(0, 8, L"\\\\");
    } else if (volume.compare(0, 4, L"\\\\?\\") == 0 && volume.size() == 7) {
        volume.erase(0, 4);  // "C:\"
    }
    if (!Calls().getDiskFreeSpaceW(volume.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
        return false;
    }
    freeBytes = available.QuadPart;
    allocationUnit = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
    return true;
}

bool IsFolder(const std::string& path) {
    std::wstring wide;
    if (SystemPath(path, wide) != IoError::None) return false;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IdentityOf(const std::string& path, FileIdentity& identity) {
    std::wstring wide;
    return SystemPath(path, wide) == IoError::None && IdentityOfPath(wide, identity);
}

std::string AbsoluteFolder(const std::string& folder) {
    std::wstring wide = WideOf(folder);
    if (!NeedsFullPath(wide) || wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0) {
        return folder;
    }
    std::wstring full;
    if (SystemPath(folder, full) != IoError::None) return folder;
    bool share = full.compare(0, 8, L"\\\\?\\UNC\\") == 0;
    full.erase(0, share ? 6 : 4);  // "\\?\UNC\server" back to "\\server", "\\?\C:" to "C:"
    if (share) full[0] = L'\\';
    std::string absolute;
    AppendUtf8(full, absolute);
    return absolute;
}

// An ancestor that does not open (one the user may not open, on a share)
// ends the ancestry there.
bool FolderAncestry(const std::string& folder, std::vector<FileIdentity>& ancestry) {
    ancestry.clear();
    std::wstring path;
    if (SystemPath(folder, path) != IoError::None) return false;
    HANDLE handle = OpenForQuery(path);
    if (handle == INVALID_HANDLE_VALUE) return false;
    path = PathForAncestry(handle, path);
    FileIdentity identity;
    if (!AskIdentity(handle, identity)) identity.path = FoldedPath(path);
    CloseHandle(handle);
    ancestry.push_back(identity);
    std::size_t root = RootLength(path);
    while (path.size() > root) {
        std::size_t cut = path.find_last_of(L'\\');
        if (cut == std::wstring::npos) break;
        path.resize(cut < root ? root : cut);
        handle = OpenForQuery(path);
        if (handle == INVALID_HANDLE_VALUE) break;
        if (!AskIdentity(handle, identity)) identity.path = FoldedPath(path);
        CloseHandle(handle);
        ancestry.push_back(identity);
    }
    return true;
}

// Only a file on a disk: not a device or a pipe, which could block a read.
IoError OpenForReading(const std::string& path, FileHandle& file, FileState& state) {
    return OnPath(path, [&](const wchar_t* wide) -> IoError {
        HANDLE handle = Calls().createFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return FromLastError();
        IoError error = GetFileType(handle) == FILE_TYPE_DISK ? StateOfHandle(handle, state) : IoError::NotAFile;
        if (error != IoError::None) CloseHandle(handle);
        if (error == IoError::None) file.value = reinterpret_cast<std::intptr_t>(handle);
        return error;
    });
}

bool IdentityOfFile(FileHandle file, FileIdentity& identity) {
    HANDLE handle = HandleOf(file);
    std::wstring path;
    if (!AskIdentity(handle, identity) && FinalPath(handle, path)) identity.path = FoldedPath(path);
    return true;
}

IoError StateOf(FileHandle file, FileState& state) {
    return StateOfHandle(HandleOf(file), state);
}

IoError ReadSome(FileHandle file, char* buffer, std::size_t capacity, std::size_t& count) {
    DWORD got = 0;
    DWORD wanted = capacity > 0x40000000 ? 0x40000000 : static_cast<DWORD>(capacity);
    if (!ReadFile(HandleOf(file), buffer, wanted, &got, nullptr)) return FromLastError();
    count = got;
    return IoError::None;
}

IoError CreateNewFile(const std::string& path, IfPresent ifPresent, FileHandle& file) {
    return OnPath(path, [&](const wchar_t* wide) -> IoError {
        auto create = [wide]() {
            return Calls().createFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        HANDLE handle = create();
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && ifPresent == IfPresent::Replace) {
            RemoveFile(path);
            handle = create();
        }
        return Created(handle, file);
    });
}

IoError WriteAll(FileHandle file, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD wanted = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD put = 0;
        if (!Calls().writeFile(HandleOf(file), data, wanted, &put, nullptr)) return FromLastError();
        if (put == 0) return FromWindowsError(ERROR_DISK_FULL);
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
        system.getDiskFreeSpaceExW = GetDiskFreeSpaceExW;
        system.getDiskFreeSpaceW = GetDiskFreeSpaceW;
        system.createFileW = CreateFileW;
        system.getFinalPathNameByHandleW = GetFinalPathNameByHandleW;
        system.getFileInformationByHandleEx = GetFileInformationByHandleEx;
        system.getFileInformationByHandle = GetFileInformationByHandle;
        system.moveFileExW = MoveFileExW;
        system.formatMessageW = FormatMessageW;
        system.writeConsoleW = WriteConsoleW;
        return system;
    }();
    return calls;
}

namespace {

IoError SyncFile(HANDLE file) {
    return Result(FlushFileBuffers(file));
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
// the same. Empty where there is none (a network share), and where no
// volume's flush could cover a file (before Windows 8): the question is slow.
std::string DiskOf(FileHandle file) {
    std::wstring volume;
    if (Calls().flushBuffersFileEx == nullptr || !FinalPath(HandleOf(file), volume, VOLUME_NAME_GUID)) {
        return std::string();
    }
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
    return OnPath(folder, [](const wchar_t* wide) -> IoError {
        HANDLE handle = Calls().createFileW(wide, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return FromLastError();
        IoError error = SyncFile(handle);
        CloseHandle(handle);
        return error;
    });
}

IoError CloseFile(FileHandle& file) {
    if (file.value == -1) return IoError::None;
    BOOL closed = CloseHandle(HandleOf(file));
    file.value = -1;
    return Result(closed);
}

namespace {

// Whether another program holds the file open and shares its deletion with
// no one, which a move onto it meets as access denied: the Tessiva reader
// with its index open, say.
bool HeldOpen(const std::wstring& path) {
    HANDLE handle = Calls().createFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace

IoError ReplaceFile(const std::string& from, const std::string& to) {
    std::wstring source;
    std::wstring target;
    IoError error = SystemPath(from, source);
    if (error == IoError::None) error = SystemPath(to, target);
    if (error != IoError::None) return error;
    auto move = [&]() { return Calls().moveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING); };
    if (move()) return IoError::None;
    error = FromLastError();
    if (error == IoError::AccessDenied && MadeWritable(target)) error = move() ? IoError::None : FromLastError();
    return error == IoError::AccessDenied && HeldOpen(target) ? IoError(IoError::InUse, error.code) : error;
}

IoError RemoveFile(const std::string& path) {
    return OnPath(path, [](const wchar_t* wide) -> IoError {
        if (DeleteFileW(wide)) return IoError::None;
        IoError error = FromLastError();
        return MadeWritable(wide) ? Result(DeleteFileW(wide)) : error;
    });
}

// The words end with a line end, and may hold others; a console line holds none.
std::string ErrorWords(std::uint32_t code) {
    wchar_t words[1024];
    DWORD length = Calls().formatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                          0, words, 1024, nullptr);
    std::wstring text(words, length < 1024 ? length : 0);
    for (wchar_t& character : text) {
        if (character == L'\r' || character == L'\n') character = L' ';
    }
    text.erase(text.find_last_not_of(L' ') + 1);
    std::string utf8;
    AppendUtf8(text, utf8);
    return utf8;
}

std::uint32_t ProcessId() {
    return GetCurrentProcessId();
}

// Read as Microsoft documents the C runtime's reading: arguments are parted
// by spaces and tabs outside quotes; 2n backslashes before a quote are n, and
// the quote opens or closes; 2n + 1 are n and a quote of the argument; ""
// inside quotes is one quote; other backslashes are as they are. The one
// difference is the quote that ends an argument.
std::vector<std::string> ArgumentsOf(std::wstring_view line) {
    std::vector<std::string> arguments(1);
    std::size_t at = 0;
    // The program's name ends at its closing quote, or at a space or tab.
    bool quoted = at < line.size() && line[at] == L'"';
    std::size_t end = quoted ? line.find(L'"', 1) : line.find_first_of(L" \t");
    if (end == std::wstring_view::npos) end = line.size();
    AppendUtf8(line.substr(quoted ? 1 : 0, end - (quoted ? 1 : 0)), arguments[0]);
    at = end + (quoted && end < line.size() ? 1 : 0);
    auto endsArgument = [&line](std::size_t next) {
        return next >= line.size() || line[next] == L' ' || line[next] == L'\t';
    };
    while (true) {
        while (at < line.size() && (line[at] == L' ' || line[at] == L'\t')) ++at;
        if (at >= line.size()) break;
        std::wstring argument;
        bool inQuotes = false;
        while (at < line.size() && (inQuotes || !endsArgument(at))) {
            std::size_t backslashes = 0;
            while (at + backslashes < line.size() && line[at + backslashes] == L'\\') ++backslashes;
            if (backslashes > 0) {
                at += backslashes;
                bool beforeQuote = at < line.size() && line[at] == L'"';
                bool closing = beforeQuote && inQuotes && endsArgument(at + 1);
                if (!beforeQuote) {
                    argument.append(backslashes, L'\\');
                } else if (backslashes % 2 == 0 || closing) {
                    argument.append(backslashes / 2 + backslashes % 2, L'\\');
                } else {
                    argument.append(backslashes / 2, L'\\');
                    argument += L'"';
                    ++at;
                }
                continue;
            }
            if (line[at] == L'"') {
                if (inQuotes && at + 1 < line.size() && line[at + 1] == L'"') {
                    argument += L'"';
                    at += 2;
                } else {
                    inQuotes = !inQuotes;
                    ++at;
                }
                continue;
            }
            argument += line[at++];
        }
        arguments.emplace_back();
        AppendUtf8(argument, arguments.back());
    }
    return arguments;
}

std::vector<std::string> CommandLineArguments() {
    return ArgumentsOf(GetCommandLineW());
}

// Code page 932 exactly: no character is replaced by one that looks alike.
bool ShiftJisOf(const std::string& text, std::string& shiftJis) {
    shiftJis = text;
    if (IsAscii(text)) return true;
    std::wstring wide = WideOf(text);
    BOOL replaced = FALSE;
    int size = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                   nullptr, &replaced);
    if (size <= 0 || replaced) return false;
    shiftJis.assign(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), &shiftJis[0], size,
                        nullptr, nullptr);
    return true;
}

}  // namespace platform
