#include <gtest/gtest.h>

#include "tests/capture_date_time.h"
#include "thread/thread.h"

namespace {

ThreadSummary Capture(std::initializer_list<const char*> lines) {
    ThreadSummary summary;
    for (const char* line : lines) CaptureDateTime(line, summary);
    return summary;
}

TEST(CaptureDateTime, TakesDateAndTimeOfTheLatestPost) {
    ThreadSummary shortForms = Capture({"a<>b<>04/05/10 12:34<>text<>"});
    EXPECT_EQ(shortForms.lastPostDate, "2004/05/10");
    EXPECT_EQ(shortForms.lastPostTime, "12:34:59");

    ThreadSummary withId = Capture({"a<>b<>01/01/01 00:00<>x", "a<>b<>2004/05/10 12:34:56 ID:abc<>text"});
    EXPECT_EQ(withId.lastPostDate, "2004/05/10");
    EXPECT_EQ(withId.lastPostTime, "12:34:56");

    ThreadSummary weekday = Capture({"a<>b<>2004/05/10 12:34:56<>x", "a<>b<>2004/05/11(Tue) 08:00:00<>y"});
    EXPECT_EQ(weekday.lastPostDate, "2004/05/10");
    EXPECT_EQ(weekday.lastPostTime, "08:00:00");

    EXPECT_EQ(Capture({"a<>b<>99/12/31 23:59:59<>x"}).lastPostDate, "2099/12/31");
}

TEST(CaptureDateTime, IgnoresLinesWithoutTheFields) {
    ThreadSummary summary = Capture({"a<>b<>2004/05/10 12:34:56<>x", "a<>b<>2005/01/01 10:00:00",
                                     "a<>b<>2005/01/01<>x", "no separators",
                                     "\x82\x50\x82\x4f\x82\x4f\x82\x50<><>2006/01/01 01:01:01<>"});
    EXPECT_EQ(summary.lastPostDate, "2004/05/10");
    EXPECT_EQ(summary.lastPostTime, "12:34:56");

    ThreadSummary longTime = Capture({("a<>b<>2004/05/10 " + std::string(80, '9') + "<>x").c_str()});
    EXPECT_EQ(longTime.lastPostTime, std::string(63, '9'));
    EXPECT_EQ(Capture({"a<>b<>2004/05/10 <>x"}).lastPostTime, "");

    // Tabs never reach the index record's tab-separated fields.
    ThreadSummary tabs = Capture({"a<>b<>2004/05/10 12:34:56<>x", "a<>b<>04/05\t11 12:00\t99<>x"});
    EXPECT_EQ(tabs.lastPostDate, "2004/05/10");
    EXPECT_EQ(tabs.lastPostTime, "12:00:59");
}

}  // namespace
