// The installed copy's half of the hand-over: removing the first copy.
//
// The path comes from the command line, which anyone can write, so it is
// only trusted as far as it can be checked: the named file is deleted only
// when it is a regular file with the running launcher's size and SHA-256 and
// is not the running file itself. Anything else stays, logged as left in
// place, and costs no waiting.
#include "content/content.h"
#include "install/install.h"

#include <windows.h>

#include <shellapi.h>
#include <string.h>
#include <wchar.h>

namespace {

// 1 when both paths open and name one file (same volume and file index), and
// also when that cannot be told: a file that might be the running launcher
// is never deleted.
int may_be_same_file(const wchar_t *a, const wchar_t *b)
{
    BY_HANDLE_FILE_INFORMATION info[2];
    const wchar_t *paths[2] = {a, b};
    for (int i = 0; i < 2; i++) {
        HANDLE f = CreateFileW(paths[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE)
            return 1;
        BOOL ok = GetFileInformationByHandle(f, &info[i]);
        CloseHandle(f);
        if (!ok)
            return 1;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// 1 when `path` is a copy of the running launcher (and not the running file).
int is_launcher_copy(const wchar_t *path)
{
    wchar_t own[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS)
        return 0;
    uint64_t size = 0, own_size = 0;
    if (!file_info(path, &size, nullptr) || !file_info(own, &own_size, nullptr) ||
        size != own_size)
        return 0;
    if (may_be_same_file(path, own))
        return 0;
    uint8_t digest[SHA256_BYTES], own_digest[SHA256_BYTES];
    return sha256_file(path, digest) && sha256_file(own, own_digest) &&
           memcmp(digest, own_digest, SHA256_BYTES) == 0;
}

int is_missing_error(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// 1 when the first copy at `path` is gone (deleted now or missing already).
int remove_first_copy(const wchar_t *path)
{
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && is_missing_error(GetLastError()))
        return 1;
    if (!is_launcher_copy(path))
        return 0;
    // The first copy's process may still be ending and hold its file.
    for (int attempt = 1; attempt <= INSTALLED_FROM_ATTEMPTS; attempt++) {
        if (DeleteFileW(path) || is_missing_error(GetLastError()))
            return 1;
        if (attempt < INSTALLED_FROM_ATTEMPTS)
            Sleep(INSTALLED_FROM_DELAY_MS);
    }
    return 0;
}

}  // namespace

int finish_installed_from(const wchar_t *command_line)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(command_line, &argc);
    if (!argv)
        return 0;
    wchar_t path[LAUNCHER_PATH_CHARS];
    int found = 0, fits = 0;
    for (int i = 1; i + 1 < argc; i++) {
        if (!wcscmp(argv[i], L"--installed-from")) {
            found = 1;
            // A longer path is not cut into the name of some other file.
            fits = wcslen(argv[i + 1]) < LAUNCHER_PATH_CHARS;
            lstrcpynW(path, argv[i + 1], LAUNCHER_PATH_CHARS);
            break;
        }
    }
    LocalFree(argv);
    if (!found)
        return 0;
    int removed = fits && remove_first_copy(path);
    log_wprintf(L"installed from %s (%s)", path, removed ? L"removed" : L"left in place");
    return 1;
}
