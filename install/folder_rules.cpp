// Where the launcher installs: the proposed folder and the rule that keeps an
// installation out of a folder that already holds other programs' files.
#include "install/install_internal.h"

#include <windows.h>
#include <wchar.h>

wchar_t g_install_folder[LAUNCHER_PATH_CHARS];

namespace {
const size_t PATTERN_CHARS = LAUNCHER_PATH_CHARS + 4;  // a folder and "\*"
}

void default_install_folder(wchar_t *out)
{
    wchar_t windows[LAUNCHER_PATH_CHARS];
    UINT n = GetWindowsDirectoryW(windows, LAUNCHER_PATH_CHARS);
    // Fewer than 3 characters is no "X:\..." path (0 is a failure).
    if (n < 3 || n >= LAUNCHER_PATH_CHARS)
        format_wide(out, LAUNCHER_PATH_CHARS, L"C:\\Games\\%s", L"Korvanth");
    else
        format_wide(out, LAUNCHER_PATH_CHARS, L"%c:\\Games\\%s", windows[0], L"Korvanth");
}

int folder_has_foreign_entries(const wchar_t *folder)
{
    wchar_t pattern[PATTERN_CHARS];
    if (format_wide(pattern, PATTERN_CHARS, L"%s\\*", folder) < 0)
        return 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    int foreign = 0;
    do {
        const wchar_t *name = found.cFileName;
        if (!wcscmp(name, L".") || !wcscmp(name, L".."))
            continue;
        foreign = own_file_named(name) == nullptr;
    } while (!foreign && FindNextFileW(find, &found));
    FindClose(find);
    return foreign;
}

int is_directory(const wchar_t *path)
{
    DWORD attrs = GetFileAttributesW(path);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

void normalize_install_folder(wchar_t *folder)
{
    size_t n = wcslen(folder);
    while (n > 3 && (folder[n - 1] == L'\\' || folder[n - 1] == L'/'))
        folder[--n] = 0;
    if (!is_directory(folder))
        return;
    wchar_t game[LAUNCHER_PATH_CHARS];
    path_join(game, LAUNCHER_PATH_CHARS, folder, L"system\\dv.exe");
    if (game[0] && file_info(game, nullptr, nullptr))
        return;
    if (!folder_has_foreign_entries(folder))
        return;
    // A drive root already ends in its backslash; path_join adds one only
    // where it is missing.
    if (n + 1 + wcslen(L"Korvanth") < LAUNCHER_PATH_CHARS)
        path_join(folder, LAUNCHER_PATH_CHARS, folder, L"Korvanth");
}
