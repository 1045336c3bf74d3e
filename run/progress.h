// How far a run is, shown in the console's title: the threads and bytes the
// walk will meet, counted before it starts, and those it has met.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RunProgress {
    bool shown = false;  // there is a title to show it in; else nothing is counted
    bool countToConvert = false;  // the dialogue's count: it also looks for each thread's index
    long long threadsToConvert = 0;  // of those counted, the threads without an index
    std::uint64_t bytesToConvert = 0;
    std::uint64_t allocationUnit = 0;  // of the destination's disk, for the space the dialogue counts; 0 unknown
    std::uint64_t spaceToConvert = 0;  // what their copies, indices and new folders take there
    long long threadsCounted = 0;
    std::uint64_t bytesCounted = 0;
    long long threadsMet = 0;                // handed to the conversion so far
    std::uint64_t bytesMet = 0;
    std::uint64_t bytesCopied = 0;  // of the threads met that were not passed over
    std::uint64_t startedAt = 0;    // milliseconds, at the count
    std::uint64_t walkStartedAt = 0;
    std::uint64_t shownAt = 0;
};

// The bytes a file of `size` bytes takes on a disk that allocates in units of
// `allocationUnit` (0 when that is unknown).
std::uint64_t SpaceTaken(std::uint64_t size, std::uint64_t allocationUnit);
// The most an index record takes, for the space a thread will need.
constexpr std::uint64_t kIndexBytes = 512;

// 1234567 as "1,234,567".
std::string Grouped(long long number);
// A size as Explorer shows it: "532 バイト", "1.30 KB", "22.9 KB", "750 MB".
std::string SizeText(std::uint64_t bytes);

// The title while the walk goes on, with `done` threads whose lines are out:
// the threads done and counted, the share done and, once the walk has gone
// on for a few seconds, the time left, from the bytes copied and the time
// spent. Shift_JIS text.
std::string RunningTitle(const RunProgress& progress, long long done, std::uint64_t now);
// How a run ended: the walk to its end, or stopped at a broken title, at a
// full destination, or where one side's disk no longer answered.
enum class RunEnd { Complete, BrokenLog, DestinationFull, DestinationGone, SourceGone };
// The title when the walk has ended, or stopped at a broken title, a full
// destination or a disk that no longer answered: the threads met and
// counted and the time the run took.
std::string EndTitle(const RunProgress& progress, RunEnd end, std::uint64_t now);

// Counts the threads met and their bytes; shows the title, at most a few
// times a second, with the threads met less those still pending.
void NoteThreadMet(RunProgress& progress, std::uint64_t size, bool passedOver);
void ShowProgress(RunProgress& progress, long long pending);
