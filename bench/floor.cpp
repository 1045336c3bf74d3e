// The floor of the benchmark: walks a log tree as the converter does and makes
// only the file operations a conversion needs, with no line work. For every
// folder it creates the mirrored folder; for every *.dat file it looks for the
// index, opens the source, creates the copy, reads and writes every byte in
// blocks of the converter's size, closes both, and writes the index unnamed
// and names it. The durable floor (--durable) also makes each copy's bytes
// durable (fdatasync) before its index is named: the least a conversion can
// do and still leave no index beside a copy that a power cut could empty.
// POSIX (Linux) only; built by bench/run.py.
//
//     floor [--durable] SOURCE DESTINATION
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBlockSize = 256 * 1024;
constexpr char kRecord[] =
    "10500\tTitle\n\thttp://h/test/read.cgi/b/1/\t1\t2004/05/10 12:34:56\t----/--/-- --:--:--\t\t\t12700\t\t0\t0\t"
    "Mon, 10 May 2004 03:34:56 GMT\t\t\t";

bool WriteAll(int file, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t put = write(file, data, size);
        if (put <= 0) return false;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool IsThreadFile(const char* name) {
    std::size_t length = std::strlen(name);
    return length >= 4 && std::strcmp(name + length - 4, ".dat") == 0;
}

bool durable = false;

bool CopyThread(const std::string& source, const std::string& destination, std::vector<char>& buffer) {
    std::string indexFile = destination.substr(0, destination.rfind('.')) + ".idx";
    int index = open(indexFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (index >= 0) return close(index) == 0;
    int input = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) return false;
    int output = open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    bool copied = output >= 0;
    while (copied) {
        ssize_t got = read(input, buffer.data(), buffer.size());
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        copied = WriteAll(output, buffer.data(), static_cast<std::size_t>(got));
    }
    if (output >= 0 && durable) copied = fdatasync(output) == 0 && copied;
    if (output >= 0) copied = close(output) == 0 && copied;
    close(input);
    std::string folder = destination.substr(0, destination.rfind('/') + 1);
    int unnamed = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (unnamed < 0) return false;
    copied = WriteAll(unnamed, kRecord, sizeof kRecord - 1) && copied;
    std::string opened = "/proc/self/fd/" + std::to_string(unnamed);
    copied = linkat(AT_FDCWD, opened.c_str(), AT_FDCWD, indexFile.c_str(), AT_SYMLINK_FOLLOW) == 0 && copied;
    return close(unnamed) == 0 && copied;
}

// The thread files of a folder first, then each subfolder, as the converter walks.
bool CopyTree(const std::string& source, const std::string& destination, std::vector<char>& buffer) {
    bool ok = true;
    for (bool folders : {false, true}) {
        DIR* directory = opendir(source.c_str());
        if (directory == nullptr) return false;
        while (struct dirent* entry = readdir(directory)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            bool isFolder = entry->d_type == DT_DIR;
            std::string childSource = source + "/" + entry->d_name;
            std::string childDestination = destination + "/" + entry->d_name;
            if (folders && isFolder) {
                mkdir(childDestination.c_str(), 0777);
                ok = CopyTree(childSource, childDestination, buffer) && ok;
            } else if (!folders && !isFolder && IsThreadFile(entry->d_name)) {
                ok = CopyThread(childSource, childDestination, buffer) && ok;
            }
        }
        closedir(directory);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    durable = argc == 4 && std::strcmp(argv[1], "--durable") == 0;
    if (argc != 3 + durable) {
        std::fprintf(stderr, "usage: floor [--durable] SOURCE DESTINATION\n");
        return 2;
    }
    argv += durable;
    std::vector<char> buffer(kBlockSize);
    return CopyTree(argv[1], argv[2], buffer) ? 0 : 1;
}
