#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "thread/thread.h"

namespace {

void SetZone(const char* zone) {
#ifdef _WIN32
    _putenv_s("TZ", zone);
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
}

TEST(ModificationStamp, ConvertsLocalStandardTimeToUtc) {
    SetZone("JST-9");
    EXPECT_EQ(MakeModificationStamp("2004/05/10", "12:34:59"), "Mon, 10 May 2004 03:34:59 GMT");
    EXPECT_EQ(MakeModificationStamp("2004/05/10", "23:30:59"), "Mon, 10 May 2004 14:30:59 GMT");
    EXPECT_EQ(MakeModificationStamp("2004/05/10", "05:06:07"), "Sun, 09 May 2004 20:06:07 GMT");
    EXPECT_EQ(MakeModificationStamp("2004/05/10", "12:34:56.78"), "Mon, 10 May 2004 03:34:56 GMT");
    EXPECT_EQ(MakeModificationStamp("2004/02/30", "00:00:00"), "Sun, 29 Feb 2004 15:00:00 GMT");
    // Summer dates are still read as standard time.
    SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(MakeModificationStamp("2010/07/01", "12:00:00"), "Thu, 01 Jul 2010 11:00:00 GMT");
    EXPECT_EQ(MakeModificationStamp("2010/01/01", "12:00:00"), "Fri, 01 Jan 2010 11:00:00 GMT");
    SetZone("JST-9");
}

TEST(ModificationStamp, EmptyOutsideTheRangeOrWithoutNumbers) {
    SetZone("UTC0");
    EXPECT_EQ(MakeModificationStamp("1970/01/01", "00:00:00"), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(MakeModificationStamp("2038/01/19", "03:14:07"), "Tue, 19 Jan 2038 03:14:07 GMT");
    EXPECT_EQ(MakeModificationStamp("2038/01/19", "03:14:08"), "");
    EXPECT_EQ(MakeModificationStamp("1969/12/31", "23:59:59"), "");
    EXPECT_EQ(MakeModificationStamp("2099/12/31", "12:00:00"), "");
    EXPECT_EQ(MakeModificationStamp("", ""), "");
    EXPECT_EQ(MakeModificationStamp("2004/05/10", "12:34"), "");
    EXPECT_EQ(MakeModificationStamp("20ab/05/10", "12:34:56"), "");
    EXPECT_EQ(MakeModificationStamp("2004/05/10", "12:34:99999999999"), "");
    SetZone("JST-9");
}

TEST(IndexRecord, HasEveryFieldInPlace) {
    SetZone("JST-9");
    ThreadSummary summary{"Title", "http://srv/test/read.cgi/news/1/", 57, "2004/05/10", "12:34:59"};
    EXPECT_EQ(FormatIndexRecord(summary),
              "10500\tTitle\n\thttp://srv/test/read.cgi/news/1/\t57\t2004/05/10 12:34:59"
              "\t----/--/-- --:--:--\t\t\t12700\t\t0\t0\tMon, 10 May 2004 03:34:59 GMT\t\t\t");
    ThreadSummary empty{"", "http://h/test/read.cgi/1/", 0, "", ""};
    EXPECT_EQ(FormatIndexRecord(empty),
              "10500\t\n\thttp://h/test/read.cgi/1/\t0\t \t----/--/-- --:--:--\t\t\t12700\t\t0\t0\t\t\t\t");
}

}  // namespace
