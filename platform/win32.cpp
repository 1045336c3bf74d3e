// Win32 implementation of the platform layer. Paths are the ANSI (code page
// 932) bytes of the command line and go to the ANSI interfaces unchanged.
#include "platform/platform.h"

#include "platform/win32_calls.h"
// windows.h names a function of its own ReplaceFile.
#undef ReplaceFile

#include <io.h>

#include <cstdio>
#include <cstring>

#include "platform/console.h"

namespace platform {

const char kSeparator = '\\';

IoError FromWindowsError(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS: return IoError::None;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_DRIVE: return IoError::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return IoError::AccessDenied;
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
        default: return IoError::Other;
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
    return Calls().createFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
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

void SetUpConsole() {}

namespace {

HANDLE FindConsole(std::FILE* stream) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return nullptr;
    return handle;
}

// The console behind a standard stream, or nullptr when the stream is a file
// or a pipe. A console call is slow, and what a stream is does not change
// while the tool runs, so each is asked once.
HANDLE ConsoleOf(std::FILE* stream) {
    static const HANDLE output = FindConsole(stdout);
    static const HANDLE error = FindConsole(stderr);
    if (stream == stdout) return output;
    if (stream == stderr) return error;
    return FindConsole(stream);
}

// Appends bytes of a code page as UTF-16, one character at a time, so that a
// byte that does not convert becomes U+FFFD and the rest goes on.
void AppendWide(std::string_view bytes, UINT codePage, std::wstring& wide) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        wchar_t converted[4];
        int count = 0;
        std::size_t length = 1;
        for (; length <= 4 && at + length <= bytes.size(); ++length) {
            count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data() + at, static_cast<int>(length),
                                        converted, 4);
            if (count > 0) break;
        }
        if (count > 0) {
            wide.append(converted, static_cast<std::size_t>(count));
            at += length;
        } else {
            wide.push_back(L'\xFFFD');
            ++at;
        }
    }
}

constexpr UINT kShiftJis = 932;

}  // namespace

// On a console the line goes out as UTF-16, whatever the console's code page:
// the tool's texts and the titles are Shift_JIS, paths are in the code page the
// command line came in. A file or a pipe gets the bytes as they are, with the
// C runtime's CR LF line ends. For a console the UTF-16 code units are kept
// in the string's bytes.
void RenderPieces(std::FILE* stream, std::initializer_list<ConsolePiece> pieces, bool endLine,
                  std::string& rendered) {
    if (ConsoleOf(stream) == nullptr) {
        for (const ConsolePiece& piece : pieces) rendered.append(piece.bytes);
        if (endLine) rendered += '\n';
        return;
    }
    std::wstring line;
    for (const ConsolePiece& piece : pieces) AppendWide(piece.bytes, piece.isText ? kShiftJis : CP_ACP, line);
    if (endLine) line += L"\r\n";
    rendered.append(reinterpret_cast<const char*>(line.data()), line.size() * sizeof(wchar_t));
}

// A stream that is no console gets one WriteFile for all of it, with the
// line ends of the C runtime's text mode: through the C runtime, the NUL
// device, which it takes for a character device, would get a call a byte.
void WriteRendered(std::FILE* stream, const std::string& rendered) {
    std::fflush(stream);
    HANDLE console = ConsoleOf(stream);
    if (console == nullptr) {
        std::string bytes;
        bytes.reserve(rendered.size() + rendered.size() / 16);
        for (char byte : rendered) {
            if (byte == '\n') bytes += '\r';
            bytes += byte;
        }
        FileHandle file;
        file.value = _get_osfhandle(_fileno(stream));
        if (file.value != reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)) {
            (void)WriteAll(file, bytes.data(), bytes.size());
        }
        return;
    }
    std::wstring line(rendered.size() / sizeof(wchar_t), L'\0');
    std::memcpy(&line[0], rendered.data(), line.size() * sizeof(wchar_t));
    const wchar_t* left = line.data();
    DWORD leftCount = static_cast<DWORD>(line.size());
    while (leftCount > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(console, left, leftCount, &written, nullptr) || written == 0) break;
        left += written;
        leftCount -= written;
    }
}

namespace {
bool titleShown = false;
std::wstring previousTitle;
}  // namespace

bool StartTitle() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    titleShown = GetConsoleWindow() != nullptr || ConsoleOf(stdout) != nullptr || ConsoleOf(stderr) != nullptr ||
                 (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode));
    if (!titleShown) return false;
    wchar_t title[1024];
    DWORD length = GetConsoleTitleW(title, 1024);
    previousTitle.assign(title, length < 1024 ? length : 1023);
    return true;
}

