// Feeds arbitrary lines to the date and time capture and the stamp.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/capture_date_time.h"
#include "thread/thread.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    ThreadSummary summary;
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        CaptureDateTime(std::string_view(input).substr(start, end - start), summary);
        start = end + 1;
    }
    bool dateOk = summary.lastPostDate.empty() || summary.lastPostDate.size() == 10;
    bool timeOk = summary.lastPostTime.size() <= 63;
    std::string stamp = MakeModificationStamp(summary.lastPostDate, summary.lastPostTime);
    std::string direct = MakeModificationStamp(input.substr(0, input.find('\t')), input.substr(input.find('\t') + 1));
    bool stampOk = (stamp.empty() || (stamp.size() == 29 && stamp.compare(25, 4, " GMT") == 0)) &&
                   (direct.empty() || direct.size() == 29);
    if (!dateOk || !timeOk || !stampOk) {
        std::fprintf(stderr, "violated: date '%s' time '%s' stamp '%s'\n", summary.lastPostDate.c_str(),
                     summary.lastPostTime.c_str(), stamp.c_str());
        std::abort();
    }
    return 0;
}
