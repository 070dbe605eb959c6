// The walks of a removal below the folder: the rest of its content, the
// working files, or a count of what stays. A walk never enters a link
// (FILE_ATTRIBUTE_REPARSE_POINT): a link inside the folder is deleted as
// itself where the system allows it, else left. Nor does it enter a system
// folder inside the folder.
#include "install/install_internal.h"

#include <windows.h>

#include <wchar.h>

namespace {

bool has_suffix(const wchar_t *name, const wchar_t *suffix)
{
    size_t n = wcslen(name), k = wcslen(suffix);
    return n > k && !lstrcmpiW(name + n - k, suffix);
}

bool is_working_file(const wchar_t *name)
{
    for (const wchar_t *suffix : WORKING_SUFFIXES)
        if (has_suffix(name, suffix))
            return true;
    return false;
}

// At the folder's top the launcher file stays for the helper, and the state
// file for the end of the removal (the working files' walk deletes no state
// file either way).
bool stays_at_top(const wchar_t *name, WalkMode mode)
{
    return !lstrcmpiW(name, own_file_name(OWN_FILE_LAUNCHER)) ||
           (mode != WALK_WORKING && !lstrcmpiW(name, own_file_name(OWN_FILE_STATE)));
}

}  // namespace

void removal_walk(Removal *r, wchar_t *path, size_t len, WalkMode mode)
{
    if (len + 2 >= CLIENT_PATH_CHARS)
        return;
    wmemcpy(path + len, L"\\*", 3);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path, &found);
    path[len] = 0;
    if (find == INVALID_HANDLE_VALUE)
        return;
    bool top = len == r->root_len;
    do {
        const wchar_t *name = found.cFileName;
        size_t n = wcslen(name);
        if (!wcscmp(name, L".") || !wcscmp(name, L".."))
            continue;
        if (top && stays_at_top(name, mode))
            continue;
        if (len + 1 + n >= CLIENT_PATH_CHARS) {
            if (mode == WALK_REST)
                uninstall_name_add(&r->report->failed, L"%s\\%s (path too long)",
                                   removal_shown_name(r, path), name);
            continue;
        }
        path[len] = L'\\';
        wmemcpy(path + len + 1, name, n + 1);
        DWORD attrs = found.dwFileAttributes;
        bool folder = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (mode == WALK_COUNT) {
            if (folder && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
                removal_walk(r, path, len + 1 + n, mode);
            else
                r->report->kept++;
        } else if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (mode == WALK_REST) {
                if (folder)
                    removal_delete_folder(r, path, true);
                else
                    removal_delete_file(r, path);
            }
        } else if (folder) {
            if (system_folders_fence(&r->fences, path)) {
                if (mode == WALK_REST)
                    removal_tell(r, path, JUDGED_FENCED, 0);
            } else {
                removal_walk(r, path, len + 1 + n, mode);
                removal_delete_folder(r, path, false);  // when left empty
            }
        } else if (mode == WALK_REST || is_working_file(name)) {
            removal_delete_file(r, path);
        }
        path[len] = 0;
    } while (FindNextFileW(find, &found));
    FindClose(find);
}
