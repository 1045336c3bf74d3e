// The disks of a run: the group's flush over stand-ins of the platform's
// flush calls, in the order it makes them and with the results it gives, for
// every way a flush can go; the watch's verdict on a destination that goes
// away or still answers. On Windows, what is Windows's own: the calls behind
// the flush, the classes of its error codes, the console's one write, and the
// space the dialogue counts on disks of other clusters than the 4 KiB Wine
// reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstring>

#include "app/dialogue.h"
#include "walk/walk.h"
#include "platform/win32_calls.h"
// windows.h names a function of its own ReplaceFile.
#undef ReplaceFile
#include "run/lines.h"
#include "texts/japanese.h"
#endif

namespace {

using platform::FileHandle;
using platform::IoError;

// A run's two folders, the destination's made or taken away at will.
class DiskWatch : public ::testing::Test {
protected:
    void SetUp() override {
        root = std::filesystem::temp_directory_path() /
               ("m2t-disk-" + std::to_string(std::random_device()()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(root / "morvo");
        std::filesystem::create_directories(root / "tessiva");
        ASSERT_EQ(disk::Watch((root / "morvo").string(), (root / "tessiva").string(), disks), IoError::None);
    }

    void TearDown() override { std::filesystem::remove_all(root); }

    std::filesystem::path root;
    Disks disks;
};

// A failure of the file's own asks nothing of the disk; a full destination
// stops the run without asking; a source whose folder no longer lists is gone.
TEST_F(DiskWatch, TheWatchAsksTheDiskOnlyForFailuresThatMayBeItsOwn) {
    std::filesystem::remove_all(root);
    for (IoError own : {IoError::InUse, IoError::NameTooLong, IoError::NotAFile, IoError::FileTooLarge}) {
        EXPECT_EQ(disk::AskDisk(disks, disk::Side::Destination, own), Verdict::GoesOn);
    }
    EXPECT_EQ(disk::EndOfRun(disks, true), RunEnd::BrokenLog);
    EXPECT_EQ(disk::AskDisk(disks, disk::Side::Source, IoError::NotFound), Verdict::Gone);
    EXPECT_EQ(disk::EndOfRun(disks, false), RunEnd::SourceGone);
    std::filesystem::create_directories(root / "tessiva");
    Disks fresh;
    EXPECT_EQ(disk::Watch((root / "morvo").string(), (root / "tessiva").string(), fresh), IoError::None);
    EXPECT_EQ(disk::AskDisk(fresh, disk::Side::Destination, IoError::DiskFull), Verdict::Full);
    EXPECT_EQ(disk::EndOfRun(fresh, true), RunEnd::DestinationFull);
    EXPECT_EQ(disk::Watch((root / "morvo").string(), (root / "none").string(), fresh), IoError::NotFound);
}

#ifdef _WIN32
using platform::FlushStatusBlock;
using platform::WindowsCalls;

WindowsCalls systemCalls;

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// A folder of the running test's own in the temporary folder.
std::string TestFolder(const char* kind) {
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   (kind + std::to_string(GetCurrentProcessId()) + "-" +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder);
    return folder.string();
}

const wchar_t* givenWords = nullptr;  // what the stand-in of FormatMessageW answers; nullptr: no words

DWORD WINAPI WordsStandIn(DWORD, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD size, va_list*) {
    if (givenWords == nullptr) return 0;
    lstrcpynW(buffer, givenWords, static_cast<int>(size));
    return static_cast<DWORD>(lstrlenW(buffer));
}

// A classed code is shown beside the tool's words, so that a report can tell
// a drive not ready from a share dropped; a code with no class is shown with
// the system's words where it has them.
TEST(WindowsErrors, EveryCauseShowsTheSystemsCode) {
    // " (ディスクがつながっていません、エラーコード 21)" and " (...、エラーコード 64)"
    const std::string gone = "\203f\203B\203X\203N\202\252\202\302\202\310\202\252\202\301\202\304\202\242\202\334\202\271\202\361";
    const std::string code = "\201A\203G\203\211\201[\203R\201[\203h ";
    EXPECT_EQ(CauseText(platform::FromWindowsError(ERROR_NOT_READY)).text, " (" + gone + code + "21)");
    EXPECT_EQ(CauseText(platform::FromWindowsError(ERROR_NETNAME_DELETED)).text, " (" + gone + code + "64)");
    systemCalls = platform::Calls();
    platform::Calls().formatMessageW = WordsStandIn;
    givenWords = L"\x30c7\x30fc\x30bf \x30a8\x30e9\x30fc\r\n(CRC)\x3002\r\n";  // データ エラー, then (CRC)。
    Cause crc = CauseText(platform::FromWindowsError(ERROR_CRC));
    givenWords = nullptr;
    Cause wordless = CauseText(platform::FromWindowsError(ERROR_CRC));
    platform::Calls() = systemCalls;
    EXPECT_EQ(crc.text + "|" + crc.systemWords + "|" + crc.close,
              std::string(text::kCauseCodeOpen) + "23: |\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF "
              "\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC  (CRC)\xE3\x80\x82|)");
    EXPECT_EQ(wordless.text + "|" + wordless.systemWords, std::string(text::kCauseSystemCodeOpen) + "23)|");
}

// The command line as the C runtime reads it, but for a backslash before a
// quote that ends an argument: PowerShell 5.1's "D:\Morvo Log\" and the
// usual "D:\Morvo Log\\" both give the folder with its backslash.
TEST(WindowsCommandLine, ABackslashBeforeAClosingQuoteIsABackslash) {
    using Arguments = std::vector<std::string>;
    EXPECT_EQ(platform::ArgumentsOf(L"m2t.exe \"Z:\\Morvo Log\\\" \"Z:\\Tessiva Log\\\""),
              (Arguments{"m2t.exe", "Z:\\Morvo Log\\", "Z:\\Tessiva Log\\"}));
    EXPECT_EQ(platform::ArgumentsOf(L"m2t.exe \"Z:\\Morvo Log\\\\\"\t\"E:\\\"  extra"),
              (Arguments{"m2t.exe", "Z:\\Morvo Log\\", "E:\\", "extra"}));
    EXPECT_EQ(platform::ArgumentsOf(L"\"C:\\Program Files\\m2t.exe\" a\\\\b \"\" x\\\"y \"p\"\"q\" \\\\\\\"r\" s\""),
              (Arguments{"C:\\Program Files\\m2t.exe", "a\\\\b", "", "x\"y", "p\"q", "\\\"r s"}));
    EXPECT_EQ(platform::ArgumentsOf(L"m2t.exe"), (Arguments{"m2t.exe"}));
}

// Every name Windows allows comes back exactly from UTF-8, an unpaired surrogate too.
TEST(WindowsPaths, NamesComeBackFromUtf8Exactly) {
    std::wstring name = L"a\x00e9\x8868\xD55C\xD83D\xDE00\xD800z";
    std::string utf8;
    platform::AppendUtf8(name, utf8);
    EXPECT_EQ(utf8, "a\xC3\xA9\xE8\xA1\xA8\xED\x95\x9C\xF0\x9F\x98\x80\xED\xA0\x80z");
    EXPECT_EQ(platform::WideOf(utf8), name);
}

// What the stand-ins of the calls about paths and identities answer, as
// Microsoft documents that Windows may: a final path that fails, a folder
// that does not open, a name still held after its deletion, an identity of
// zero or a 128-bit one; and a long path without the prefix refused.
struct PathAnswers {
    DWORD finalPathFails = 0;    // the code of a failing GetFinalPathNameByHandleW
    bool openedPathToo = false;  // FILE_NAME_OPENED fails too
    std::wstring closed;  // a path that does not open, in any letter case
    std::set<std::wstring> probes;  // each probe's name stays held, as by a scanner, once it is removed
    enum { System, NoIdInfoIndexZero, IdInfoHighHalf } identity = System;
    std::vector<std::wstring> opened;
};
PathAnswers* pathAnswers = nullptr;

DWORD WINAPI FinalPathStandIn(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) {
    bool fails = pathAnswers->finalPathFails != 0 && ((flags & FILE_NAME_OPENED) == 0 || pathAnswers->openedPathToo);
    if (!fails || (flags & VOLUME_NAME_GUID) != 0) return systemCalls.getFinalPathNameByHandleW(file, buffer, size, flags);
    SetLastError(pathAnswers->finalPathFails);
    return 0;
}

HANDLE WINAPI OpenStandIn(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD how,
                          DWORD flags, HANDLE model) {
    std::wstring name(path);
    pathAnswers->opened.push_back(name);
    // A file removed keeps its name while a scanner holds it open.
    bool probe = name.find(L".m2t-probe-") != std::wstring::npos;
    bool pending = probe && how == CREATE_NEW && !pathAnswers->probes.insert(name).second;
    bool unprefixedLong = name.size() >= MAX_PATH && name.compare(0, 4, L"\\\\?\\") != 0;
    bool closed = !pathAnswers->closed.empty() && lstrcmpiW(path, pathAnswers->closed.c_str()) == 0;
    if (closed || pending || unprefixedLong) {
        SetLastError(unprefixedLong ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return systemCalls.createFileW(path, access, share, security, how, flags, model);
}

BOOL WINAPI IdInfoStandIn(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size) {
    if (pathAnswers->identity == PathAnswers::NoIdInfoIndexZero) {
        SetLastError(ERROR_INVALID_PARAMETER);  // Windows 7
        return FALSE;
    }
    BY_HANDLE_FILE_INFORMATION known;
    if (pathAnswers->identity == PathAnswers::System || !systemCalls.getFileInformationByHandle(file, &known)) {
        return systemCalls.getFileInformationByHandleEx(file, kind, information, size);
    }
    // ReFS: one low half for every file, the files told apart by the high one alone.
    auto* id = static_cast<FILE_ID_INFO*>(information);
    id->VolumeSerialNumber = 7;
    std::uint64_t halves[2] = {42, (static_cast<std::uint64_t>(known.nFileIndexHigh) << 32) | known.nFileIndexLow};
    std::memcpy(id->FileId.Identifier, halves, sizeof halves);
    return TRUE;
}

BOOL WINAPI IndexStandIn(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    if (!systemCalls.getFileInformationByHandle(file, information)) return FALSE;
    if (pathAnswers->identity == PathAnswers::NoIdInfoIndexZero) information->nFileIndexHigh = information->nFileIndexLow = 0;
    return TRUE;
}

// A source with a board, a destination beside it, and their parent.
class WindowsFolders : public ::testing::Test {
protected:
    void SetUp() override {
        root = TestFolder("m2t-folders-");
        CreateDirectoryA((root + "\\morvo").c_str(), nullptr);
        CreateDirectoryA((root + "\\morvo\\h").c_str(), nullptr);
        CreateDirectoryA((root + "\\tessiva").c_str(), nullptr);
        systemCalls = platform::Calls();
        pathAnswers = &answers;
        platform::Calls().getFinalPathNameByHandleW = FinalPathStandIn;
        platform::Calls().createFileW = OpenStandIn;
        platform::Calls().getFileInformationByHandleEx = IdInfoStandIn;
        platform::Calls().getFileInformationByHandle = IndexStandIn;
    }

    void TearDown() override {
        platform::Calls() = systemCalls;
        pathAnswers = nullptr;
        std::filesystem::remove_all(root);
    }

    // How the pairs the run may and may not take are judged: two folders
    // side by side, one given twice, the destination inside the source.
    std::vector<FolderPairProblem> Judged() {
        bool tooLong = false;
        return {CheckFolderPair(root + "\\morvo", root + "\\tessiva", tooLong),
                CheckFolderPair(root + "\\morvo", root + "\\MORVO\\", tooLong),
                CheckFolderPair(root + "\\morvo", root + "\\morvo\\h", tooLong)};
    }

    const std::vector<FolderPairProblem> kJudged = {FolderPairProblem::None, FolderPairProblem::SameFolder,
                                                    FolderPairProblem::DestinationInsideSource};
    std::string root;
    PathAnswers answers;
};

// A folder that opens is judged whatever its final path's query answers:
// access denied on a share, no drive letter, a volume the mount manager does
// not know.
TEST_F(WindowsFolders, AFinalPathThatFailsRefusesNoFolder) {
    for (DWORD code : {ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND, ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION}) {
        for (bool openedPathToo : {false, true}) {
            answers.finalPathFails = code;
            answers.openedPathToo = openedPathToo;
            EXPECT_EQ(Judged(), kJudged) << code << " " << openedPathToo;
        }
    }
    // An ancestor the user may not open ends the ancestry: what lies below it is still seen.
    std::wstring parent = L"\\\\?\\" + platform::WideOf(std::filesystem::path(root).parent_path().string());
    answers.closed = parent;
    EXPECT_EQ(Judged(), kJudged);
    auto isParent = [&parent](const std::wstring& path) { return lstrcmpiW(path.c_str(), parent.c_str()) == 0; };
    EXPECT_TRUE(std::any_of(answers.opened.begin(), answers.opened.end(), isParent));
}

// Identities hold where a server gives every file the number zero (told by
// the path instead) and where files differ in the high half of their 128-bit
// number alone (ReFS).
TEST_F(WindowsFolders, AnIdentityOfZeroEqualsNothingAndTheHighHalfCounts) {
    for (auto identity : {PathAnswers::NoIdInfoIndexZero, PathAnswers::IdInfoHighHalf}) {
        answers.identity = identity;
        EXPECT_EQ(Judged(), kJudged) << identity;
    }
}

// A second probe never takes the name of the first, which a scanner may
// still hold: two failed threads in a row do not stop the run.
TEST_F(WindowsFolders, EachProbeHasANameOfItsOwn) {
    Disks disks;
    ASSERT_EQ(disk::Watch(root + "\\morvo", root + "\\tessiva", disks), IoError::None);
    EXPECT_EQ(disk::AskDisk(disks, disk::Side::Destination, IoError::AccessDenied), Verdict::GoesOn);
    EXPECT_EQ(disk::AskDisk(disks, disk::Side::Destination, IoError::AccessDenied), Verdict::GoesOn);
    EXPECT_EQ(answers.probes.size(), 3u);
}

// Every path reaches the system with the prefix that takes it past MAX_PATH,
// which Windows, unlike Wine, refuses without it.
TEST_F(WindowsFolders, APathPastMaxPathReachesTheSystemWithThePrefix) {
    std::string deep = root + "\\morvo";
    for (char name : {'a', 'b', 'c'}) {
        deep += "\\" + std::string(100, name);
        IoError made = platform::CreateFolder(deep);  // one a failed run left is there already
        ASSERT_TRUE(made == IoError::None || made == IoError::AlreadyExists);
    }
    platform::FileHandle file;
    platform::FileState state;
    std::vector<platform::FileIdentity> ancestry;
    ASSERT_EQ(platform::CreateNewFile(deep + "\\1.dat", platform::IfPresent::Replace, file), IoError::None);
    platform::CloseFile(file);
    EXPECT_EQ(platform::OpenForReading(deep + "\\1.dat", file, state), IoError::None);
    platform::CloseFile(file);
    EXPECT_TRUE(platform::FolderAncestry(deep, ancestry));
    EXPECT_EQ(platform::ReplaceFile(deep + "\\1.dat", deep + "\\2.dat"), IoError::None);
    // The C++ library's removal takes no path this long.
    platform::RemoveFile(deep + "\\2.dat");
    for (std::size_t end = deep.size(); end > root.size() + 7; end = deep.rfind('\\', end - 1)) {
        RemoveDirectoryW((L"\\\\?\\" + platform::WideOf(deep.substr(0, end))).c_str());
    }
}

HANDLE heldByAnother = INVALID_HANDLE_VALUE;

BOOL WINAPI MoveStandIn(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (heldByAnother == INVALID_HANDLE_VALUE) return systemCalls.moveFileExW(from, to, flags);
    SetLastError(ERROR_ACCESS_DENIED);  // what Windows answers for a file open without FILE_SHARE_DELETE
    return FALSE;
}

// A move onto an index that another program holds open is a file in use;
// access denied alone stays that.
TEST_F(WindowsFolders, AMoveOntoAFileHeldOpenIsAFileInUse) {
    std::string index = root + "\\tessiva\\1.idx";
    Write(index, "old");
    Write(index + ".m2t-tmp", "new");
    platform::Calls().moveFileExW = MoveStandIn;
    heldByAnother = CreateFileA(index.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(heldByAnother, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::ReplaceFile(index + ".m2t-tmp", index), IoError::InUse);
    CloseHandle(heldByAnother);
    EXPECT_EQ(platform::ReplaceFile(index + ".m2t-tmp", index), IoError::AccessDenied);
    heldByAnother = INVALID_HANDLE_VALUE;
    EXPECT_EQ(platform::ReplaceFile(index + ".m2t-tmp", index), IoError::None);
    EXPECT_EQ(Read(index), "new");
}

// What the stand-ins of the flush's calls answer, and what they were asked.
struct FlushAnswers {
    const wchar_t* fileSystem = L"NTFS";  // nullptr: the file system cannot be asked
    LONG status = 0;
    std::vector<ULONG> flags;
};
FlushAnswers* answers = nullptr;

LONG NTAPI NoSyncStandIn(HANDLE, ULONG flags, void*, ULONG, FlushStatusBlock*) {
    answers->flags.push_back(flags);
    return answers->status;
}

BOOL WINAPI FileSystemStandIn(HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR name, DWORD size) {
    if (answers->fileSystem == nullptr) return FALSE;
    lstrcpynW(name, answers->fileSystem, static_cast<int>(size));
    return TRUE;
}

// One flush of a volume covers its files where NtFlushBuffersFileEx is there
// and documented for the file system; the hand-over is that call's write
// without the disk's cache, and fails where it does.
TEST(WindowsFlush, OneFlushCoversOnlyTheDocumentedFileSystemsWithTheNoSyncWrite) {
    std::string folder = TestFolder("m2t-flush-");
    platform::FileHandle file;
    ASSERT_EQ(platform::CreateNewFile(folder + "\\1.dat", platform::IfPresent::Refuse, file), IoError::None);
    systemCalls = platform::Calls();
    FlushAnswers given;
    answers = &given;
    platform::Calls().flushBuffersFileEx = NoSyncStandIn;
    platform::Calls().getVolumeInformationByHandleW = FileSystemStandIn;
    for (const wchar_t* documented : {L"NTFS", L"FAT", L"fat32", L"exFAT"}) {
        given.fileSystem = documented;
        EXPECT_TRUE(platform::OneFlushCovers(file));
    }
    for (const wchar_t* other : {L"NFS", L"ReFS", static_cast<const wchar_t*>(nullptr)}) {
        given.fileSystem = other;
        EXPECT_FALSE(platform::OneFlushCovers(file));
    }
    EXPECT_EQ(platform::WriteWithoutDiskFlush(file), IoError::None);
    given.status = static_cast<LONG>(0xC00000BB);  // STATUS_NOT_SUPPORTED
    EXPECT_NE(platform::WriteWithoutDiskFlush(file), IoError::None);
    EXPECT_EQ(given.flags, (std::vector<ULONG>{platform::kFlushWithoutDiskCache, platform::kFlushWithoutDiskCache}));
    platform::Calls().flushBuffersFileEx = nullptr;
    given.fileSystem = L"NTFS";
    EXPECT_FALSE(platform::OneFlushCovers(file));
    platform::Calls() = systemCalls;
    answers = nullptr;
    EXPECT_EQ(platform::FlushDisk(file), IoError::None);
    EXPECT_EQ(platform::FlushFile(file), IoError::None);
    platform::CloseFile(file);
    std::filesystem::remove_all(folder);
}

int streamWrites = 0;
HANDLE capturedStream = nullptr;

BOOL WINAPI WriteStandIn(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    if (file == capturedStream) ++streamWrites;
    return systemCalls.writeFile(file, data, size, written, overlapped);
}

// A standard output that is no console gets a group's lines with one call,
// with the C runtime's CR LF line ends.
TEST(WindowsConsole, AGroupsLinesReachAFileWithOneWrite) {
    std::string folder = TestFolder("m2t-console-");
    systemCalls = platform::Calls();
    platform::Calls().writeFile = WriteStandIn;
    std::fflush(stdout);
    int saved = _dup(1);
    int out = _open((folder + "\\out.txt").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
    _dup2(out, 1);
    capturedStream = reinterpret_cast<HANDLE>(_get_osfhandle(1));
    HeldLines held;
    RepeatedFailures repeated;
    HoldLinesIn(&held);
    for (const char* line : {"one", "two", "three"}) WriteLine(stdout, {line});
    HoldLinesIn(nullptr);
    WriteHeld(held, repeated);
    _dup2(saved, 1);
    _close(out);
    _close(saved);
    platform::Calls() = systemCalls;
    EXPECT_EQ(streamWrites, 1);
    EXPECT_EQ(Read(folder + "\\out.txt"), "one\r\ntwo\r\nthree\r\n");
    std::filesystem::remove_all(folder);
}

std::vector<std::wstring> consoleWrites;

// Windows 7 fails a console write of about 64 KB and more.
BOOL WINAPI ConsoleStandIn(HANDLE, const VOID* text, DWORD count, LPDWORD written, LPVOID) {
    if (count > 32767) return FALSE;
    consoleWrites.emplace_back(static_cast<const wchar_t*>(text), count);
    *written = count;
    return TRUE;
}

// A line with a path of 32,000 characters reaches the console whole, in parts
// that split no surrogate pair.
TEST(WindowsConsole, ALongLineReachesTheConsoleInPartsWindows7Takes) {
    std::wstring line = std::wstring(8191, L'a') + L"\xD83D\xDE00" + std::wstring(32000, L'b') + L"\r\n";
    systemCalls = platform::Calls();
    platform::Calls().writeConsoleW = ConsoleStandIn;
    platform::WriteConsoleInParts(nullptr, line);
    platform::Calls() = systemCalls;
    std::wstring joined;
    for (const std::wstring& part : consoleWrites) {
        EXPECT_FALSE(part.back() >= 0xD800 && part.back() < 0xDC00);
        joined += part;
    }
    EXPECT_EQ(joined, line);
    EXPECT_EQ(consoleWrites.size(), 5u);  // 8,191; the pair and 8,190 more; 8,192 twice; the rest
}

// What the disk says of its space, in the stand-ins.
struct Disk {
    DWORD sectorsPerCluster = 8;
    ULONGLONG availableToCaller = 0;
    ULONGLONG free = 10ULL << 30;  // more than the caller's quota lets it write
    std::wstring askedFor = L"";
};
Disk* disk = nullptr;

BOOL WINAPI FreeSpaceStandIn(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free) {
    disk->askedFor = folder;
    if (available != nullptr) available->QuadPart = disk->availableToCaller;
    if (total != nullptr) total->QuadPart = 20ULL << 30;
    if (free != nullptr) free->QuadPart = disk->free;
    return TRUE;
}

BOOL WINAPI ClusterStandIn(LPCWSTR, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector, LPDWORD freeClusters,
                           LPDWORD clusters) {
    *sectorsPerCluster = disk->sectorsPerCluster;
    *bytesPerSector = 512;
    *freeClusters = 1000;
    *clusters = 2000;
    return TRUE;
}

// The dialogue's estimate for 3,000 small threads (1,360 bytes each) in h\b:
// each copy and each index takes a whole cluster, and so does each folder to
// make; the space is what the caller may write.
class SpaceEstimate : public ::testing::Test {
protected:
    void SetUp() override {
        root = TestFolder("m2t-space-");
        for (const char* folder : {"\\morvo", "\\morvo\\h", "\\morvo\\h\\b", "\\tessiva"}) {
            CreateDirectoryA((root + folder).c_str(), nullptr);
        }
        for (int number = 0; number < 3000; ++number) {
            Write(root + "\\morvo\\h\\b\\" + std::to_string(number) + ".dat",
                  "a<>b<>c d<>e<>t\n" + std::string(1344, 'x'));
        }
        systemCalls = platform::Calls();
    }

    void TearDown() override {
        platform::Calls() = systemCalls;
        disk = nullptr;
        std::filesystem::remove_all(root);
    }

    // The dialogue's lines with the disk of the stand-ins.
    std::string Shown(Disk& shownDisk) {
        disk = &shownDisk;
        platform::Calls().getDiskFreeSpaceExW = FreeSpaceStandIn;
        platform::Calls().getDiskFreeSpaceW = ClusterStandIn;
        std::fflush(stdout);
        int saved = _dup(1);
        int out = _open((root + "\\out.txt").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
        _dup2(out, 1);
        RunTally tally;
        ShowWhatFits(root + "\\morvo", root + "\\tessiva", tally);
        std::fflush(stdout);
        _dup2(saved, 1);
        _close(out);
        _close(saved);
        platform::Calls() = systemCalls;
        return Read(root + "\\out.txt");
    }

    static std::string Lines(const std::string& threads, const std::string& bytes, const std::string& needed,
                             const std::string& free, bool warned) {
        return std::string(text::kShowThreads) + threads + text::kShowThreadsBytes + bytes + "\r\n" +
               text::kShowSpaceNeeded + needed + "\r\n" + text::kShowFreeSpace + free + "\r\n" +
               (warned ? std::string(text::kNotEnoughSpace) + "\r\n" : std::string());
    }

    std::string root;
};

TEST_F(SpaceEstimate, WarnsWhereTheFilesTakeMoreThanTheCallerMayWrite) {
    // 128 KiB clusters: 3,000 threads of 3.89 MB take 256 KiB each, and the
    // two folders to make one cluster each: 750 MB, more than the 200 MB the
    // caller may write. The disk's own free space, beyond the caller's quota,
    // would hold them.
    Disk large{256, 200ULL << 20};
    EXPECT_EQ(Shown(large), Lines("3,000", "3.89 MB", "750 MB", "200 MB", true));
    EXPECT_EQ(large.askedFor.back(), L'\\');  // as a share's root must be given
    // 4 KiB clusters: they take 23.4 MB, and fit.
    Disk small{8, 200ULL << 20};
    EXPECT_EQ(Shown(small), Lines("3,000", "3.89 MB", "23.4 MB", "200 MB", false));
}

TEST_F(SpaceEstimate, CountsOnlyTheThreadsStillToConvert) {
    // Two thirds are indexed already: the 1,000 left take 250 MB of 128 KiB
    // clusters, in folders that are there, and fit into 300 MB where all
    // 3,000 would not.
    for (const char* folder : {"\\tessiva\\h", "\\tessiva\\h\\b"}) CreateDirectoryA((root + folder).c_str(), nullptr);
    for (int number = 1000; number < 3000; ++number) {
        Write(root + "\\tessiva\\h\\b\\" + std::to_string(number) + ".idx", "indexed");
    }
    Disk large{256, 300ULL << 20};
    EXPECT_EQ(Shown(large), Lines("1,000", "1.29 MB", "250 MB", "300 MB", false));
}

#endif  // _WIN32

}  // namespace
