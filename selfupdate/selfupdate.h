// Self-update: replacing the running launcher with the one a release names.
//
// Three processes take part. The old launcher starts the downloaded
// "Korvanth.new" with "--swap <old pid> <old path>" and closes; that helper
// (the new version's own code) waits for the old process to end, moves the
// old "Korvanth.exe" aside as "Korvanth.old", copies itself in its place and
// starts it; the new launcher removes both leftovers at its start-up. The
// helper writes no log: only a launcher run opens the log.
#pragma once

#include "base/base.h"

#include <stddef.h>

// The option the helper starts the new launcher with: that launcher follows
// one of its folder that may still be ending, and waits for it to let go of
// the folder.
#define SWAP_RESTART_OPTION L"--swapped"

enum {
    SWAP_EXIT_WAIT_MS = 30000,    // how long the helper waits for the old launcher to end
    SWAP_RENAME_ATTEMPTS = 20,    // tries to move the old launcher aside ...
    SWAP_RENAME_DELAY_MS = 500,   // ... with this pause after each failure
    // "\"target\" --swapped"
    SWAP_RESTART_CHARS = LAUNCHER_PATH_CHARS + 2 + (sizeof SWAP_RESTART_OPTION / sizeof(wchar_t)),
};

// The old launcher's side: starts `new_launcher` (full path of Korvanth.new)
// as the swap helper for this process and logs the outcome. Returns 1 when
// the helper runs (the caller then closes the window and ends with 0), 0 when
// it could not be started (the old launcher goes on). `game_folder`, the
// folder the window serves, belongs to the call the window makes, which names
// its folder as game_start does; the swap itself reads no folder: the
// helper's paths come from `new_launcher` and the running program's own.
int start_swap_helper(const wchar_t *game_folder, const wchar_t *new_launcher);

// The helper's side, first thing at start-up. Returns 0 when `command_line`
// holds no swap request (no "--swap" from the second argument on followed by
// two more arguments, or a process id of 0 or not a number); otherwise does
// the whole swap, shows the failure box when it cannot, and returns 1.
int run_swap_mode(const wchar_t *command_line);

// Deletes "Korvanth.old" and "Korvanth.new" in the launcher folder, the
// leftovers of a swap. Failures (absent, or still in use by an ending swap
// helper) are silent: a survivor goes at a later start.
void remove_swap_leftovers(const wchar_t *launcher_folder);

// ---------------------------------------------------------------------------
// Rules of the swap request (no platform calls)

// Finds the first argument from argv[1] on that is exactly "--swap" and has
// at least two arguments after it: the old process id (signed decimal, leading
// blanks and sign allowed, digits up to the first other character; no number
// gives 0) and the target path. Returns 0 when there is none or the id is 0
// (not a swap); 1 with `*pid` and `target` (`cap_chars`) set; -1 for a swap
// request whose target does not fit `target` (to be refused, nothing moved).
int swap_parse_request(int argc, const wchar_t *const *argv, unsigned long *pid,
                       wchar_t *target, size_t cap_chars);

// The backup path for `target`: its folder with the trailing backslash (empty
// when it has none) followed by "Korvanth.old". Returns 0, with `dst` empty,
// when that does not fit `cap_chars`.
int swap_backup_path(const wchar_t *target, wchar_t *dst, size_t cap_chars);
