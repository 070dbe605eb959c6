// One path of a removal judged and deleted: a file whose final path is not
// inside the folder's own final path is left alone, and so is anything at or
// below a system folder inside it; the box names each one left and why.
#include "install/install_internal.h"

#include <windows.h>

#include <wchar.h>

namespace {

// Removes the folders above `path` that are left empty, up to the root.
void prune_parents(Removal *r, const wchar_t *path)
{
    RemovalPath dir;
    lstrcpynW(dir, path, CLIENT_PATH_CHARS);
    for (;;) {
        wchar_t *slash = wcsrchr(dir, L'\\');
        if (!slash || (size_t)(slash - dir) <= r->root_len)
            return;
        *slash = 0;
        DWORD attrs = GetFileAttributesW(dir), error;
        if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ||
            removal_judge(r, dir, &error) != JUDGED_INSIDE || !RemoveDirectoryW(dir))
            return;
    }
}

}  // namespace

Judgement removal_judge(const Removal *r, const wchar_t *path, unsigned long *error)
{
    RemovalPath fin;
    if (!uninstall_final_path(path, fin, error))
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? JUDGED_GONE
                                                                                : JUDGED_UNKNOWN;
    if (!path_at_or_below(fin, r->root) || !fin[r->root_len])
        return JUDGED_OUTSIDE;
    return system_folders_fence(&r->fences, fin) ? JUDGED_FENCED : JUDGED_INSIDE;
}

const wchar_t *removal_shown_name(const Removal *r, const wchar_t *path)
{
    return path_at_or_below(path, r->root) && path[r->root_len] ? path + r->root_len + 1 : path;
}

void removal_tell(Removal *r, const wchar_t *path, Judgement j, unsigned long error)
{
    UninstallReport *report = r->report;
    if (j == JUDGED_OUTSIDE)
        uninstall_name_add(&report->refused, L"%s (leads outside the folder)",
                           removal_shown_name(r, path));
    else if (j == JUDGED_FENCED)
        uninstall_name_add(&report->refused, L"%s (a system folder)", removal_shown_name(r, path));
    else if (j == JUDGED_UNKNOWN)
        uninstall_name_add(&report->failed, L"%s (error %lu)", removal_shown_name(r, path), error);
}

int removal_delete_file(Removal *r, const wchar_t *path, bool prune)
{
    DWORD error = 0;
    Judgement j = removal_judge(r, path, &error);
    if (j == JUDGED_GONE)
        return 1;
    if (j != JUDGED_INSIDE) {
        removal_tell(r, path, j, error);
        return 0;
    }
    BOOL ok = DeleteFileW(path);
    if (!ok && GetLastError() == ERROR_ACCESS_DENIED) {
        // A read-only file goes as well: the player asked for its removal.
        DWORD attrs = GetFileAttributesW(path);
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) &&
            SetFileAttributesW(path, attrs & ~FILE_ATTRIBUTE_READONLY))
            ok = DeleteFileW(path);
        else
            SetLastError(ERROR_ACCESS_DENIED);
    }
    if (!ok) {
        removal_tell(r, path, JUDGED_UNKNOWN, GetLastError());
        return 0;
    }
    r->report->removed++;
    if (prune)
        prune_parents(r, path);
    return 1;
}

void removal_delete_folder(Removal *r, const wchar_t *path, bool link)
{
    DWORD error = 0;
    Judgement j = removal_judge(r, path, &error);
    if (j != JUDGED_INSIDE) {
        removal_tell(r, path, j, error);
        return;
    }
    if (RemoveDirectoryW(path)) {
        if (link)
            r->report->removed++;
    } else if (link || GetLastError() != ERROR_DIR_NOT_EMPTY) {
        removal_tell(r, path, JUDGED_UNKNOWN, GetLastError());
    }
}
