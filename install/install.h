// The installer and the uninstaller. A first start outside an installed
// folder asks where to install (the folder rules propose and settle the
// folder), copies the launcher there, writes the desktop and Start menu
// shortcuts and hands over to the installed copy, which removes the first
// one. `Korvanth.exe --uninstall` asks, removes what the launcher put into
// its folder and leaves the launcher file to a helper copy of itself in the
// temporary folder (--uninstall-finish).
//
// Threads: everything here runs on the main thread before the log is opened
// (finish_installed_from just after it); no thread is started.
// Handles: a function closes what it opens before it returns, but for
// these: a window's font lives as long as its window (deleted as it is
// destroyed); the uninstall's folder lock is held from the start of
// uninstall_main to its end; the helper copy's file is opened delete-on-close
// and inherited by the helper's process, the last to hold it. The processes
// started (the installed copy, the helper) are not waited for; the helper
// waits for the uninstall's process through an inherited handle, which it
// closes.
// Heap: no block outlives the call that took it; records such as
// UninstallReport are the caller's.
//
// g_install_folder is the one process-wide record, the main thread's only.
// The first copy writes the installed copy and its two shortcuts, and never
// anything beside itself; the installed copy deletes the first one, and only
// a file with the running launcher's size and digest.
//
// Test seams: none. Tests drive the windows through their control ids and
// call the folder rules and the shortcut writer directly.
#pragma once

#include "base/base.h"

#include <stddef.h>

// What start-up does after the install decision.
enum InstallOutcome {
    RunHere = 0,     // go on with the normal start in this copy
    HandedOver = 1,  // the installed copy runs; end with exit code 0
    Abort = 2,       // cancelled or failed (after its box); end with exit code 1
};

enum {
    // Tries to delete the first copy while its process still holds it, and
    // the pause after each failed try: about ten seconds in all.
    INSTALLED_FROM_ATTEMPTS = 20,
    INSTALLED_FROM_DELAY_MS = 500,
};

// Control ids of the install window.
enum {
    INSTALL_ID_FOLDER = 201,
    INSTALL_ID_BROWSE = 202,
    INSTALL_ID_INSTALL = 203,
    INSTALL_ID_CANCEL = 204,
};

// The process's install folder: filled by default_install_folder before the
// window opens, replaced by the window's normalised answer on Install, and
// read by install_decide. A launcher folder: LAUNCHER_PATH_CHARS.
extern wchar_t g_install_folder[LAUNCHER_PATH_CHARS];

// ---------------------------------------------------------------------------
// Folder rules

// "<drive of the Windows folder>:\Games\Korvanth" into `out` (LAUNCHER_PATH_CHARS);
// "C:\Games\Korvanth" when the Windows folder cannot be read.
void default_install_folder(wchar_t *out);

// 1 when `folder` holds any entry other than "." and ".." and the launcher's
// own files and folder (the table of base/base.h, in any letter case); other
// sub-folders count. 0 for a missing or unreadable folder.
int folder_has_foreign_entries(const wchar_t *folder);

// Settles the player's answer in place (`folder` holds LAUNCHER_PATH_CHARS):
// trailing slashes go (down to a drive root); an existing folder that is
// neither a game folder (system\dv.exe) nor free of foreign entries gets
// "\Korvanth" appended when that fits. A folder that does not exist yet is
// used as typed.
void normalize_install_folder(wchar_t *folder);

// ---------------------------------------------------------------------------
// The install window (class "KorvanthInstall")

// Shows the window with the folder box holding g_install_folder and runs its
// loop until it is closed. 1 when Install was pressed with an acceptable
// folder (g_install_folder then holds it, normalised); 0 for Cancel, the
// close box, or a class or window that could not be made.
int install_window_run(void *instance);

// Opens the shell's folder chooser on the nearest existing folder of the
// folder box's text; a choice is normalised into the box.
void browse_install_folder(void *window);

#ifdef _WIN32
#include <windows.h>
LRESULT CALLBACK install_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
#endif

// ---------------------------------------------------------------------------
// Install actions

// At every start, before the log: RunHere when this copy may run where it is
// (the command line holds "--installed-from", or `launcher_folder` holds
// system\dv.exe, Korvanth.state or Korvanth.ini as files, or the player
// chose this very folder); HandedOver when a copy was installed and started
// elsewhere; Abort when the window was cancelled or installing failed (after
// an error box without owner).
InstallOutcome install_decide(void *instance, const wchar_t *launcher_folder);

// Writes "Korvanth.lnk" into special folder `csidl` (created when missing),
// pointing at `target` with working folder `working_folder`, the target's
// first icon and the description "Korvanth launcher". Needs COM on the
// calling thread; failures are logged at most, never reported.
void create_launcher_shortcut(int csidl, const wchar_t *target, const wchar_t *working_folder);

// After the log is open: when `command_line` holds "--installed-from" and a
// path after it, deletes the first copy at that path and logs
// "installed from <path> (removed|left in place)". Only a regular file with
// the running launcher's size and SHA-256, and not the running file itself,
// is deleted; a file still held by its process is tried again every
// INSTALLED_FROM_DELAY_MS up to INSTALLED_FROM_ATTEMPTS times. Returns 1 when
// the option was there, 0 otherwise.
int finish_installed_from(const wchar_t *command_line);

