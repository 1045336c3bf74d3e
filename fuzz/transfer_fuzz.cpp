// Feeds arbitrary bytes to one thread's conversion and checks what must always
// hold of the copy, the post count, the title and the index file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/capture_date_time.h"
#include "thread/thread.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

// The lines of the input as text mode reads them, kept when two bytes or more.
std::vector<std::string> ExpectedLines(const std::string& input) {
    std::string text;
    for (std::size_t i = 0; i < input.size() && input[i] != '\x1a'; ++i) {
        bool crBeforeLf = input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n';
        if (!crBeforeLf) text += input[i];
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        line = line.substr(0, line.find('\0'));
        if (line.size() >= 2) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "violated: %s\n", what);
        std::abort();
    }
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string folder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where the system has it: every conversion flushes its copy to the disk.
    char pattern[] = "/dev/shm/transfer-fuzz-XXXXXX";
    char fallback[] = "/tmp/transfer-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    folder = made != nullptr ? made : mkdtemp(fallback);
    std::string board = folder + "/dst/h";
    std::system(("mkdir -p " + board + " " + folder + "/src").c_str());
    std::freopen("/dev/null", "w", stdout);
    std::atexit([] { std::system(("rm -rf " + folder).c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string source = folder + "/src/1.dat";
    std::string destination = folder + "/dst/h/1.dat";
    std::string indexFile = folder + "/dst/h/1.idx";
    std::ofstream(source, std::ios::binary) << input;
    std::remove(destination.c_str());
    std::remove(indexFile.c_str());

    RunTally tally;
    // A small buffer, so that lines straddle many block edges.
    TransferBuffers buffers;
    buffers.lines.resize(65 + size % 61);
    ThreadGroup group;
    ConvertResult result = ConvertThread(source, destination, folder + "/dst", buffers, group, tally);
    CommitGroup(group, tally);
    std::vector<std::string> lines = ExpectedLines(input);
    std::string expectedCopy;
    for (const std::string& line : lines) expectedCopy += line + "\n";
    std::string copy = Slurp(destination);

    std::string title;
    if (!lines.empty() && lines[0].rfind('>') != std::string::npos) title = lines[0].substr(lines[0].rfind('>') + 1);
    if (result == Abort) {
        Require(title.size() >= 102, "only a title of 102 bytes or more stops the run");
        Require(copy == lines[0] + "\n", "a stopped thread keeps its first line");
        Require(access(indexFile.c_str(), F_OK) != 0, "a stopped thread has no index");
        return 0;
    }
    Require(title.size() <= 101, "a longer title stops the run");
    Require(copy == expectedCopy, "the copy is the kept lines, each ended by LF");
    std::string indexBytes = Slurp(indexFile);
    Require(indexBytes.find('\0') == std::string::npos, "no NUL in an index");
    std::vector<std::string> record = Split(indexBytes, '\n');
    Require(record.size() == 2, "an index has two lines");
    Require(record[0] == "10500\t" + title, "first line");
    std::vector<std::string> fields = Split(record[1], '\t');
    Require(fields.size() == 15, "fifteen fields");
    Require(fields[0].empty() && fields[1] == "http://h/test/read.cgi/1/", "url");
    Require(fields[2] == std::to_string(lines.size()), "post count");
    ThreadSummary perLine;
    for (const std::string& line : lines) CaptureDateTime(line, perLine);
    Require(fields[3] == perLine.lastPostDate + " " + perLine.lastPostTime, "date and time of the last posts");
    Require(fields[4] == "----/--/-- --:--:--" && fields[7] == "12700" && fields[9] == "0" && fields[10] == "0",
            "fixed values");
    Require(fields[5].empty() && fields[6].empty() && fields[8].empty() && fields[12].empty() &&
                fields[13].empty() && fields[14].empty(),
            "empty fields");
    Require(fields[11].empty() || fields[11].size() == 29, "stamp");
    return 0;
}
