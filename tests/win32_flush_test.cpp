// The Windows flush of a group, with stand-ins in the table of its calls: the
// calls in order, the threads that fail and the console bytes, for each way
// the flush can go, also those Wine cannot take (it lacks NtFlushBuffersFileEx);
// a destination whose disk goes away; and the space the dialogue counts on
// disks of other clusters than the 4 KiB Wine reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/dialogue.h"
#include "platform/win32_calls.h"
#include "texts/japanese.h"
#include "walk/walk.h"

namespace {

using platform::FlushStatusBlock;
using platform::WindowsCalls;

constexpr LONG kStatusNotSupported = static_cast<LONG>(0xC00000BB);

// What the stand-ins do and what they saw.
struct Scene {
    std::string destination;  // names are logged below it, with "/"
    bool noSyncPresent = true;
    LONG noSyncStatus = 0;
    std::wstring fileSystem = L"NTFS";
    bool fileSystemUnknown = false;         // the volume's file system cannot be asked
    std::set<std::string> goneAt;           // creating one of these takes the destination's disk away
    bool goneAtFlush = false;               // so does the first flush
    bool gone = false;                      // every file created below the destination fails
    std::set<std::string> deviceNotConnected;  // files whose creation alone fails so
    int streamWrites = 0;                   // WriteFile calls on the captured standard output
    std::set<std::string> noSyncFails;     // files whose no-sync write fails
    std::set<std::string> firstFlushFails;  // files whose first flush fails
    std::set<std::string> flushFails;       // files whose every flush fails
    std::vector<std::string> calls;
    std::set<std::string> flushedOnce;
};
Scene* active = nullptr;
WindowsCalls systemCalls;

std::string Below(std::string path) {
    std::size_t at = path.find(active->destination);
    std::size_t rest = at + active->destination.size() + 1;
    path = at == std::string::npos ? path : rest < path.size() ? path.substr(rest) : std::string();
    for (char& byte : path) {
        if (byte == '\\') byte = '/';
    }
    return path;
}

std::string NameOf(HANDLE file) {
    char path[1024];
    DWORD length = GetFinalPathNameByHandleA(file, path, sizeof path, VOLUME_NAME_DOS);
    return Below(std::string(path, length < sizeof path ? length : 0));
}

LONG NTAPI NoSyncStandIn(HANDLE file, ULONG flags, void*, ULONG, FlushStatusBlock*) {
    std::string name = NameOf(file);
    active->calls.push_back("nosync " + name);
    EXPECT_EQ(flags, platform::kFlushWithoutDiskCache);
    return active->noSyncFails.count(name) ? kStatusNotSupported : active->noSyncStatus;
}

BOOL WINAPI FlushStandIn(HANDLE file) {
    std::string name = NameOf(file);
    active->calls.push_back("flush " + name);
    bool first = active->flushedOnce.insert(name).second;
    active->gone = active->gone || active->goneAtFlush;
    if (active->gone) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (active->flushFails.count(name) || (first && active->firstFlushFails.count(name))) {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    return systemCalls.flushFileBuffers(file);
}

BOOL WINAPI FileSystemStandIn(HANDLE file, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR name, DWORD size) {
    active->calls.push_back("filesystem " + NameOf(file));
    if (active->fileSystemUnknown) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    lstrcpynW(name, active->fileSystem.c_str(), static_cast<int>(size));
    return TRUE;
}

HANDLE WINAPI CreateStandIn(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD how,
                            DWORD flags, HANDLE from) {
    std::string name = Below(path);
    bool below = std::string(path).find(active->destination) == 0;
    if (below && active->goneAt.count(name)) active->gone = true;
    if ((below && active->gone) || active->deviceNotConnected.count(name)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return INVALID_HANDLE_VALUE;
    }
    return systemCalls.createFileA(path, access, share, security, how, flags, from);
}

BOOL WINAPI WriteStandIn(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    std::string name = NameOf(file);
    if (name.size() >= 8 && name.compare(name.size() - 8, 8, "/out.txt") == 0) ++active->streamWrites;
    return systemCalls.writeFile(file, data, size, written, overlapped);
}

// Folder "a" lies on one volume, everything else on another; both share the
// 32-bit serial of the one disk they really are on.
DWORD WINAPI FinalPathStandIn(HANDLE file, LPWSTR path, DWORD size, DWORD flags) {
    if ((flags & VOLUME_NAME_GUID) == 0) return systemCalls.getFinalPathNameByHandleW(file, path, size, flags);
    std::string name = NameOf(file);
    std::wstring volume = name.compare(0, 4, "h/a/") == 0 ? L"\\\\?\\Volume{1}\\" : L"\\\\?\\Volume{2}\\";
    std::wstring full = volume + std::wstring(name.begin(), name.end());
    if (full.size() >= size) return static_cast<DWORD>(full.size() + 1);
    lstrcpynW(path, full.c_str(), static_cast<int>(size));
    return static_cast<DWORD>(full.size());
}

BOOL WINAPI MoveStandIn(LPCSTR from, LPCSTR to, DWORD flags) {
    active->calls.push_back("move " + Below(from) + " " + Below(to));
    return systemCalls.moveFileExA(from, to, flags);
}

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    while (search != INVALID_HANDLE_VALUE) {
        std::string name = found.cFileName;
        std::string path = folder + "\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            DeleteFileA(path.c_str());
        } else if (name != "." && name != "..") {
            RemoveTree(path);
        }
        if (!FindNextFileA(search, &found)) break;
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    RemoveDirectoryA(folder.c_str());
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A folder of the running test's own in the temporary folder.
std::string TestFolder(const char* kind) {
    char temporary[MAX_PATH];
    GetTempPathA(MAX_PATH, temporary);
    return std::string(temporary) + kind + std::to_string(GetCurrentProcessId()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// Each test converts two threads in one group: h/a/1.dat, new, and h/b/2.dat,
// which replaces a copy an interrupted run left.
class WindowsFlush : public ::testing::Test {
protected:
    void SetUp() override {
        root = TestFolder("m2t-flush-");
        source = root + "\\morvo";
        destination = root + "\\tessiva";
        for (const char* folder : {"", "\\morvo", "\\morvo\\h", "\\morvo\\h\\a", "\\morvo\\h\\b", "\\tessiva",
                                   "\\tessiva\\h", "\\tessiva\\h\\b"}) {
            CreateDirectoryA((root + folder).c_str(), nullptr);
        }
        Write(source + "\\h\\a\\1.dat", "n<>m<>2004/05/10 12:34:56<>x<>one\n");
        Write(source + "\\h\\b\\2.dat", "n<>m<>2004/05/10 12:34:56<>x<>two\n");
        Write(destination + "\\h\\b\\2.dat", "left by an interrupted run");
        systemCalls = platform::Calls();
        scene.destination = destination;
    }

    void TearDown() override {
        platform::Calls() = systemCalls;
        active = nullptr;
        RemoveTree(root);
    }

    // Converts the tree with the stand-ins in place, the console's two
    // streams caught in files.
    void Convert() {
        active = &scene;
        WindowsCalls& calls = platform::Calls();
        calls.flushBuffersFileEx = scene.noSyncPresent ? NoSyncStandIn : nullptr;
        calls.flushFileBuffers = FlushStandIn;
        calls.getVolumeInformationByHandleW = FileSystemStandIn;
        calls.getFinalPathNameByHandleW = FinalPathStandIn;
        calls.moveFileExA = MoveStandIn;
        calls.createFileA = CreateStandIn;
        calls.writeFile = WriteStandIn;
        std::fflush(stdout);
        std::fflush(stderr);
        int savedOut = _dup(1);
        int savedError = _dup(2);
        int out = _open((root + "\\out.txt").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
        int error = _open((root + "\\error.txt").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
        _dup2(out, 1);
        _dup2(error, 2);
        ConvertTree(source, destination, destination, tally);
        std::fflush(stdout);
        std::fflush(stderr);
        _dup2(savedOut, 1);
        _dup2(savedError, 2);
        for (int descriptor : {out, error, savedOut, savedError}) _close(descriptor);
        platform::Calls() = systemCalls;
        output = Read(root + "\\out.txt");
        errors = Read(root + "\\error.txt");
    }

    // The threads in the order the walk met them, from their progress lines.
    std::vector<std::string> Order() {
        std::size_t one = output.find("\\h\\a\\1.dat");
        std::size_t two = output.find("\\h\\b\\2.dat");
        EXPECT_NE(one, std::string::npos);
        EXPECT_NE(two, std::string::npos);
        return one < two ? std::vector<std::string>{"1", "2"} : std::vector<std::string>{"2", "1"};
    }

    // The name a thread's copy is written under, and its index record's.
    static std::string CopyOf(const std::string& thread) {
        return thread == "1" ? "h/a/1.dat" : "h/b/2.dat.m2t-tmp";
    }
    static std::string IndexOf(const std::string& thread) {
        return thread == "1" ? "h/a/1.idx.m2t-tmp" : "h/b/2.idx.m2t-tmp";
    }

    std::string Progress(const std::string& thread) {
        std::string folder = thread == "1" ? "a" : "b";
        return std::string(text::kProgress) + source + "\\h\\" + folder + "\\" + thread + ".dat\r\n";
    }
    static std::string Completion(const std::string& thread) {
        std::string title = thread == "1" ? "one" : "two";
        std::string url = "http://h/test/read.cgi/" + std::string(thread == "1" ? "a/" : "b/") + thread + "/";
        return std::string(text::kCompletionOpen) + title + text::kCompletionMiddle + url + text::kCompletionClose +
               "\r\n";
    }

    // Each thread's copy and index record written without the disk's flush,
    // each volume asked about its file system the first time.
    static std::vector<std::string> NoSyncWrites(const std::vector<std::string>& order) {
        std::vector<std::string> calls;
        for (const std::string& thread : order) {
            calls.push_back("filesystem " + CopyOf(thread));
            calls.push_back("nosync " + CopyOf(thread));
            calls.push_back("nosync " + IndexOf(thread));
        }
        return calls;
    }

    // The names that follow a group's flush: the replaced copy moved and its
    // folder flushed, then the indices.
    std::vector<std::string> Names(const std::vector<std::string>& order) {
        std::vector<std::string> names = {"move h/b/2.dat.m2t-tmp h/b/2.dat", "flush h/b"};
        for (const std::string& thread : order) {
            names.push_back("move " + IndexOf(thread) + " " + IndexOf(thread).substr(0, 9));
        }
        return names;
    }

    // The run stopped where the thread's copy met the disk gone: that thread
    // alone is reported, and no index stands.
    void ExpectStoppedByADiskGoneAt(const std::string& thread) {
        std::string copy = thread == "1" ? "\\h\\a\\1.dat" : "\\h\\b\\2.dat";
        EXPECT_EQ(errors, std::string(text::kCopyUnwritable) + destination + copy + text::kCauseGone + "\r\n");
        EXPECT_EQ(tally.stop, RunStop::DestinationGone);
        EXPECT_EQ(tally.failed, 1);
        EXPECT_EQ(tally.migrated, 0);
        EXPECT_FALSE(Exists(destination + "\\h\\a\\1.idx") || Exists(destination + "\\h\\b\\2.idx"));
    }

    void ExpectBothConverted(const std::vector<std::string>& order) {
        EXPECT_EQ(output, Progress(order[0]) + Completion(order[0]) + Progress(order[1]) + Completion(order[1]));
        EXPECT_EQ(errors, "");
        EXPECT_EQ(tally.migrated, 2);
        EXPECT_EQ(tally.failed, 0);
        EXPECT_EQ(Read(destination + "\\h\\b\\2.dat"), "n<>m<>2004/05/10 12:34:56<>x<>two\n");
        EXPECT_NE(Read(destination + "\\h\\a\\1.idx").find("\tone\n\thttp://h/test/read.cgi/a/1/\t1\t"),
                  std::string::npos);
    }

    std::string root;
    std::string source;
    std::string destination;
    Scene scene;
    RunTally tally;
    std::string output;
    std::string errors;
};

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

// Each copy and record written without the disk's flush, then one flush for
// each volume, then the names; each volume's file system asked once.
TEST_F(WindowsFlush, OneFlushForEachVolumeWhereTheNoSyncWriteWorks) {
    Convert();
    std::vector<std::string> order = Order();
    std::vector<std::string> expected = NoSyncWrites(order);
    for (const std::string& thread : order) expected.push_back("flush " + CopyOf(thread));
    EXPECT_EQ(scene.calls, Joined(expected, Names(order)));
    ExpectBothConverted(order);
    // A standard output that is no console gets the group's lines with one call.
    EXPECT_EQ(scene.streamWrites, 1);
}

// Where the no-sync write is refused, missing, not documented for the file
// system, or the file system cannot be asked, every file is flushed on its own.
TEST_F(WindowsFlush, EachFileFlushedOnItsOwnWhereTheNoSyncWriteCannotBeUsed) {
    for (int variant = 0; variant < 4; ++variant) {
        if (variant > 0) {
            TearDown();
            SetUp();
            tally = RunTally();
            scene = Scene();
            scene.destination = destination;
        }
        scene.noSyncStatus = kStatusNotSupported;
        scene.noSyncPresent = variant != 1;
        scene.fileSystem = variant == 2 ? L"NFS" : L"NTFS";
        scene.fileSystemUnknown = variant == 3;
        Convert();
        std::vector<std::string> order = Order();
        std::vector<std::string> expected;
        for (const std::string& thread : order) {
            if (variant != 1) expected.push_back("filesystem " + CopyOf(thread));
            if (variant == 0) expected.push_back("nosync " + CopyOf(thread));
            if (variant == 0) expected.push_back("nosync " + IndexOf(thread));
        }
        for (const std::string& thread : order) {
            expected.push_back("flush " + CopyOf(thread));
            expected.push_back("flush " + IndexOf(thread));
        }
        EXPECT_EQ(scene.calls, Joined(expected, Names(order))) << "variant " << variant;
        ExpectBothConverted(order);
    }
}

// A volume whose flush fails has each of its files flushed on its own; only
// a file whose own flush fails fails its thread, which keeps nothing.
TEST_F(WindowsFlush, FailedVolumeFlushFallsBackToEachFileAndFailsOnlyItsOwnFailures) {
    scene.firstFlushFails = {"h/a/1.dat"};
    scene.flushFails = {"h/a/1.idx.m2t-tmp"};
    Convert();
    std::vector<std::string> order = Order();
    std::vector<std::string> expected = NoSyncWrites(order);
    for (const std::string& thread : order) expected.push_back("flush " + CopyOf(thread));
    expected.push_back("flush h/a/1.dat");
    expected.push_back("flush h/a/1.idx.m2t-tmp");
    expected.push_back("move h/b/2.dat.m2t-tmp h/b/2.dat");
    expected.push_back("flush h/b");
    expected.push_back("move h/b/2.idx.m2t-tmp h/b/2.idx");
    EXPECT_EQ(scene.calls, expected);
    std::string failure = std::string(text::kIndexUnwritable) + destination + "\\h\\a\\1.idx" + text::kCauseOther +
                          "\r\n";
    std::string two = Progress("2") + Completion("2");
    EXPECT_EQ(output, order[0] == "1" ? Progress("1") + two : two + Progress("1"));
    EXPECT_EQ(errors, failure);
    EXPECT_EQ(tally.migrated, 1);
    EXPECT_EQ(tally.failed, 1);
    for (const char* left : {"\\h\\a\\1.dat", "\\h\\a\\1.idx", "\\h\\a\\1.idx.m2t-tmp"}) {
        EXPECT_FALSE(Exists(destination + left)) << left;
    }
    EXPECT_TRUE(Exists(destination + "\\h\\b\\2.idx"));
}

// A file whose no-sync write fails is flushed on its own; the others still
// wait for their volume's one flush.
TEST_F(WindowsFlush, FailedNoSyncWriteFlushesThatFileOnItsOwn) {
    scene.noSyncFails = {"h/b/2.dat.m2t-tmp"};
    Convert();
    std::vector<std::string> order = Order();
    std::vector<std::string> expected = NoSyncWrites(order);
    for (const std::string& thread : order) expected.push_back("flush " + (thread == "1" ? CopyOf("1") : IndexOf("2")));
    expected.push_back("flush h/b/2.dat.m2t-tmp");
    EXPECT_EQ(scene.calls, Joined(expected, Names(order)));
    ExpectBothConverted(order);
}

// The disk goes away at the first copy: its creation fails, and so does the
// file that asks the destination's folder whether it takes one. The run stops
// there: the thread is reported, and the other one is never met.
TEST_F(WindowsFlush, DestinationWhoseDiskGoesAwayStopsTheRun) {
    scene.goneAt = {CopyOf("1"), CopyOf("2")};
    Convert();
    std::string first = output.find("\\h\\a\\1.dat") != std::string::npos ? "1" : "2";
    EXPECT_EQ(output, Progress(first));
    ExpectStoppedByADiskGoneAt(first);
}

// The disk goes away at the group's flush: the first file whose flush fails
// finds it gone, and no other file of the group is flushed, moved or named,
// each of which could take long on a dropped share. That thread is reported;
// the other is left for the next run.
TEST_F(WindowsFlush, DiskGoneAtTheFlushStopsIt) {
    scene.noSyncPresent = false;
    scene.goneAtFlush = true;
    Convert();
    std::vector<std::string> order = Order();
    EXPECT_EQ(scene.calls, std::vector<std::string>{"flush " + CopyOf(order[0])});
    EXPECT_EQ(output, Progress(order[0]) + Progress(order[1]));
    ExpectStoppedByADiskGoneAt(order[0]);
}

// The same code for one file, while the destination's folder still takes a
// new one, fails that thread alone: the folder's answer decides, not the code.
TEST_F(WindowsFlush, FileWhoseDiskStillAnswersFailsItsThreadAlone) {
    scene.deviceNotConnected = {CopyOf("1")};
    Convert();
    EXPECT_EQ(errors, std::string(text::kCopyUnwritable) + destination + "\\h\\a\\1.dat" + text::kCauseGone + "\r\n");
    EXPECT_EQ(tally.stop, RunStop::None);
    EXPECT_EQ(tally.failed, 1);
    EXPECT_EQ(tally.migrated, 1);
    EXPECT_TRUE(Exists(destination + "\\h\\b\\2.idx"));
}

TEST(WindowsErrors, EachCodeOfADiskGoneOrWriteProtectedIsClassedSo) {
    for (DWORD code : {ERROR_NOT_READY, ERROR_NO_MEDIA_IN_DRIVE, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED,
                       ERROR_DEV_NOT_EXIST, ERROR_BAD_NETPATH, ERROR_NETNAME_DELETED, ERROR_UNEXP_NET_ERR,
                       ERROR_FILE_INVALID}) {
        EXPECT_EQ(platform::FromWindowsError(code), platform::IoError::Gone) << code;
    }
    EXPECT_EQ(platform::FromWindowsError(ERROR_WRITE_PROTECT), platform::IoError::ReadOnly);
    EXPECT_EQ(platform::FromWindowsError(ERROR_ACCESS_DENIED), platform::IoError::AccessDenied);
    EXPECT_EQ(platform::FromWindowsError(ERROR_DISK_FULL), platform::IoError::DiskFull);
    EXPECT_EQ(platform::FromWindowsError(ERROR_PATH_NOT_FOUND), platform::IoError::NotFound);
}

// What the disk says of its space, in the stand-ins.
struct Disk {
    DWORD sectorsPerCluster = 8;
    ULONGLONG availableToCaller = 0;
    ULONGLONG free = 10ULL << 30;  // more than the caller's quota lets it write
};
Disk* disk = nullptr;

BOOL WINAPI FreeSpaceStandIn(LPCSTR, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free) {
    if (available != nullptr) available->QuadPart = disk->availableToCaller;
    if (total != nullptr) total->QuadPart = 20ULL << 30;
    if (free != nullptr) free->QuadPart = disk->free;
    return TRUE;
}

BOOL WINAPI ClusterStandIn(LPCSTR, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector, LPDWORD freeClusters,
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
        for (const char* folder : {"", "\\morvo", "\\morvo\\h", "\\morvo\\h\\b", "\\tessiva"}) {
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
        RemoveTree(root);
    }

    // The dialogue's lines with the disk of the stand-ins.
    std::string Shown(Disk& shownDisk) {
        disk = &shownDisk;
        platform::Calls().getDiskFreeSpaceExA = FreeSpaceStandIn;
        platform::Calls().getDiskFreeSpaceA = ClusterStandIn;
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
    // 128 KiB clusters: 3,000 threads of 4.1 MB take 256 KiB each, and the
    // two folders to make one cluster each: 786.7 MB, more than the 200 MiB
    // the caller may write. The disk's own free space, beyond the caller's
    // quota, would hold them.
    Disk large{256, 200ULL << 20};
    EXPECT_EQ(Shown(large), Lines("3,000", "4.1 MB", "786.7 MB", "209.7 MB", true));
    // 4 KiB clusters: they take 24.6 MB, and fit.
    Disk small{8, 200ULL << 20};
    EXPECT_EQ(Shown(small), Lines("3,000", "4.1 MB", "24.6 MB", "209.7 MB", false));
}

TEST_F(SpaceEstimate, CountsOnlyTheThreadsStillToConvert) {
    // Two thirds are indexed already: the 1,000 left take 262.1 MB of 128 KiB
    // clusters, in folders that are there, and fit into 300 MiB where all
    // 3,000 would not.
    for (const char* folder : {"\\tessiva\\h", "\\tessiva\\h\\b"}) CreateDirectoryA((root + folder).c_str(), nullptr);
    for (int number = 1000; number < 3000; ++number) {
        Write(root + "\\tessiva\\h\\b\\" + std::to_string(number) + ".idx", "indexed");
    }
    Disk large{256, 300ULL << 20};
    EXPECT_EQ(Shown(large), Lines("1,000", "1.4 MB", "262.1 MB", "314.6 MB", false));
}

}  // namespace