// ---------------------------------------------------------------------------
// Uninstall: `Korvanth.exe --uninstall` asks in a small window, then removes
// what the launcher put into its folder (the state file's files, its own
// files and working files, the shortcuts that lead to it, the entry in the
// list of installed apps, folders left empty) and, when the player unticks
// "Keep files I made myself", the rest of the folder's content. A copy of the
// launcher in the temporary folder (--uninstall-finish) removes the launcher
// file and the emptied folder once this process has ended.
//
// Nothing outside the folder is ever deleted: every file is judged by its
// final path (links resolved, a last link itself where the system tells it
// apart), links are never followed into, and the system's folders (drives,
// the Windows folder, profiles, the shell's special folders) are neither
// removed nor emptied, whatever the state file or the registry says.

#define UNINSTALL_FINISH_OPTION L"--uninstall-finish"

// Exit codes of `Korvanth.exe --uninstall` (the README lists them).
enum {
    UNINSTALL_EXIT_DONE = 0,        // all removed; the helper copy takes the launcher file
    UNINSTALL_EXIT_CANNOT_RUN = 1,  // the window could not be made
    UNINSTALL_EXIT_IN_USE = 2,      // a launcher, korvanth-cli or the game runs on the folder
    UNINSTALL_EXIT_CANCELLED = 3,   // the player cancelled; nothing was touched
    UNINSTALL_EXIT_INCOMPLETE = 4,  // files could not be removed (the box names them); the
                                    // entry and the launcher stay for another run
};

// Control ids of the uninstall window (class "KorvanthUninstall").
enum {
    UNINSTALL_ID_KEEP = 211,
    UNINSTALL_ID_UNINSTALL = 212,
    UNINSTALL_ID_CANCEL = 213,
};

enum {
    UNINSTALL_NAMES_CHARS = 1024,  // the lines of one list the end box shows
    UNINSTALL_REPORT_CHARS = 4096,  // the end box's text
};

// Names for the end box: every one is counted, those whose whole line fits
// are kept as "  name (why)" lines.
struct UninstallNames {
    int count;
    int shown;
    wchar_t text[UNINSTALL_NAMES_CHARS];
};

// What one uninstall did.
struct UninstallReport {
    int removed;               // files and links deleted
    UninstallNames failed;     // could not be deleted: the entry and the launcher stay
    UninstallNames refused;    // left alone: outside the folder, or a system folder
    int kept;                  // files the launcher did not install, left in the folder
                               // (counted when nothing failed)
    int folder_protected;      // the folder is a system folder: only the launcher's files went
    int rest_refused;          // ... though the player asked for everything
    wchar_t location[LAUNCHER_PATH_CHARS];  // the entry's install location, when not the folder
    int launcher_left;         // 1: the helper could not be started; the launcher file stays
};

// `Korvanth.exe --uninstall` for `folder`, the launcher's own: refuses (after
// a box) while a launcher or korvanth-cli holds the folder or a program from
// it runs; asks; removes; shows what it did. One of the UNINSTALL_EXIT_ codes.
unsigned uninstall_main(void *instance, const wchar_t *folder);

// The helper copy (`--uninstall-finish HANDLE FOLDER`): waits for the
// process whose inherited handle it was given, then deletes FOLDER's
// Korvanth.exe and the folder once empty. 0, or UNINSTALL_EXIT_INCOMPLETE
// after a box naming the file it could not delete. Its own file goes when it
// ends (the handle that started it deletes it on close).
unsigned uninstall_finish_main(const wchar_t *command_line);

// The confirmation window for `folder`. 1 when Uninstall was pressed, with
// the check box in *keep_player_files; 0 for Cancel, Escape or the close
// box; -1 when the window could not be made.
int uninstall_window_run(void *instance, const wchar_t *folder, int *keep_player_files);

// Removes what the launcher put into `folder`, in an order that a second run
// after a kill at any point finishes: the state file's files (with their
// working files), the rest of the folder unless `keep_player_files`, working
// files, the launcher's own files but Korvanth.exe in the order of their
// table (the state file only when nothing failed), the two shortcuts that
// lead to this folder's launcher; folders go as they are left empty. Then,
// when nothing failed, it counts the files that stay. The entry and
// Korvanth.exe are the caller's.
void uninstall_remove(const wchar_t *folder, int keep_player_files, UninstallReport *report);

// 1 when a process other than this one runs a program from `folder` or
// below it (the game, a launcher that is starting), with that program's path
// relative to the folder in `image` (`cap_chars`, cut).
int uninstall_program_running(const wchar_t *folder, wchar_t *image, size_t cap_chars);

// 1 when `folder` is a drive's or share's root, or the same as or above one of
// the system's folders (the Windows folder, profiles, the temporary folder,
// the shell's special folders).
int is_system_folder(const wchar_t *folder);

// Deletes `folder`'s Korvanth.exe (tried for a few seconds while the system
// still holds it) and then the folder when it is empty and no system folder.
// 1 when the launcher file is gone, 0 with the error in *error.
int uninstall_remove_launcher(const wchar_t *folder, unsigned long *error);

// Byte-level parts (no platform calls).

// Counts a name and keeps its line when it fits: "  " and the formatted text.
void uninstall_name_add(UninstallNames *names, const wchar_t *fmt, ...);

// The end box's text for `report` on `folder` into `out` (`cap_chars`, cut).
void uninstall_report_text(const UninstallReport *report, const wchar_t *folder, wchar_t *out,
                           size_t cap_chars);
