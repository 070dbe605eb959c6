// Internal to install/. What the folder's files share: the folder test of
// the install rules and the folder chooser, the shortcut's name, and the
// uninstall's removal in its rooms. Calls go one way, down this list, never
// back up (uninstall_remove.cpp, the order of the whole removal, calls the
// others):
//
//   uninstall_walk.cpp       the walks below the folder
//   uninstall_shortcuts.cpp  the desktop and Start menu shortcuts
//   uninstall_programs.cpp   the programs that run from the folder
//   uninstall_delete.cpp     one file or folder judged and deleted
//   uninstall_fences.cpp     final paths, and the system folders that nothing
//                            may remove or empty
//   uninstall_text.cpp       the end box's names and text (no platform calls)
//
// The declarations need no platform header (an error is the system's code
// as unsigned long), so that the text room builds without one. Every record
// here belongs to the function that made it; nothing is kept between calls.
// A SystemFolders' block comes from system_folders_gather and goes back
// through system_folders_free alone.
#pragma once

#include "install/install.h"
#include "manifest/manifest.h"

#include <stddef.h>

// 1 when `path` is an existing folder (a folder link included).
int is_directory(const wchar_t *path);

// The launcher's shortcut, on the desktop and in the Start menu.
const wchar_t LAUNCHER_SHORTCUT_NAME[] = L"Korvanth.lnk";

// ---------------------------------------------------------------------------
// Fences

typedef wchar_t RemovalPath[CLIENT_PATH_CHARS];

// The system's folders as final paths (as written where they cannot be
// opened), without trailing backslash.
struct SystemFolders {
    RemovalPath *paths;  // malloc'd by system_folders_gather
    int count;
};

// How a path's last component is opened when its final path is asked for.
enum LastLink {
    LAST_LINK_AS_ITSELF,  // a path about to be deleted
    LAST_LINK_FOLLOWED,   // the folder being uninstalled, a system folder
};

// "\\?\C:\x" -> "C:\x", "\\?\UNC\host\share" -> "\\host\share"; a trailing
// backslash goes ("C:\" -> "C:").
void uninstall_plain_path(wchar_t *path);
// The final path of an existing file or folder into `out` (CLIENT_PATH_CHARS),
// as uninstall_plain_path writes it. 1, or 0 with the system's error.
int uninstall_final_path(const wchar_t *path, wchar_t *out, unsigned long *error,
                         LastLink last = LAST_LINK_AS_ITSELF);
// 1 when `path` is `base` or lies below it (letter case aside).
int path_at_or_below(const wchar_t *path, const wchar_t *base);

// Every system folder the shell names, and the temporary folder. False when
// out of memory (nothing to free then).
bool system_folders_gather(SystemFolders *folders);
void system_folders_free(SystemFolders *folders);
// 1 for a drive's or share's root ("C:", "\\host\share") or a folder at or
// above one of `folders`.
int system_folders_protect(const SystemFolders *folders, const wchar_t *root);
// Keeps of `folders` those strictly inside `root`: the fences of a removal.
void system_folders_keep_inside(SystemFolders *folders, const wchar_t *root);
// 1 when `path` is at or below one of `fences`.
int system_folders_fence(const SystemFolders *fences, const wchar_t *path);

// ---------------------------------------------------------------------------
// Deletion

// One removal: the folder's final path ("C:" for a drive's root) and the
// system folders strictly inside it, which nothing may touch.
struct Removal {
    RemovalPath root;
    size_t root_len;
    SystemFolders fences;
    UninstallReport *report;
};

// What may become of an existing path.
enum Judgement {
    JUDGED_GONE,     // nothing there (a second run, or never made)
    JUDGED_INSIDE,   // inside the folder: may go
    JUDGED_OUTSIDE,  // leads outside the folder
    JUDGED_FENCED,   // at or below a system folder inside the folder
    JUDGED_UNKNOWN,  // cannot be judged (error in *error): counts as a failure
};

Judgement removal_judge(const Removal *r, const wchar_t *path, unsigned long *error);
// `path` as the box names it: inside the folder relative to it.
const wchar_t *removal_shown_name(const Removal *r, const wchar_t *path);
// After a judgement other than JUDGED_INSIDE or JUDGED_GONE: the box says why.
void removal_tell(Removal *r, const wchar_t *path, Judgement j, unsigned long error);
// Deletes one file or file link after judging it (a read-only one too); with
// `prune` the folders it leaves empty go as well. 1 when it is gone.
int removal_delete_file(Removal *r, const wchar_t *path, bool prune = false);
// Removes a folder link as itself (`link`), or a folder when it is empty.
void removal_delete_folder(Removal *r, const wchar_t *path, bool link);

// The working files of a download beside its destination.
const wchar_t *const WORKING_SUFFIXES[] = {L".part", L".tmp"};

// ---------------------------------------------------------------------------
// Walks

enum WalkMode {
    WALK_REST,     // delete everything but the launcher file and the state file
    WALK_WORKING,  // delete the working files (*.part, *.tmp)
    WALK_COUNT,    // count the files left, the launcher file and the state file aside
};

// One walk below `path` (a buffer of CLIENT_PATH_CHARS holding `len`
// characters, restored on return); never into links or system folders.
// Folders emptied on the way go.
void removal_walk(Removal *r, wchar_t *path, size_t len, WalkMode mode);

// ---------------------------------------------------------------------------
// Shortcuts

// Deletes the desktop's and the Start menu's shortcut where it leads to
// `launcher` (a final path); a shortcut of another installation stays.
void removal_delete_shortcuts(Removal *r, const wchar_t *launcher);

// ---------------------------------------------------------------------------
// Texts (no platform calls)

// Names in `names` the state file's entry lines that its reader dropped for
// their path (`refused`), and why they stay; those it only counted are
// counted here too.
void uninstall_name_refused_state_paths(const StateRefusals *refused, UninstallNames *names);
