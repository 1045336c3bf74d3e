// A group's commit when a flush fails, a move fails, or the destination's disk
// goes away between them: which names stand afterwards, and which lines are
// said. Real threads are converted into a real folder; only the flush calls
// are stand-ins.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "texts/japanese.h"
#include "thread/thread.h"

namespace {

using platform::FileHandle;
using platform::IoError;
namespace fs = std::filesystem;

// What the flush stand-ins do: files are numbered in the order the flush
// meets them (each thread's copy, then its index record).
struct FlushScene {
    bool diskFlushFails = false;
    std::map<std::size_t, IoError> fileFlushFails;
    std::size_t goneAt = SIZE_MAX;  // the file whose flush takes the destination away
    fs::path destination;
    std::map<std::intptr_t, std::size_t> numbers;
};
FlushScene* scene = nullptr;

std::string OneDisk(FileHandle file) {
    scene->numbers.emplace(file.value, scene->numbers.size());
    return "A";
}
bool Covers(FileHandle) { return true; }
IoError HandOver(FileHandle) { return IoError::None; }
IoError FlushDisk(FileHandle) { return scene->diskFlushFails ? IoError(IoError::Other, 5) : IoError::None; }
IoError FlushFile(FileHandle file) {
    std::size_t number = scene->numbers.at(file.value);
    if (number == scene->goneAt) fs::rename(scene->destination, scene->destination.string() + "-gone");
    auto failure = scene->fileFlushFails.find(number);
    return failure == scene->fileFlushFails.end() ? IoError::None : failure->second;
}

std::string Line(std::initializer_list<std::string> pieces) {
    std::string line;
    for (const std::string& piece : pieces) line += piece;
    return line + "\n";
}

class Commit : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("m2t-commit-" + std::to_string(std::random_device()()));
        fs::create_directories(root / "morvo" / "h" / "b");
        fs::create_directories(root / "tessiva" / "h" / "b");
        for (const char* name : {"1.dat", "2.dat", "3.dat"}) {
            std::ofstream(root / "morvo" / "h" / "b" / name, std::ios::binary) << "n<><>2004/05/10 12:00<>x<>t\n";
        }
        flushScene.destination = root / "tessiva";
        saved = disk::Flushes();
        disk::Flushes() = {OneDisk, Covers, HandOver, FlushDisk, FlushFile};
        scene = &flushScene;
    }

    void TearDown() override {
        disk::Flushes() = saved;
        scene = nullptr;
        fs::remove_all(root);
    }

    // Converts the three threads into one group and commits it; gives the
    // names left below the destination, and the lines said.
    std::vector<std::string> ConvertAndCommit(const fs::path& destination) {
        EXPECT_EQ(disk::Watch(Path("morvo"), Path("tessiva"), tally.disks), IoError::None);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        TransferBuffers buffers{std::vector<char>(4096)};
        ThreadGroup group;
        for (const char* name : {"1.dat", "2.dat", "3.dat"}) {
            ConvertThread(Path("morvo/h/b/") + name, Path("tessiva/h/b/") + name, Path("tessiva"), buffers, group,
                          tally);
        }
        CommitGroup(group, tally);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(destination)) {
            if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string Path(const std::string& below) const { return (root / fs::path(below).make_preferred()).string(); }
    std::string Progress(const char* name) const { return Line({text::kProgress, Path("morvo/h/b/") + name}); }
    std::string Completion(const char* number) const {
        std::string url = std::string("http://h/test/read.cgi/b/") + number + "/";
        return Line({text::kCompletionOpen, "t", text::kCompletionMiddle, url, text::kCompletionClose});
    }
    std::string CopyFailure(const char* name, IoError error) const {
        Cause cause = CauseText(error);
        return Line({text::kCopyUnwritable, Path("tessiva/h/b/") + name, cause.text, cause.systemWords, cause.close});
    }

    fs::path root;
    disk::FlushCalls saved;
    FlushScene flushScene;
    RunTally tally;
    std::string out;
    std::string err;
};

using Names = std::vector<std::string>;

// A disk flush that fails confirms nothing: each file is flushed on its own,
// and only the thread whose own flush fails is reported, with nothing of it
// left; the others are named, and the lines come in the threads' order.
TEST_F(Commit, AFailedFlushFailsItsThreadAloneAndLeavesNothingOfIt) {
    flushScene.diskFlushFails = true;
    flushScene.fileFlushFails = {{2, IoError(IoError::Other, 5)}};
    EXPECT_EQ(ConvertAndCommit(root / "tessiva"), (Names{"1.dat", "1.idx", "3.dat", "3.idx"}));
    EXPECT_EQ(out, Progress("1.dat") + Completion("1") + Progress("2.dat") + Progress("3.dat") + Completion("3"));
    EXPECT_EQ(err, CopyFailure("2.dat", IoError(IoError::Other, 5)));
    EXPECT_EQ(tally.migrated, 2);
    EXPECT_EQ(tally.failed, 1);
    EXPECT_TRUE(tally.disks.GoOn());
}

// A copy whose move into place fails (its place is a folder) is reported and
// removed; what was at its place stays, and no index stands for it.
TEST_F(Commit, AMoveThatFailsLeavesWhatWasAtThePlace) {
    fs::create_directories(root / "tessiva" / "h" / "b" / "2.dat" / "kept");
    EXPECT_EQ(ConvertAndCommit(root / "tessiva"), (Names{"1.dat", "1.idx", "3.dat", "3.idx"}));
    EXPECT_TRUE(fs::is_directory(root / "tessiva" / "h" / "b" / "2.dat" / "kept"));
    EXPECT_EQ(err.compare(0, std::string(text::kCopyUnwritable).size(), text::kCopyUnwritable), 0) << err;
    EXPECT_EQ(tally.failed, 1);
}

// The destination's disk going away at the second thread's flush stops the
// commit there: that thread alone is reported, no index is named, and the
// copies are left without one, for the next run to write again; the records
// stay under their temporary names, which the next run removes.
TEST_F(Commit, TheDiskGoneAtAFlushNamesNoIndexAndReportsOneThread) {
    flushScene.diskFlushFails = true;
    flushScene.goneAt = 2;
    flushScene.fileFlushFails = {{2, IoError(IoError::Gone, 21)}};
    EXPECT_EQ(ConvertAndCommit(root / "tessiva-gone"),
              (Names{"1.dat", "1.idx.m2t-tmp", "2.dat", "2.idx.m2t-tmp", "3.dat", "3.idx.m2t-tmp"}));
    EXPECT_EQ(out, Progress("1.dat") + Progress("2.dat") + Progress("3.dat"));
    EXPECT_EQ(err, CopyFailure("2.dat", IoError(IoError::Gone, 21)));
    EXPECT_EQ(tally.disks.destination, Verdict::Gone);
    EXPECT_EQ(disk::EndOfRun(tally.disks, false), RunEnd::DestinationGone);
}

}  // namespace
