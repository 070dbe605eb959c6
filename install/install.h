// The installer: a first start outside an installed folder asks where to
// install, copies the launcher there, writes the desktop and Start menu
// shortcuts and hands over to the installed copy, which removes the first
// one. Everything here runs on the main thread before the log is opened,
// except finish_installed_from, which runs just after.
//
// g_install_folder is the one process-wide record, the main thread's only.
// The first copy writes the installed copy and its two shortcuts, and never
// anything beside itself; the installed copy deletes the first one, and only
// a file with the running launcher's size and digest.
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
// own five files (Korvanth.exe, .log, .state, .new, .old, in any letter case);
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
