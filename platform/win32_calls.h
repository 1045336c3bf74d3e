// The Windows calls behind a group's flush and the names that follow it, kept
// in one table that the tests fill with stand-ins, so that every way a flush
// can go runs in a test, also where Wine lacks a call.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace platform {

// The I/O status block of the native calls; MinGW's headers do not declare it.
struct FlushStatusBlock {
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};

struct WindowsFlushCalls {
    // NtFlushBuffersFileEx, from Windows 8 on; null where ntdll.dll lacks it.
    LONG(NTAPI* flushBuffersFileEx)(HANDLE, ULONG, void*, ULONG, FlushStatusBlock*);
    BOOL(WINAPI* flushFileBuffers)(HANDLE);
    BOOL(WINAPI* getVolumeInformationByHandleW)(HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD);
    DWORD(WINAPI* getFinalPathNameByHandleW)(HANDLE, LPWSTR, DWORD, DWORD);
    BOOL(WINAPI* moveFileExA)(LPCSTR, LPCSTR, DWORD);
};

// NtFlushBuffersFileEx's flag that writes a file's data and metadata without
// flushing the disk's own cache (FLUSH_FLAGS_NO_SYNC).
constexpr ULONG kFlushWithoutDiskCache = 2;

// The calls in use: the system's own, unless a test put others in their place.
WindowsFlushCalls& FlushCalls();

}  // namespace platform
