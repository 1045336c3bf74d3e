// Takes the date and time of one whole written line into the summary, if it
// has them, as the line filter does: for the tests and fuzz targets that give
// lines one at a time.
#pragma once

#include <string_view>

#include "thread/thread.h"

inline void CaptureDateTime(std::string_view line, ThreadSummary& summary) {
    PostDateTime post = ReadPostDateTime(line);
    if (!post.hasTime()) return;
    if (post.hasDate()) TakeDate(post, summary);
    TakeTime(post, summary);
}
