// Forced into the test-only build of the file layer (CMakeLists.txt here):
// every file operation the worker, the downloader, the state file and the
// migration make goes through a counting wrapper, which tests arm to fail
// the Nth call with a chosen Windows error, or to end the process there.
// The shipped build never sees this header.
#pragma once

#include <windows.h>
#include <winternl.h>

extern "C" {
HANDLE WINAPI fault_CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file);
BOOL WINAPI fault_WriteFile(HANDLE file, LPCVOID bytes, DWORD length, LPDWORD written,
                            LPOVERLAPPED overlapped);
BOOL WINAPI fault_FlushFileBuffers(HANDLE file);
BOOL WINAPI fault_SetEndOfFile(HANDLE file);
BOOL WINAPI fault_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL WINAPI fault_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID info, DWORD size);
BOOL WINAPI fault_DeleteFileW(LPCWSTR name);
BOOL WINAPI fault_CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security);
BOOL WINAPI fault_RemoveDirectoryW(LPCWSTR name);
BOOL WINAPI fault_SetFileTime(HANDLE file, const FILETIME *created, const FILETIME *accessed,
                              const FILETIME *written);
// The native positioned write of the chunked rebuild, counted as a WriteFile.
NTSTATUS WINAPI fault_NtWriteFile(HANDLE file, HANDLE event, void *apc, void *apc_context,
                                  IO_STATUS_BLOCK *io, const void *buffer, ULONG length,
                                  LARGE_INTEGER *offset, ULONG *key);
}

#define CreateFileW fault_CreateFileW
#define WriteFile fault_WriteFile
#define FlushFileBuffers fault_FlushFileBuffers
#define SetEndOfFile fault_SetEndOfFile
#define MoveFileExW fault_MoveFileExW
#define SetFileInformationByHandle fault_SetFileInformationByHandle
#define DeleteFileW fault_DeleteFileW
#define CreateDirectoryW fault_CreateDirectoryW
#define RemoveDirectoryW fault_RemoveDirectoryW
#define SetFileTime fault_SetFileTime
#define NtWriteFile fault_NtWriteFile
