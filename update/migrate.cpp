// Moves a client of the 0.1 series, which lived in the sub-folder "Drumveil",
// up next to the launcher, so that it need not be downloaded again. Only a
// folder that the old launcher managed (its state file names paths below it)
// is touched.
#include "update/update.h"
#include "fetch/fetch.h"

#include <windows.h>
#include <string.h>

int state_has_legacy_paths(const wchar_t *folder)
{
    LocalState state;
    state_init(&state);
    int found = 0;
    if (state_load(&state, folder)) {
        for (int i = 0; i < state.count && !found; i++)
            found = strncmp(state.entries[i].path, "Drumveil/", 9) == 0;
    }
    state_free(&state);
    return found;
}

void migrate_legacy_folder(void *window, const wchar_t *folder)
{
    wchar_t legacy[CLIENT_PATH_CHARS];
    path_join(legacy, CLIENT_PATH_CHARS, folder, L"Drumveil");
    DWORD attrs = legacy[0] ? GetFileAttributesW(legacy) : INVALID_FILE_ATTRIBUTES;
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY))
        return;

    wchar_t game[CLIENT_PATH_CHARS];
    path_join(game, CLIENT_PATH_CHARS, folder, L"system\\dv.exe");
    if (file_info(game, nullptr, nullptr))
        return;

    if (!state_has_legacy_paths(folder)) {
        log_printf("migrate: \"Drumveil\" folder without a 0.1.x state file: left alone");
        return;
    }

    post_status(window, L"Moving the client next to the launcher...");
    wchar_t pattern[CLIENT_PATH_CHARS];
    if (format_wide(pattern, CLIENT_PATH_CHARS, L"%s\\*", legacy) < 0)
        return;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;

    int moved = 0, failed = 0;
    do {
        if (!lstrcmpW(found.cFileName, L".") || !lstrcmpW(found.cFileName, L".."))
            continue;
        wchar_t from[CLIENT_PATH_CHARS], to[CLIENT_PATH_CHARS];
        path_join(from, CLIENT_PATH_CHARS, legacy, found.cFileName);
        path_join(to, CLIENT_PATH_CHARS, folder, found.cFileName);
        if (from[0] && to[0] && MoveFileExW(from, to, 0)) {
            moved++;
        } else {
            failed++;
            log_wprintf(L"migrate: %s -> %s failed (%lu)", from, to, GetLastError());
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);

    if (failed == 0)
        RemoveDirectoryW(legacy);
    log_printf("migrate: %d entries moved, %d failed", moved, failed);
}
