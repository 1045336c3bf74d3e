#include <gtest/gtest.h>

#include "run/progress.h"

namespace {

// 5,000 threads of 200 MB; the walk started at 1 s and has copied 50 MB.
RunProgress Halfway() {
    RunProgress progress;
    progress.threadsCounted = 5000;
    progress.bytesCounted = 200000000;
    progress.walkStartedAt = 1000;
    progress.bytesMet = 50000000;
    progress.bytesCopied = 50000000;
    return progress;
}

TEST(RunningTitle, ShowsTheThreadsTheShareAndOnceTheRunHasGoneOnTheTimeLeft) {
    RunProgress progress = Halfway();
    // morvo2tessiva 1,234/5,000 スレッド (24%)
    EXPECT_EQ(RunningTitle(progress, 1234, 3999), "morvo2tessiva 1,234/5,000 \203X\203\214\203b\203h (24%)");
    // 40 s for 50 MB: 150 MB left take two minutes. morvo2tessiva 1,234/5,000 スレッド (24%) 残り約2分
    EXPECT_EQ(RunningTitle(progress, 1234, 41000),
              "morvo2tessiva 1,234/5,000 \203X\203\214\203b\203h (24%) \216c\202\350\226\3612\225\252");
    // 15 s left, said as 20. morvo2tessiva 4,990/5,000 スレッド (99%) 残り約20秒
    progress.bytesMet = 181250000;
    EXPECT_EQ(RunningTitle(progress, 4990, 41000),
              "morvo2tessiva 4,990/5,000 \203X\203\214\203b\203h (99%) \216c\202\350\226\36120\225b");
    // 55 s is said as a minute. morvo2tessiva 4,990/5,000 スレッド (99%) 残り約1分
    progress.bytesMet = 131250000;
    EXPECT_EQ(RunningTitle(progress, 4990, 41000),
              "morvo2tessiva 4,990/5,000 \203X\203\214\203b\203h (99%) \216c\202\350\226\3611\225\252");
    // morvo2tessiva 12/1,234,567 スレッド (0%) 残り約2時間3分
    progress.threadsCounted = 1234567;
    progress.bytesMet = 50000000;
    progress.bytesCounted = 9275000000;
    EXPECT_EQ(RunningTitle(progress, 12, 41000),
              "morvo2tessiva 12/1,234,567 \203X\203\214\203b\203h (0%) \216c\202\350\226\3612\216\236\212\3243\225\252");
}

TEST(EndTitle, SaysHowTheRunEndedAndHowLongItTook) {
    RunProgress progress = Halfway();
    progress.threadsMet = 5000;
    // morvo2tessiva 完了 5,000/5,000 スレッド 所要時間 1分23秒
    EXPECT_EQ(EndTitle(progress, RunEnd::Complete, 83999),
              "morvo2tessiva \212\256\227\271 5,000/5,000 \203X\203\214\203b\203h \217\212\227v\216\236\212\324 "
              "1\225\25223\225b");
    // morvo2tessiva 壊れたログで停止 1,234/5,000 スレッド 所要時間 1時間2分
    progress.threadsMet = 1234;
    EXPECT_EQ(EndTitle(progress, RunEnd::BrokenLog, 3725000),
              "morvo2tessiva \211\363\202\352\202\275\203\215\203O\202\305\222\342\216~ 1,234/5,000 "
              "\203X\203\214\203b\203h \217\212\227v\216\236\212\324 1\216\236\212\3242\225\252");
    // morvo2tessiva ディスクがいっぱいで停止 1,234/5,000 スレッド 所要時間 5秒
    EXPECT_EQ(EndTitle(progress, RunEnd::DestinationFull, 5000),
              "morvo2tessiva \203f\203B\203X\203N\202\252\202\242\202\301\202\317\202\242\202\305\222\342\216~ "
              "1,234/5,000 \203X\203\214\203b\203h \217\212\227v\216\236\212\324 5\225b");
}

// Threads that appeared after the count are counted as they come: the share
// never passes 100 %.
TEST(RunningTitle, NeverShowsMoreDoneThanCounted) {
    RunProgress progress = Halfway();
    // morvo2tessiva 7,000/7,000 スレッド (100%)
    EXPECT_EQ(RunningTitle(progress, 7000, 2000), "morvo2tessiva 7,000/7,000 \203X\203\214\203b\203h (100%)");
    progress.threadsMet = 7000;
    // morvo2tessiva 完了 7,000/7,000 スレッド 所要時間 1秒
    EXPECT_EQ(EndTitle(progress, RunEnd::Complete, 1000),
              "morvo2tessiva \212\256\227\271 7,000/7,000 \203X\203\214\203b\203h "
              "\217\212\227v\216\236\212\324 1\225b");
}

// Sizes as Explorer shows them, in the examples Microsoft gives for StrFormatByteSize.
TEST(SizeText, ShowsThreeFiguresInTheUnitThatFits) {
    EXPECT_EQ(SizeText(532), "532 \203o\203C\203g");  // 532 バイト
    EXPECT_EQ(SizeText(1340), "1.30 KB");
    EXPECT_EQ(SizeText(23506), "22.9 KB");
    EXPECT_EQ(SizeText(2400016), "2.28 MB");
    EXPECT_EQ(SizeText(2400000000), "2.23 GB");
}

}  // namespace
