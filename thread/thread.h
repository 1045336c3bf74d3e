// One thread's conversion: its locations, the copy, the index record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/written_file.h"
#include "platform/platform.h"
#include "run/lines.h"
#include "run/run.h"

struct ThreadLocations {
    std::string stem;
    std::string indexFile;
    std::string relativePath;
    std::string host;
    std::string threadPath;
    std::string url;       // made of the folder names as the file system gives them
    std::string indexUrl;  // the same in Shift_JIS, as the index holds it
    bool hasHost = false;  // false for a thread file directly in the root
};

struct ThreadSummary {
    std::string title;
    std::string url;
    long long postCount = 0;
    std::string lastPostDate;
    std::string lastPostTime;
};

// Longest title a thread may have; a longer one marks a broken log.
constexpr std::size_t kTitleLimit = 101;

ThreadLocations LocateThread(const std::string& destinationFile, const std::string& destinationRoot);
// The copy's path cut at its last ".", and the index file beside it.
std::string_view StemOf(const std::string& destinationFile);
std::string IndexFileOf(const std::string& destinationFile);
bool IsIndexed(const std::string& indexFile);

// What one written line says of its post's date and time, read as the line's
// bytes come, in pieces of any size, keeping no more of them than a date and
// a time. A line whose date field has no space gives neither; one whose date
// token is not of 8 or 10 bytes gives only the time.
class PostDateTime {
public:
    static constexpr std::size_t kMarkSize = 8;

    // The next bytes of the line.
    void Read(std::string_view bytes);

    bool hasTime() const { return hasTime_; }
    bool hasDate() const { return hasDate_; }
    std::string_view date() const { return std::string_view(date_, hasDate_ ? dateSize_ : 0); }
    std::string_view time() const { return std::string_view(time_, timeSize_); }

private:
    static constexpr std::size_t kDateCapacity = 10;
    static constexpr std::size_t kTimeCapacity = 63;
    // In the order the line meets them: the third field, between the second
    // and the third "<>", is the date field.
    enum class Phase : unsigned char { FirstSeparator, SecondSeparator, DateToken, TimeToken, FieldRest, Done };

    void TakeFieldByte(char byte);
    Phase EndField();

    Phase phase_ = Phase::FirstSeparator;
    bool afterLt_ = false;       // the last byte read was a '<' that may begin "<>"
    bool closingSoFar_ = true;   // the line's first bytes are those of the closing line's mark
    bool dateHasTab_ = false;
    bool hasTime_ = false;
    bool hasDate_ = false;
    std::size_t markSeen_ = 0;
    std::size_t dateSize_ = 0;  // counted up to one past the capacity: any longer token is no date
    std::size_t timeSize_ = 0;
    char date_[kDateCapacity];
    char time_[kTimeCapacity];
};
PostDateTime ReadPostDateTime(std::string_view line);
void TakeDate(const PostDateTime& post, ThreadSummary& summary);
void TakeTime(const PostDateTime& post, ThreadSummary& summary);

// Last post's local date and time as an HTTP date in UTC, or "" when there is none.
std::string MakeModificationStamp(const std::string& lastPostDate, const std::string& lastPostTime);
// The bytes of an index file.
std::string FormatIndexRecord(const ThreadSummary& summary);
// Writes the index record under its temporary name, and leaves it open so
// that the group's flush can reach it; nothing of it is left when this fails.
// Its commit replaces what is at its place, which counts as no index.
platform::IoError WriteIndexRecord(const std::string& indexFile, const ThreadSummary& summary,
                                   disk::WrittenFile& index);

// The line buffer of a run, made once and used for every thread, so a thread
// costs no allocation.
struct TransferBuffers {
    std::vector<char> lines;
};

// How the copy of one thread's lines ended.
struct CopyResult {
    bool brokenTitle = false;
    platform::IoError readError = platform::IoError::None;
    platform::IoError writeError = platform::IoError::None;
};

// Copies the lines of two bytes or more from the source into the copy, each
// ended by LF alone, and gathers the title, the post count and the last
// post's date and time. Stops at the first failed read or write, and after a
// broken title, when the copy holds the first line only.
CopyResult CopyLines(platform::FileHandle source, platform::FileHandle copy, TransferBuffers& buffers,
                     ThreadSummary& summary);

// A thread whose copy and index record are written, waiting in its group for
// the flush that lets them be named.
struct PendingThread {
    disk::WrittenFile copy;  // still open, for the flush; its place is the thread's destination file
    disk::WrittenFile index;
    std::size_t stemHash;  // of StemOf(copy.place), to find another thread with its index quickly
    std::string title;  // for its completion line, shown once it is committed
    std::string url;
    std::size_t heldFrom;  // the group's held lines from this one on follow this thread's own line
};

// Threads whose copies and index records are written and not yet known to be
// durable. A group commits as one: every copy and record made durable with as
// few flushes of the disk as the platform allows, then the replaced copies
// moved into place, then the indices named, then the console lines of its
// threads written. It is bounded by threads and bytes, never by time, so that
// a tree gives the same groups, and the same system calls, in every run.
struct ThreadGroup {
    std::vector<PendingThread> threads;
    HeldLines held;  // the lines made since its first thread joined it
    std::uint64_t sourceBytes = 0;
    long long commits = 0;
};
// Threads in a group, each holding its copy and its index record open (fewer
// where the system allows fewer open files); and the bytes after which the
// lines of a group reach the console, and its indices the disk.
constexpr std::size_t kGroupThreads = 384;
constexpr std::uint64_t kGroupBytes = 24 << 20;

// Makes the group's copies and index records durable, moves the replaced
// copies into place, names the indices, and then writes the held console lines with each thread's
// completion or failure line in its place. Leaves the group empty.
void CommitGroup(ThreadGroup& group, RunTally& tally);

// One thread from its progress line until its copy and index record are
// written: passes over a thread already indexed, writes both and puts the
// thread into the group,
// which is committed when full; reports every failure. Abort only after a
// broken title, with the group still to be committed.
ConvertResult ConvertThread(const std::string& sourceFile, const std::string& destinationFile,
                            const std::string& destinationRoot, TransferBuffers& buffers, ThreadGroup& group,
                            RunTally& tally);

