// The counting wrappers of fault_io.h. Calls come from several threads (the
// worker, its judging thread, the unpacking stream), so the count is
// interlocked; which call is the Nth may then differ run to run, which the
// runners allow for: they only ask that every N up to the pass's count is
// tried.
#include "fault_control.h"

#include <windows.h>
#include <winternl.h>

namespace {

enum Mode { OFF, FAIL, KILL };

volatile LONG g_calls = 0;
volatile LONG g_nth = 0;
volatile LONG g_mode = OFF;
DWORD g_error = 0;
volatile LONG g_fired = 0;
const char *g_fired_name = "";

// True when this call is the one to fail (its error is then set).
bool hit(const char *name)
{
    LONG n = InterlockedIncrement(&g_calls);
    if (g_mode == OFF || n != g_nth)
        return false;
    if (g_mode == KILL)
        TerminateProcess(GetCurrentProcess(), 86);
    g_fired_name = name;
    InterlockedExchange(&g_fired, 1);
    SetLastError(g_error);
    return true;
}

void reset(LONG mode, long nth, unsigned long error)
{
    InterlockedExchange(&g_mode, OFF);
    g_error = error;
    g_fired_name = "";
    InterlockedExchange(&g_fired, 0);
    InterlockedExchange(&g_nth, nth);
    InterlockedExchange(&g_calls, 0);
    InterlockedExchange(&g_mode, mode);
}

}  // namespace

namespace fault_io {

void arm_failure(long nth, unsigned long error) { reset(FAIL, nth, error); }
void arm_kill(long nth) { reset(KILL, nth, 0); }
void disarm() { reset(OFF, 0, 0); }
long calls() { return g_calls; }

bool fired(const char **call_name)
{
    if (call_name)
        *call_name = g_fired_name;
    return g_fired != 0;
}

}  // namespace fault_io

extern "C" {

HANDLE WINAPI fault_CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file)
{
    if (hit("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(name, access, share, security, disposition, flags, template_file);
}

BOOL WINAPI fault_WriteFile(HANDLE file, LPCVOID bytes, DWORD length, LPDWORD written,
                            LPOVERLAPPED overlapped)
{
    if (hit("WriteFile")) {
        if (written)
            *written = 0;
        return FALSE;
    }
    return WriteFile(file, bytes, length, written, overlapped);
}

extern "C" NTSTATUS WINAPI NtWriteFile(HANDLE file, HANDLE event, void *apc, void *apc_context,
                                      IO_STATUS_BLOCK *io, const void *buffer, ULONG length,
                                      LARGE_INTEGER *offset, ULONG *key);

NTSTATUS WINAPI fault_NtWriteFile(HANDLE file, HANDLE event, void *apc, void *apc_context,
                                  IO_STATUS_BLOCK *io, const void *buffer, ULONG length,
                                  LARGE_INTEGER *offset, ULONG *key)
{
    if (hit("WriteFile")) {
        io->Information = 0;
        return (NTSTATUS)0xC000007F;  // STATUS_DISK_FULL
    }
    return NtWriteFile(file, event, apc, apc_context, io, buffer, length, offset, key);
}

BOOL WINAPI fault_FlushFileBuffers(HANDLE file)
{
    return hit("FlushFileBuffers") ? FALSE : FlushFileBuffers(file);
}

BOOL WINAPI fault_SetEndOfFile(HANDLE file)
{
    return hit("SetEndOfFile") ? FALSE : SetEndOfFile(file);
}

BOOL WINAPI fault_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    return hit("MoveFileExW") ? FALSE : MoveFileExW(from, to, flags);
}

BOOL WINAPI fault_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID info, DWORD size)
{
    return hit("SetFileInformationByHandle") ? FALSE
                                             : SetFileInformationByHandle(file, kind, info, size);
}

BOOL WINAPI fault_DeleteFileW(LPCWSTR name)
{
    return hit("DeleteFileW") ? FALSE : DeleteFileW(name);
}

BOOL WINAPI fault_CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security)
{
    return hit("CreateDirectoryW") ? FALSE : CreateDirectoryW(name, security);
}

BOOL WINAPI fault_RemoveDirectoryW(LPCWSTR name)
{
    return hit("RemoveDirectoryW") ? FALSE : RemoveDirectoryW(name);
}

BOOL WINAPI fault_SetFileTime(HANDLE file, const FILETIME *created, const FILETIME *accessed,
                              const FILETIME *written)
{
    return hit("SetFileTime") ? FALSE : SetFileTime(file, created, accessed, written);
}

}  // extern "C"