void SetTitle(std::string_view text) {
    if (!titleShown) return;
    std::wstring title;
    AppendWide(text, kShiftJis, title);
    SetConsoleTitleW(title.c_str());
}

void RestoreTitle() {
    if (titleShown) SetConsoleTitleW(previousTitle.c_str());
}

// The tool alone on its console: a command prompt or a batch file would be
// on it too.
bool ConsoleIsOwn() {
    DWORD processes[2];
    DWORD mode = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    return GetConsoleProcessList(processes, 2) == 1 && input != nullptr && input != INVALID_HANDLE_VALUE &&
           GetConsoleMode(input, &mode);
}

// The console gives the line as UTF-16; a character the ANSI code page has no
// bytes for would become another character, so such a line is refused. Where
// the ANSI code page is UTF-8, only a broken surrogate has none.
ConsoleAnswer ReadConsoleAnswer(std::string& answer) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring line;
    wchar_t chunk[256];
    while (line.empty() || line.back() != L'\n') {
        DWORD got = 0;
        if (!ReadConsoleW(input, chunk, 256, &got, nullptr) || got == 0) break;
        line.append(chunk, got);
    }
    if (line.empty()) return ConsoleAnswer::Unread;
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
    answer.clear();
    if (line.empty()) return ConsoleAnswer::Given;
    bool utf8 = GetACP() == CP_UTF8;
    DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    int length = static_cast<int>(line.size());
    int size = WideCharToMultiByte(CP_ACP, flags, line.data(), length, nullptr, 0, nullptr,
                                   utf8 ? nullptr : &usedDefault);
    if (size <= 0 || usedDefault) return ConsoleAnswer::NotConvertible;
    answer.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_ACP, flags, line.data(), length, &answer[0], size, nullptr, nullptr);
    return ConsoleAnswer::Given;
}

// A folder with no entry at all (the root of an empty drive, which lists no
// "." or "..") gives ERROR_FILE_NOT_FOUND: its listing is empty.
bool StartSearch(const std::string& folder, DirectorySearch& search) {
    search.folder = folder;
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

// A file that is deleted when its handle closes leaves nothing, even when the
// tool is killed: the system closes the handle then. A volume whose disk went
// away refuses it at once.
IoError TakesNewFile(const std::string& folder) {
    std::string probe = folder + "\\.m2t-probe.m2t-tmp";
    if (!FitsAnsiPath(probe)) return RefuseLongPath();
    auto create = [&probe]() {
        return Calls().createFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                   nullptr);
    };
    HANDLE handle = create();
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        RemoveFile(probe);
        handle = create();
    }
    if (handle == INVALID_HANDLE_VALUE) return FromLastError();
    CloseHandle(handle);
    return IoError::None;
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
    HANDLE handle = Calls().createFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
        return Calls().createFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
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
        system.flushFileBuffers = FlushFileBuffers;
        system.getVolumeInformationByHandleW = GetVolumeInformationByHandleW;
        system.getFinalPathNameByHandleW = GetFinalPathNameByHandleW;
        system.moveFileExA = MoveFileExA;
        system.createFileA = CreateFileA;
        system.writeFile = WriteFile;
        system.getDiskFreeSpaceExA = GetDiskFreeSpaceExA;
        system.getDiskFreeSpaceA = GetDiskFreeSpaceA;
        return system;
    }();
    return calls;
}

namespace {

IoError SyncFile(HANDLE file) {
    return Calls().flushFileBuffers(file) ? IoError::None : FromLastError();
}

HANDLE HandleOf(FileHandle file) {
    return reinterpret_cast<HANDLE>(file.value);
}

// The volume a file lies on, as the "\\?\Volume{GUID}\" its final path
// starts with: unlike the volume's 32-bit serial, which a cloned disk shares,
// no two volumes have the same. Empty where there is none (a network share).
std::wstring VolumeOf(HANDLE file) {
    wchar_t path[MAX_PATH + 64];
    DWORD length = Calls().getFinalPathNameByHandleW(file, path, MAX_PATH + 64, VOLUME_NAME_GUID);
    if (length == 0 || length >= MAX_PATH + 64) return std::wstring();
    std::wstring volume(path, length);
    std::size_t root = volume.find(L'\\', 4);  // after "\\?\"
    return root == std::wstring::npos ? std::wstring() : volume.substr(0, root + 1);
}

// Whether Microsoft documents the flush without the disk's cache for the
// file system of the file's volume: for NTFS, FAT and exFAT. What another
// driver (a network redirector, say) does with it is unknown, and one that
// answered success without writing would break the group's one flush.
bool NoSyncIsDocumented(HANDLE file) {
    wchar_t fileSystem[MAX_PATH + 1];
    if (!Calls().getVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                               MAX_PATH + 1)) {
        return false;
    }
    for (const wchar_t* documented : {L"NTFS", L"FAT", L"FAT32", L"exFAT"}) {
        if (lstrcmpiW(fileSystem, documented) == 0) return true;
    }
    return false;
}

