#include <cctype>
#include <climits>
#include <cstdio>
#include <ctime>

#include "thread/thread.h"

namespace {

// Reads a decimal integer the way scanf's %d does: leading white space, an
// optional sign, at least one digit. A value that does not fit an int fails.
bool ReadDecimal(const char*& cursor, int& value) {
    while (std::isspace(static_cast<unsigned char>(*cursor))) ++cursor;
    bool negative = *cursor == '-';
    if (*cursor == '-' || *cursor == '+') ++cursor;
    if (!std::isdigit(static_cast<unsigned char>(*cursor))) return false;
    long long magnitude = 0;
    while (std::isdigit(static_cast<unsigned char>(*cursor))) {
        magnitude = magnitude * 10 + (*cursor - '0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1) return false;
        ++cursor;
    }
    long long signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT_MAX) return false;
    value = static_cast<int>(signedValue);
    return true;
}

// Three integers with the given separator between them, as "%d/%d/%d" reads them.
bool ReadThreeNumbers(const std::string& text, char separator, int numbers[3]) {
    const char* cursor = text.c_str();
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (*cursor != separator) return false;
            ++cursor;
        }
        if (!ReadDecimal(cursor, numbers[i])) return false;
    }
    return true;
}

constexpr char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// The stamps the index format can hold: a 32-bit signed calendar time from 1970 on.
constexpr long long kLatestStamp = 2147483647LL;

}  // namespace

std::string MakeModificationStamp(const std::string& lastPostDate, const std::string& lastPostTime) {
    int date[3];
    int time[3];
    if (!ReadThreeNumbers(lastPostDate, '/', date) || !ReadThreeNumbers(lastPostTime, ':', time)) return "";
    if (date[0] < INT_MIN + 1900) return "";
    std::tm local{};
    local.tm_year = date[0] - 1900;
    local.tm_mon = date[1] - 1;
    local.tm_mday = date[2];
    local.tm_hour = time[0];
    local.tm_min = time[1];
    local.tm_sec = time[2];
    local.tm_isdst = 0;  // the post time is taken as standard time
    std::time_t moment = std::mktime(&local);
    long long seconds = static_cast<long long>(moment);
    if (seconds < 0 || seconds > kLatestStamp) return "";
    const std::tm* utc = std::gmtime(&moment);
    if (utc == nullptr) return "";
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[utc->tm_wday], utc->tm_mday,
                  kMonthNames[utc->tm_mon], utc->tm_year + 1900, utc->tm_hour, utc->tm_min, utc->tm_sec);
    return stamp;
}

std::string FormatIndexRecord(const ThreadSummary& summary) {
    std::string record = "10500\t";
    record += summary.title;
    record += "\n\t";
    record += summary.url;
    record += "\t";
    record += std::to_string(summary.postCount);
    record += "\t";
    record += summary.lastPostDate;
    record += " ";
    record += summary.lastPostTime;
    record += "\t----/--/-- --:--:--\t\t\t12700\t\t0\t0\t";
    record += MakeModificationStamp(summary.lastPostDate, summary.lastPostTime);
    record += "\t\t\t";
    return record;
}

using platform::IoError;

IoError WriteIndexRecord(const std::string& indexFile, const ThreadSummary& summary, disk::WrittenFile& index) {
    IoError error = disk::CreateWritten(indexFile, disk::Where::Beside, index);
    if (error != IoError::None) return error;
    std::string record = FormatIndexRecord(summary);
    error = platform::WriteAll(index.file, record.data(), record.size());
    if (error != IoError::None) disk::RollBack(index);
    return error;
}
