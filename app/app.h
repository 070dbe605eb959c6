// Start-up: the program's entry and the choice of its role. The top of the
// include order: only this folder includes the window and the installer.
//
// launcher_main runs on the main thread, before any other thread exists:
// the swap helper and the probe child first (they touch neither the folder
// nor the log), then the install decision, and only for a launcher that runs
// where it stands the process-wide settings (log, user agent), the clean-up
// of a hand-over and of swap leftovers, and the main window.
#pragma once

#include "base/base.h"

// The launcher folder of the executable `exe_path`: everything before its last
// backslash, keeping the backslash of a drive root ("C:\"). `dst` holds
// LAUNCHER_PATH_CHARS characters.
void launcher_folder_of(const wchar_t *exe_path, wchar_t *dst);

// A launcher started on a folder that a program without a window
// (korvanth-cli) holds ends with this code, after a box.
enum { LAUNCHER_EXIT_FOLDER_BUSY = 2 };

// The program: chooses the process's role from its command line and runs it.
// Returns the process exit code: 0 normal end, also after handing over to an
// installed copy or after bringing forward the window of the launcher that
// runs on this folder already; 1 the launcher cannot run or the install
// failed; LAUNCHER_EXIT_FOLDER_BUSY. With --uninstall (and in the
// uninstall's helper) the UNINSTALL_EXIT_ codes of install/install.h.
unsigned launcher_main(void *instance);
