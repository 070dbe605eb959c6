// Removing an installation: what the launcher put into its folder, and with
// the player's leave the rest of the folder's content, never anything
// outside it (uninstall_fences.cpp, uninstall_delete.cpp).
//
// The order is what lets a second run after a kill finish the job: the files
// the state file lists go first, while that list stays; the state file goes
// only once every one of them went; the launcher file is the helper's, after
// this process ended.
#include "install/install_internal.h"

#include "folder/folder.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

// Tries and pauses for a launcher file that its ended process still holds.
const int LAUNCHER_DELETE_ATTEMPTS = 50;
const DWORD LAUNCHER_DELETE_PAUSE_MS = 100;

// Every file the state of `folder` lists, with the working files beside it.
// The state's reader keeps only paths that pass the path rule; those it
// drops are named in the box. The state is read where the launcher writes
// it, by the folder's name.
void remove_state_listed_files(Removal *r, const wchar_t *folder)
{
    LocalState state;
    StateRefusals refused;
    if (!state_load(&state, folder, &refused))
        return;
    uninstall_name_refused_state_paths(&refused, &r->report->refused);
    for (int32_t i = 0; i < state.count; i++) {
        wchar_t rel[CLIENT_REL_CHARS];
        RemovalPath full, working;
        client_file_path(state.entries[i].path, r->root, rel, full);
        if (!full[0]) {
            uninstall_name_add(&r->report->failed, L"%S (path too long)", state.entries[i].path);
            continue;
        }
        removal_delete_file(r, full, true);
        for (const wchar_t *suffix : WORKING_SUFFIXES)
            if (format_wide(working, CLIENT_PATH_CHARS, L"%s%s", full, suffix) >= 0)
                removal_delete_file(r, working, true);
    }
    state_free(&state);
}

// The launcher's own files in the table's order, but the launcher file.
void remove_own_files(Removal *r)
{
    RemovalPath path;
    for (int id = 0; id < OWN_FILE_COUNT; id++) {
        const OwnFile *own = own_file((OwnFileId)id);
        if (own->kind == OWN_LAUNCHER)
            continue;
        // The state goes only when every file it lists went: it is the list
        // that a second run works from.
        if (id == OWN_FILE_STATE && r->report->failed.count != 0)
            continue;
        if (!path_join(path, CLIENT_PATH_CHARS, r->root, own->name)[0])
            continue;
        if (!own->folder) {
            removal_delete_file(r, path);
        } else if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
            // The chunk lists kept for the next update: the launcher's alone.
            removal_walk(r, path, wcslen(path), WALK_REST);
            removal_delete_folder(r, path, false);
        }
    }
}

// The entry's install location, when it names another folder: the box says
// that nothing there was touched.
void note_location(Removal *r, const wchar_t *folder)
{
    wchar_t location[LAUNCHER_PATH_CHARS];
    wchar_t a[FOLDER_LOCK_NAME_CHARS], b[FOLDER_LOCK_NAME_CHARS];
    if (uninstall_entry_location(folder, location, LAUNCHER_PATH_CHARS) && location[0] &&
        !(folder_lock_name(location, a, FOLDER_LOCK_NAME_CHARS) &&
          folder_lock_name(folder, b, FOLDER_LOCK_NAME_CHARS) && !wcscmp(a, b)))
        lstrcpynW(r->report->location, location, LAUNCHER_PATH_CHARS);
}

// The whole removal of `folder`, whose final path r->root holds, inside the
// fences `system` (every system folder; cut here to those inside the folder).
void remove_in_order(Removal *r, SystemFolders *system, const wchar_t *folder,
                     int keep_player_files)
{
    UninstallReport *report = r->report;
    r->root_len = wcslen(r->root);
    report->folder_protected = system_folders_protect(system, r->root);
    system_folders_keep_inside(system, r->root);
    r->fences = *system;

    note_location(r, folder);
    remove_state_listed_files(r, folder);
    RemovalPath path;
    lstrcpynW(path, r->root, CLIENT_PATH_CHARS);
    // A system folder is never walked: only what the launcher names goes.
    if (!keep_player_files && report->folder_protected)
        report->rest_refused = 1;
    if (!report->folder_protected)
        removal_walk(r, path, r->root_len, keep_player_files ? WALK_WORKING : WALK_REST);
    remove_own_files(r);
    RemovalPath launcher;
    if (path_join(launcher, CLIENT_PATH_CHARS, r->root, own_file_name(OWN_FILE_LAUNCHER))[0])
        removal_delete_shortcuts(r, launcher);
    // What stays besides files that failed: those are named instead.
    if (!report->folder_protected && report->failed.count == 0)
        removal_walk(r, path, r->root_len, WALK_COUNT);
}

}  // namespace

void uninstall_remove(const wchar_t *folder, int keep_player_files, UninstallReport *report)
{
    memset(report, 0, sizeof *report);
    SystemFolders system = {};
    DWORD error = 0;
    Removal *r = (Removal *)calloc(1, sizeof(Removal));
    if (r && uninstall_final_path(folder, r->root, &error, LAST_LINK_FOLLOWED) &&
        system_folders_gather(&system)) {
        r->report = report;
        remove_in_order(r, &system, folder, keep_player_files);
    } else {
        uninstall_name_add(&report->failed, L"%s (error %lu)", folder,
                           (unsigned long)(error ? error : ERROR_NOT_ENOUGH_MEMORY));
    }
    system_folders_free(&system);
    free(r);
}

int uninstall_remove_launcher(const wchar_t *folder, unsigned long *error)
{
    RemovalPath root, exe, fin;
    DWORD e = 0;
    *error = 0;
    if (!uninstall_final_path(folder, root, &e, LAST_LINK_FOLLOWED) ||
        !path_join(exe, CLIENT_PATH_CHARS, root, own_file_name(OWN_FILE_LAUNCHER))[0]) {
        *error = e ? e : (DWORD)ERROR_FILENAME_EXCED_RANGE;
        return 0;
    }
    for (int attempt = 0;; attempt++) {
        if (!uninstall_final_path(exe, fin, &e)) {
            if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
                break;
        } else if (lstrcmpiW(fin, exe)) {
            *error = ERROR_ACCESS_DENIED;  // a link that leads elsewhere: left alone
            return 0;
        } else if (DeleteFileW(exe)) {
            break;
        } else {
            e = GetLastError();
        }
        if (attempt + 1 >= LAUNCHER_DELETE_ATTEMPTS) {
            *error = e;
            return 0;
        }
        Sleep(LAUNCHER_DELETE_PAUSE_MS);
    }
    // The folder as given: a drive's root would be "C:" as a final path,
    // which names the drive's current folder instead.
    if (!is_system_folder(folder))
        RemoveDirectoryW(folder);
    return 1;
}
