// One thread's conversion: its locations, the copy, the index record.
#pragma once

#include <string>
#include <string_view>

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
// Writes the index file under a temporary name and moves it into place.
platform::IoError WriteIndexRecord(const std::string& indexFile, const ThreadSummary& summary);

ConvertResult ConvertThread(const std::string& sourceFile, const std::string& destinationFile,
                            const std::string& destinationRoot, RunTally& tally);

// Suffix of the files written before they are moved into place.
inline constexpr char kTemporarySuffix[] = ".m2t-tmp";
