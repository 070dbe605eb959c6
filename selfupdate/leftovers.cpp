#include "selfupdate/selfupdate.h"

#include "base/base.h"

#include <windows.h>

void remove_swap_leftovers(const wchar_t *launcher_folder)
{
    wchar_t path[LAUNCHER_PATH_CHARS];
    if (path_join(path, LAUNCHER_PATH_CHARS, launcher_folder, own_file_name(OWN_FILE_OLD_LAUNCHER))[0])
        DeleteFileW(path);
    if (path_join(path, LAUNCHER_PATH_CHARS, launcher_folder, own_file_name(OWN_FILE_NEW_LAUNCHER))[0])
        DeleteFileW(path);
}