// The volumes a group's files lie on, each asked once about its file system.
struct VolumeKinds {
    std::vector<std::wstring> volumes;
    std::vector<bool> documented;

    bool NoSyncIsDocumentedOn(const std::wstring& volume, HANDLE file) {
        for (std::size_t i = 0; i < volumes.size(); ++i) {
            if (volumes[i] == volume) return documented[i];
        }
        volumes.push_back(volume);
        documented.push_back(NoSyncIsDocumented(file));
        return documented.back();
    }
};

// Writes the file's data and metadata to the disk without flushing the
// disk's cache, where that is documented; gives the file's volume, whose one
// flush then makes it durable, or an empty one where the file must be
// flushed on its own.
std::wstring WriteWithoutDiskCacheFlush(HANDLE file, VolumeKinds& kinds) {
    WindowsCalls& calls = Calls();
    std::wstring volume = VolumeOf(file);
    if (volume.empty() || !kinds.NoSyncIsDocumentedOn(volume, file)) return std::wstring();
    FlushStatusBlock status{};
    if (calls.flushBuffersFileEx(file, kFlushWithoutDiskCache, nullptr, 0, &status) < 0) return std::wstring();
    return volume;
}

}  // namespace

// Windows sets no such limit on handles that the tool could meet.
std::size_t FilesOpenAtOnce() {
    return SIZE_MAX;
}

// The system's lazy writer is already at work; the group's flush does the rest.
void StartWriteBack(FileHandle, std::uint64_t, std::uint64_t) {}

// From Windows 8 on, each file's bytes go to the disk without a flush of its
// cache; then one FlushFileBuffers for each volume flushes that cache for all
// of them. A file that could not be written so (Vista, 7, Wine, a file system
// it is not documented for), or whose volume's flush failed, is flushed on
// its own, and its own result decides.
void SyncFiles(const std::vector<FileHandle>& files, std::vector<IoError>& errors, const FlushFailed& goOn) {
    errors.assign(files.size(), IoError::Other);
    std::vector<std::wstring> waiting(files.size());  // the volume whose flush the file waits for
    if (Calls().flushBuffersFileEx != nullptr) {
        VolumeKinds kinds;
        for (std::size_t i = 0; i < files.size(); ++i) {
            waiting[i] = WriteWithoutDiskCacheFlush(HandleOf(files[i]), kinds);
        }
    }
    for (std::size_t first = 0; first < files.size(); ++first) {
        if (waiting[first].empty()) continue;
        std::wstring volume = waiting[first];
        bool flushed = SyncFile(HandleOf(files[first])) == IoError::None;
        for (std::size_t i = first; i < files.size(); ++i) {
            if (waiting[i] != volume) continue;
            waiting[i].clear();
            if (flushed) errors[i] = IoError::None;
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (errors[i] == IoError::None) continue;
        errors[i] = SyncFile(HandleOf(files[i]));
        if (errors[i] != IoError::None && !goOn(i, errors[i])) {
            for (std::size_t left = i + 1; left < files.size(); ++left) {
                if (errors[left] != IoError::None) errors[left] = errors[i];
            }
            return;
        }
    }
}

// The folder's entries, the names moved into it among them, are written by a
// flush of the folder's own handle.
IoError SyncFolder(const std::string& folder) {
    if (!FitsAnsiPath(folder)) return RefuseLongPath();
    HANDLE handle = Calls().createFileA(folder.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
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
    BOOL (WINAPI* moveFileEx)(LPCSTR, LPCSTR, DWORD) = Calls().moveFileExA;
    if (moveFileEx(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return IoError::None;
    IoError error = FromLastError();
    DWORD attributes = GetFileAttributesA(to.c_str());
    bool readOnlyFile = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (error != IoError::AccessDenied || !readOnlyFile) return error;
    SetFileAttributesA(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (moveFileEx(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return IoError::None;
    return FromLastError();
}

// Windows has no file without a name; the caller writes under a temporary one.
bool CreateUnnamedFile(const std::string&, FileHandle&, IoError&) {
    return false;
}

IoError NameUnnamedFile(FileHandle, const std::string&) {
    return IoError::Other;
}

void RemoveFile(const std::string& path) {
    if (!FitsAnsiPath(path)) return;
    if (DeleteFileA(path.c_str())) return;
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        (void)DeleteFileA(path.c_str());
    }
}

}  // namespace platform
