#include <gtest/gtest.h>

#include "thread/thread.h"

namespace {

TEST(LocateThread, DerivesIndexFileHostAndUrl) {
    ThreadLocations board = LocateThread("root/srv/news/1083456789.dat", "root");
    EXPECT_EQ(board.indexFile, "root/srv/news/1083456789.idx");
    EXPECT_EQ(board.host, "srv");
    EXPECT_EQ(board.threadPath, "/news/1083456789");
    EXPECT_EQ(board.url, "http://srv/test/read.cgi/news/1083456789/");

    ThreadLocations trailing = LocateThread("root///srv/news/1.dat", "root//");
    EXPECT_EQ(trailing.url, "http://srv/test/read.cgi/news/1/");

    EXPECT_EQ(LocateThread("r/h/1.dat", "r").url, "http://h/test/read.cgi/1/");
    EXPECT_EQ(LocateThread("r/h/a/b/9.dat", "r").url, "http://h/test/read.cgi/a/b/9/");
    ThreadLocations dotted = LocateThread("r/h/b/1.2.dat", "r");
    EXPECT_EQ(dotted.indexFile, "r/h/b/1.2.idx");
    EXPECT_EQ(dotted.url, "http://h/test/read.cgi/b/1.2/");
}

TEST(LocateThread, FileInTheRootHasNoHost) {
    EXPECT_FALSE(LocateThread("root/1.dat", "root").hasHost);
    EXPECT_FALSE(LocateThread("root//1.dat", "root/").hasHost);
    EXPECT_TRUE(LocateThread("root/h/1.dat", "root").hasHost);
}

}  // namespace
