#include "selfupdate/selfupdate.h"

#include "base/base.h"

#include <windows.h>

void remove_swap_leftovers(const wchar_t *launcher_folder)
{
    static const OwnFileId LEFTOVERS[] = {OWN_FILE_OLD_LAUNCHER, OWN_FILE_NEW_LAUNCHER,
                                          OWN_FILE_SWAP_COPY};
    wchar_t own[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS)
        own[0] = 0;
    wchar_t path[LAUNCHER_PATH_CHARS];
    for (OwnFileId id : LEFTOVERS) {
        // A launcher on trial runs from its copy: that one is not left over.
        if (path_join(path, LAUNCHER_PATH_CHARS, launcher_folder, own_file_name(id))[0] &&
            lstrcmpiW(path, own) != 0)
            DeleteFileW(path);
    }
}
