// The Windows calls that Wine lacks or cannot show every answer of: the flush
// without the disk's cache, the volume's file system, the writes of the
// console's stream, the disk's space, the opening of files, a folder's final
// path, a file's identity, the move into place, the system's words for an
// error. They are kept in one table that the tests fill with stand-ins, so
// that each of their answers runs in a test.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {

// The I/O status block of the native calls; MinGW's headers do not declare it.
struct FlushStatusBlock {
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};

struct WindowsCalls {
    // NtFlushBuffersFileEx, from Windows 8 on; null where ntdll.dll lacks it.
    LONG(NTAPI* flushBuffersFileEx)(HANDLE, ULONG, void*, ULONG, FlushStatusBlock*);
    BOOL(WINAPI* getVolumeInformationByHandleW)(HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD);
    BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* getDiskFreeSpaceExW)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    BOOL(WINAPI* getDiskFreeSpaceW)(LPCWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD);
    HANDLE(WINAPI* createFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    DWORD(WINAPI* getFinalPathNameByHandleW)(HANDLE, LPWSTR, DWORD, DWORD);
    BOOL(WINAPI* getFileInformationByHandleEx)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    BOOL(WINAPI* getFileInformationByHandle)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
    BOOL(WINAPI* moveFileExW)(LPCWSTR, LPCWSTR, DWORD);
    DWORD(WINAPI* formatMessageW)(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*);
    BOOL(WINAPI* writeConsoleW)(HANDLE, const VOID*, DWORD, LPDWORD, LPVOID);
};

// NtFlushBuffersFileEx's flag that writes a file's data and metadata without
// flushing the disk's own cache (FLUSH_FLAGS_NO_SYNC).
constexpr ULONG kFlushWithoutDiskCache = 2;

// The calls in use: the system's own, unless a test put others in their place.
WindowsCalls& Calls();

// The class of failure a Windows error code is.
IoError FromWindowsError(DWORD code);

// The program's arguments from its command line, read as the C runtime reads
// it, except that a backslash before a quote that ends an argument is a
// backslash: no path holds a quote, and PowerShell 5.1 passes a folder that
// ends in a backslash and holds a space as "D:\Morvo Log\". The first is
// the program's name.
std::vector<std::string> ArgumentsOf(std::wstring_view commandLine);
std::vector<std::string> CommandLineArguments();

// Writes the text to the console, in parts that every Windows takes.
void WriteConsoleInParts(HANDLE console, std::wstring_view text);

// Paths and names are UTF-8 inside the tool, and UTF-16 for the system; an
// unpaired surrogate, which a Windows name may hold, is kept both ways.
void AppendUtf8(std::wstring_view wide, std::string& utf8);
std::wstring WideOf(std::string_view utf8);
// ASCII, which most names are, is the same in UTF-8, UTF-16's code units and Shift_JIS.
inline bool IsAscii(std::string_view text) {
    for (char byte : text) {
        if (static_cast<unsigned char>(byte) >= 0x80) return false;
    }
    return true;
}

}  // namespace platform
