// The Windows floor of the benchmark: walks a log tree as the converter does
// and makes only the file operations a durable conversion needs there, with
// no line work. For every folder it creates the mirrored folder; for every
// *.dat file it looks for the index, opens the source, creates the copy,
// reads and writes every byte in blocks of the converter's size, flushes the
// copy, writes the index under a temporary name, flushes it and moves it to
// its name. Built by bench/run.py with MinGW-w64 and run under Wine.
//
//     floor_win32 SOURCE DESTINATION
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBlockSize = 256 * 1024;
constexpr char kRecord[] =
    "10500\tTitle\n\thttp://h/test/read.cgi/b/1/\t1\t2004/05/10 12:34:56\t----/--/-- --:--:--\t\t\t12700\t\t0\t0\t"
    "Mon, 10 May 2004 03:34:56 GMT\t\t\t";

bool WriteAll(HANDLE file, const char* data, DWORD size) {
    while (size > 0) {
        DWORD put = 0;
        if (!WriteFile(file, data, size, &put, nullptr) || put == 0) return false;
        data += put;
        size -= put;
    }
    return true;
}

bool IsThreadFile(const char* name) {
    std::size_t length = std::strlen(name);
    return length >= 4 && _stricmp(name + length - 4, ".dat") == 0;
}

HANDLE Create(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool CopyThread(const std::string& source, const std::string& destination, std::vector<char>& buffer) {
    std::string indexFile = destination.substr(0, destination.rfind('.')) + ".idx";
    if (GetFileAttributesA(indexFile.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    HANDLE input = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (input == INVALID_HANDLE_VALUE) return false;
    HANDLE output = Create(destination);
    bool copied = output != INVALID_HANDLE_VALUE;
    while (copied) {
        DWORD got = 0;
        if (!ReadFile(input, buffer.data(), kBlockSize, &got, nullptr)) copied = false;
        if (got == 0) break;
        copied = WriteAll(output, buffer.data(), got);
    }
    if (output != INVALID_HANDLE_VALUE) copied = FlushFileBuffers(output) && CloseHandle(output) && copied;
    CloseHandle(input);
    std::string temporary = indexFile + ".tmp";
    HANDLE index = Create(temporary);
    if (index == INVALID_HANDLE_VALUE) return false;
    copied = WriteAll(index, kRecord, sizeof kRecord - 1) && FlushFileBuffers(index) && copied;
    copied = CloseHandle(index) && copied;
    return MoveFileExA(temporary.c_str(), indexFile.c_str(), MOVEFILE_REPLACE_EXISTING) && copied;
}

// The thread files of a folder first, then each subfolder, as the converter walks.
bool CopyTree(const std::string& source, const std::string& destination, std::vector<char>& buffer) {
    bool ok = true;
    for (bool folders : {false, true}) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((source + "\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return false;
        do {
            if (std::strcmp(found.cFileName, ".") == 0 || std::strcmp(found.cFileName, "..") == 0) continue;
            bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            std::string childSource = source + "\\" + found.cFileName;
            std::string childDestination = destination + "\\" + found.cFileName;
            if (folders && isFolder) {
                CreateDirectoryA(childDestination.c_str(), nullptr);
                ok = CopyTree(childSource, childDestination, buffer) && ok;
            } else if (!folders && !isFolder && IsThreadFile(found.cFileName)) {
                ok = CopyThread(childSource, childDestination, buffer) && ok;
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor_win32 SOURCE DESTINATION\n");
        return 2;
    }
    std::vector<char> buffer(kBlockSize);
    return CopyTree(argv[1], argv[2], buffer) ? 0 : 1;
}
