// One thread's conversion: its locations, the copy, the index record.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "platform/platform.h"
#include "walk/walk.h"

struct ThreadLocations {
    std::string stem;
    std::string indexFile;
    std::string relativePath;
    std::string host;
    std::string threadPath;
    std::string url;
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
bool IsIndexed(const std::string& indexFile);

// What one written line says of its post's date and time, as views into the line.
// A line whose date field has no space gives neither; one whose date token is
// not of 8 or 10 bytes gives only the time.
struct PostDateTime {
    bool hasTime = false;
    bool hasDate = false;
    std::string_view date;
    std::string_view time;
};
PostDateTime ReadPostDateTime(std::string_view line);
void TakeDate(const PostDateTime& post, ThreadSummary& summary);
void TakeTime(const PostDateTime& post, ThreadSummary& summary);
// Takes the date and time of one written line into the summary, if it has them.
void CaptureDateTime(std::string_view line, ThreadSummary& summary);

// Last post's local date and time as an HTTP date in UTC, or "" when there is none.
std::string MakeModificationStamp(const std::string& lastPostDate, const std::string& lastPostTime);
// The bytes of an index file.
std::string FormatIndexRecord(const ThreadSummary& summary);
// Writes the index file so that it appears only complete: unnamed and then
// named where the platform can, else under a temporary name and then moved.
platform::IoError WriteIndexRecord(const std::string& indexFile, const ThreadSummary& summary);

// The read and write buffers of one thread's conversion, made once and used
// for every thread a lane converts, so a thread costs no allocation.
struct TransferBuffers {
    std::vector<char> reading;
    std::vector<char> writing = std::vector<char>(256 * 1024);
};

// What one thread's conversion needs from the run around it: buffers, a place
// for its console lines, and a way to wait until every thread before it in the
// walk is done, before it changes anything that was there before it.
class ThreadLane {
public:
    explicit ThreadLane(TransferBuffers& laneBuffers) : buffers(laneBuffers) {}
    virtual void Line(std::FILE* stream, std::initializer_list<platform::ConsolePiece> pieces) = 0;
    // False when a thread before it stopped the run; it must then change nothing.
    virtual bool WaitForTurn() = 0;
    TransferBuffers& buffers;

protected:
    ~ThreadLane() = default;
};

// A thread converted as far as it can be without changing what was there
// before: the copy is complete and closed, but not yet moved over an older
// file, and there is no index yet.
struct PreparedThread {
    enum class Stage { Settled, Copied, BrokenTitle };
    Stage stage = Stage::Settled;  // Settled: nothing is left to do
    RunTally tally;                // what it adds to the run's tally
    ThreadLocations locations;
    ThreadSummary summary;
    std::string writtenFile;
    std::string destinationFile;
};

void PrepareThread(const std::string& sourceFile, const std::string& destinationFile,
                   const std::string& destinationRoot, ThreadLane& lane, PreparedThread& prepared);
// Moves the copy into place, writes the index and adds to the tally.
ConvertResult CommitThread(PreparedThread& prepared, ThreadLane& lane, RunTally& tally);
// Undoes a prepared thread after an earlier one stopped the run: removes the
// copy it created where nothing was before.
void AbandonThread(PreparedThread& prepared);

// One thread from start to end, its console lines written straight out.
ConvertResult ConvertThread(const std::string& sourceFile, const std::string& destinationFile,
                            const std::string& destinationRoot, RunTally& tally);

// Suffix of the files written before they are moved into place.
inline constexpr char kTemporarySuffix[] = ".m2t-tmp";
