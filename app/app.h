// Start-up: the program's entry and the choice of its role. The top of the
// include order: only this folder includes the window and the installer.
#pragma once

#include "base/base.h"

// The launcher folder of the executable `exe_path`: everything before its last
// backslash, keeping the backslash of a drive root ("C:\"). `dst` holds
// LAUNCHER_PATH_CHARS characters.
void launcher_folder_of(const wchar_t *exe_path, wchar_t *dst);

// The program: chooses the process's role from its command line and runs it.
// Returns the process exit code (0 normal end, 1 the launcher cannot run).
unsigned launcher_main(void *instance);
