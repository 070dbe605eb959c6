// The file steps of a swap, each leaving nothing half-made under a name a
// launcher is started by: a copy is flushed before anything starts it, a
// failed copy is deleted, and the launcher's own name only ever changes by
// one rename.
#include "selfupdate/swap_internal.h"

#include "manifest/manifest.h"
#include "selfupdate/selfupdate.h"

#include <windows.h>

namespace {

const DWORD COPY_BLOCK_BYTES = 1 << 20;

}  // namespace

int swap_copy_flushed(const wchar_t *from, const wchar_t *to)
{
    HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;
    void *block = nullptr;
    int ok = 0;
    in = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        goto cleanup;
    out = CreateFileW(to, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        goto cleanup;
    block = HeapAlloc(GetProcessHeap(), 0, COPY_BLOCK_BYTES);
    if (!block)
        goto cleanup;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(in, block, COPY_BLOCK_BYTES, &got, nullptr))
            goto cleanup;
        if (got == 0)
            break;
        if (!WriteFile(out, block, got, &put, nullptr) || put != got)
            goto cleanup;
    }
    ok = FlushFileBuffers(out) != 0;

cleanup:
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
    if (in != INVALID_HANDLE_VALUE)
        CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) {
        CloseHandle(out);
        // A part of a launcher must not be mistaken for one.
        if (!ok)
            DeleteFileW(to);
    }
    return ok;
}

int swap_replace_patiently(const wchar_t *from, const wchar_t *to)
{
    for (int attempt = 0; attempt < SWAP_RENAME_ATTEMPTS; attempt++) {
        if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 1;
        Sleep(SWAP_RENAME_DELAY_MS);
    }
    return 0;
}

int swap_delete_patiently(const wchar_t *path)
{
    for (int attempt = 0; attempt < SWAP_RENAME_ATTEMPTS; attempt++) {
        if (DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND)
            return 1;
        Sleep(SWAP_RENAME_DELAY_MS);
    }
    return 0;
}

int swap_record_refusal(const wchar_t *folder, const uint8_t digest[SHA256_BYTES])
{
    LocalState state;
    state_load(&state, folder);
    state.has_refused_launcher = 1;
    memcpy(state.refused_launcher, digest, SHA256_BYTES);
    int saved = state_save(&state, folder) ? 1 : 0;
    state_free(&state);
    return saved;
}

void *swap_start_process(const wchar_t *application, wchar_t *command_line, unsigned long *pid,
                         void **thread)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(application, command_line, nullptr, nullptr, FALSE,
                        thread ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup, &process))
        return nullptr;
    if (pid)
        *pid = process.dwProcessId;
    if (thread)
        *thread = process.hThread;
    else
        CloseHandle(process.hThread);
    return process.hProcess;
}
