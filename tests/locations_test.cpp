#include <gtest/gtest.h>

#include "thread/thread.h"

namespace {

// Writes a path with "/" and gives it with this platform's separator.
std::string P(std::string path) {
    for (char& byte : path) {
        if (byte == '/') byte = platform::kSeparator;
    }
    return path;
}

TEST(LocateThread, DerivesIndexFileHostAndUrl) {
    ThreadLocations board = LocateThread(P("root/srv/news/1083456789.dat"), P("root"));
    EXPECT_EQ(board.indexFile, P("root/srv/news/1083456789.idx"));
    EXPECT_EQ(board.host, "srv");
    EXPECT_EQ(board.threadPath, "/news/1083456789");
    EXPECT_EQ(board.url, "http://srv/test/read.cgi/news/1083456789/");

    // A root given with separators at its end gets no other one before the host.
    ThreadLocations trailing = LocateThread(P("root//srv/news/1.dat"), P("root//"));
    EXPECT_EQ(trailing.url, "http://srv/test/read.cgi/news/1/");

    EXPECT_EQ(LocateThread(P("r/h/1.dat"), P("r")).url, "http://h/test/read.cgi/1/");
    EXPECT_EQ(LocateThread(P("r/h/a/b/9.dat"), P("r")).url, "http://h/test/read.cgi/a/b/9/");
    ThreadLocations dotted = LocateThread(P("r/h/b/1.2.dat"), P("r"));
    EXPECT_EQ(dotted.indexFile, P("r/h/b/1.2.idx"));
    EXPECT_EQ(dotted.url, "http://h/test/read.cgi/b/1.2/");
}

TEST(LocateThread, FileInTheRootHasNoHost) {
    EXPECT_FALSE(LocateThread(P("root/1.dat"), P("root")).hasHost);
    EXPECT_FALSE(LocateThread(P("root/1.dat"), P("root/")).hasHost);
    EXPECT_TRUE(LocateThread(P("root/h/1.dat"), P("root")).hasHost);
}

}  // namespace
