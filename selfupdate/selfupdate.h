// Self-update: replacing the running launcher with the one a release names.
//
// Three processes take part. The old launcher starts the downloaded
// "Korvanth.new" with "--swap <old pid> <old path>" and waits until that
// helper (the new version's own code) says it has taken over; then it closes.
// The helper waits for it to end, copies itself beside it as "Korvanth.swap"
// (flushed) and starts that copy on trial. The copy, once its window shows
// and its first pass has begun, takes the launcher's name by one rename and
// tells the helper. Until then "Korvanth.exe" is the old launcher, whole: a
// kill at any moment leaves a launcher that starts.
//
// A new launcher that ends, crashes or stays silent for SWAP_START_WAIT_MS
// is refused: its digest goes into the state file (a release naming it is
// not taken again), the log says why, and the old launcher, which never left
// its place, is started again and tells the player. A helper that cannot run
// at all is refused the same way by the old launcher, which stays open.
#pragma once

#include "base/base.h"

#include <stddef.h>

// The options of the launchers the helper starts: the new one on trial
// ("\"Korvanth.swap\" --swapped \"<target>\""), which follows a launcher
// that may still be ending and waits for it to let go of the folder; and the
// old one again after a refusal, which tells the player.
#define SWAP_RESTART_OPTION L"--swapped"
#define SWAP_REFUSED_OPTION L"--swap-refused"
// The status line of a launcher that kept its place.
#define SWAP_REFUSED_NOTICE L"The new launcher could not start; the previous one is in use."

enum {
    SWAP_EXIT_WAIT_MS = 30000,    // how long the helper waits for the old launcher to end
    SWAP_RENAME_ATTEMPTS = 20,    // tries to replace or remove a launcher file ...
    SWAP_RENAME_DELAY_MS = 500,   // ... with this pause after each failure
    // How long a new launcher has to confirm its start before it is ended
    // and refused.
    SWAP_START_WAIT_MS = 30000,
    // How long the old launcher watches for a helper that ends before it
    // takes over (one that is merely slow is trusted).
    SWAP_TAKEOVER_WAIT_MS = 10000,
    // "\"copy\" --swapped \"target\"", the longest command the helper forms.
    SWAP_RESTART_CHARS =
        2 * LAUNCHER_PATH_CHARS + 6 + (sizeof SWAP_RESTART_OPTION / sizeof(wchar_t)),
    SWAP_EVENT_NAME_CHARS = 48,
};

// What start_swap_helper came to.
enum SwapStart {
    SWAP_HELPER_NOT_STARTED = 0,  // the process could not be made: the old launcher goes on
    SWAP_HELPER_TOOK_OVER = 1,    // the caller closes the window and ends with 0
    // The helper ended before taking over: its launcher is refused in the
    // state file, Korvanth.new deleted, the old launcher goes on.
    SWAP_HELPER_REFUSED = 2,
};

// The old launcher's side: starts `new_launcher` (full path of Korvanth.new)
// as the swap helper for this process and waits, at most
// SWAP_TAKEOVER_WAIT_MS, until it has taken over or ended; a helper silent
// that long is trusted (helpers of earlier versions give no sign).
// `game_folder` holds the state file that records a refusal. Logs the
// outcome.
SwapStart start_swap_helper(const wchar_t *game_folder, const wchar_t *new_launcher);

// The helper's side, first thing at start-up. Returns 0 when `command_line`
// holds no swap request (no "--swap" from the second argument on followed by
// two more arguments, or a process id of 0 or not a number); otherwise does
// the whole swap, shows the failure box when it cannot, and returns 1.
int run_swap_mode(const wchar_t *command_line);

// A launcher has started: its window is shown and its first pass has begun.
// A launcher on trial ("--swapped" and run from
// Korvanth.swap) takes the place of the launcher named after "--swapped" by
// one rename and tells its helper; any other does nothing. Logs a rename
// that fails (the old launcher then stays, and a later pass swaps again).
void confirm_launcher_start(void);

// Deletes the leftovers of a swap in the launcher folder: Korvanth.new,
// Korvanth.old, and Korvanth.swap unless it is this very program (a launcher
// on trial). Failures (absent, or still in use by an ending helper) are
// silent: a survivor goes at a later start.
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

// A file of ours beside `target`: its folder with the trailing backslash
// (empty when it has none) followed by the name of `id`. Returns 0, with
// `dst` empty, when that does not fit `cap_chars`.
int swap_sibling_path(const wchar_t *target, OwnFileId id, wchar_t *dst, size_t cap_chars);

// The folder of `target` as the launcher names its own: everything before
// the last backslash, keeping the backslash of a drive root ("C:\"); empty
// for a bare name. Returns 0, with `dst` empty, when it does not fit.
int swap_target_folder(const wchar_t *target, wchar_t *dst, size_t cap_chars);

// A launcher on trial: the first "--swapped" from argv[1] on followed by one
// more argument, the target it is to replace. 1 with `target` set; 0 when
// there is none; -1 when the target does not fit `cap_chars` (no trial).
int swap_parse_trial(int argc, const wchar_t *const *argv, wchar_t *target, size_t cap_chars);

// The events of a swap, named after the process that waits on them (the old
// launcher) or sets them (the new one on trial).
enum SwapEvent {
    SWAP_EVENT_TAKEN_OVER,  // the helper set it: pid of the old launcher
    SWAP_EVENT_STARTED,     // the launcher on trial set it: its own pid
};
// The event's name into `dst` (SWAP_EVENT_NAME_CHARS); 0 when it does not fit.
int swap_event_name(SwapEvent event, unsigned long pid, wchar_t *dst, size_t cap_chars);
