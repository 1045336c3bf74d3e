#include "run/progress.h"

#include "platform/console.h"
#include "platform/platform.h"
#include "texts/japanese.h"

namespace {

// The walk must have gone on this long before its rate says much.
constexpr std::uint64_t kEstimateAfter = 3000;
constexpr std::uint64_t kTitleInterval = 250;

// "1時間5分", "2分3秒" or "40秒".
std::string Duration(std::uint64_t seconds) {
    if (seconds >= 3600) {
        return std::to_string(seconds / 3600) + text::kHours + std::to_string(seconds % 3600 / 60) + text::kMinutes;
    }
    if (seconds >= 60) return std::to_string(seconds / 60) + text::kMinutes + std::to_string(seconds % 60) + text::kSeconds;
    return std::to_string(seconds) + text::kSeconds;
}

// The time left, rounded as a person would say it: up to ten seconds under a
// minute, else to the minute.
std::string TimeLeft(std::uint64_t seconds) {
    if (seconds <= 50) return std::to_string(seconds <= 10 ? 10 : (seconds + 9) / 10 * 10) + text::kSeconds;
    std::uint64_t minutes = (seconds + 30) / 60;
    if (minutes < 60) return std::to_string(minutes) + text::kMinutes;
    return Duration(minutes * 60);
}

// The threads counted, or those done where the tree gained threads since.
long long Counted(const RunProgress& progress, long long done) {
    return progress.threadsCounted < done ? done : progress.threadsCounted;
}

std::string Counts(long long done, long long counted) {
    return Grouped(done) + "/" + Grouped(counted) + text::kTitleThreads;
}

}  // namespace

std::uint64_t SpaceTaken(std::uint64_t size, std::uint64_t allocationUnit) {
    if (allocationUnit == 0) return size;
    return (size + allocationUnit - 1) / allocationUnit * allocationUnit;
}

std::string Grouped(long long number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

// As Explorer shows a size: below 1 KB in bytes, else in the first unit of
// 1,024 that keeps it below 1,000, with three figures cut, not rounded.
std::string SizeText(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + text::kBytes;
    const char* units[] = {" KB", " MB", " GB", " TB", " PB"};
    std::size_t unit = 0;
    std::uint64_t scale = 1024;
    while (unit < 4 && bytes / scale >= 1000) {
        ++unit;
        scale *= 1024;
    }
    std::uint64_t whole = bytes / scale;
    std::uint64_t hundredths = bytes % scale * 100 / scale;
    std::string figures = std::to_string(whole);
    if (whole < 10) {
        figures += "." + std::to_string(hundredths / 10) + std::to_string(hundredths % 10);
    } else if (whole < 100) {
        figures += "." + std::to_string(hundredths / 10);
    }
    return figures + units[unit];
}

std::string RunningTitle(const RunProgress& progress, long long done, std::uint64_t now) {
    long long counted = Counted(progress, done);
    long long share = counted == 0 ? 100 : done * 100 / counted;
    std::string title = text::kTitleName + Counts(done, counted) + " (" + std::to_string(share) + "%)";
    std::uint64_t spent = now - progress.walkStartedAt;
    if (spent >= kEstimateAfter && progress.bytesCopied > 0 && progress.bytesCounted > progress.bytesMet) {
        double left = static_cast<double>(progress.bytesCounted - progress.bytesMet) * static_cast<double>(spent) /
                      static_cast<double>(progress.bytesCopied) / 1000.0;
        title += text::kTitleLeft + TimeLeft(static_cast<std::uint64_t>(left));
    }
    return title;
}

std::string EndTitle(const RunProgress& progress, RunEnd end, std::uint64_t now) {
    const char* ending = end == RunEnd::Complete        ? text::kTitleComplete
                         : end == RunEnd::BrokenLog     ? text::kTitleStopped
                         : end == RunEnd::DestinationFull ? text::kTitleFull
                                                         : text::kTitleGone;
    return text::kTitleName + std::string(ending) +
           Counts(progress.threadsMet, Counted(progress, progress.threadsMet)) + text::kTitleTook +
           Duration((now - progress.startedAt) / 1000);
}

void NoteThreadMet(RunProgress& progress, std::uint64_t size, bool passedOver) {
    if (!progress.shown) return;
    ++progress.threadsMet;
    progress.bytesMet += size;
    if (!passedOver) progress.bytesCopied += size;
}

void ShowProgress(RunProgress& progress, long long pending) {
    if (!progress.shown) return;
    std::uint64_t now = platform::Milliseconds();
    if (now - progress.shownAt < kTitleInterval) return;
    progress.shownAt = now;
    platform::SetTitle(RunningTitle(progress, progress.threadsMet - pending, now));
}
