// Game start and graphics mode: starting and watching the game client
// "system\dv.exe", and the rules that choose its renderer (stock Direct3D 9
// or the Vulkan-based DXVK files).
//
// The graphics rules are plain functions of their inputs (dxvk_verdict,
// vulkan_prefer_device, dxvk_judge_trial) without platform calls, so they also
// build natively; the functions that gather the inputs from the system sit
// around them. Window handles are passed as `void *` (an HWND) for the same
// reason.
//
// Who owns what: game_start runs on the window's thread and hands the game
// process to a watcher thread, which owns the process handle and its
// GameWatch record, posts WM_LAUNCHER_GAME_EXITED when the game ends and
// frees both; the game-running flag changes only by interlocked operations.
// probe_vulkan runs on its caller's thread (the update pass's) and starts the
// launcher's own executable as a hidden child, reading its reason through a
// pipe: a child that hangs is killed, and every handle is closed before the
// call returns.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    PROBE_TIMEOUT_MS = 10000,      // how long the launcher waits for the probe child
    TRIAL_MIN_RUN_MS = 20000,      // shortest game run that passes a Vulkan trial
    PROBE_REASON_BYTES = 128,      // a probe reason: one line, at most 127 bytes
    VULKAN_NAME_BYTES = 256,       // a device name as the driver reports it
    VULKAN_REASON_BYTES = 64,      // vulkan_query's failure reason
    VULKAN_MAX_DEVICES = 8,        // physical devices examined
    DXVK_MIN_WINDOWS_MAJOR = 10,
    TRIAL_LOG_BYTES = 128,
};

// Vulkan 1.3.0 in the API's version encoding (major in bits 22-28, minor in
// bits 12-21, patch below): the least a device needs for DXVK.
#define DXVK_MIN_VULKAN_API 0x403000u

// Shown as status text after the check pass that follows a failed trial.
#define DXVK_TRIAL_NOTICE                                                                      \
    "Modern graphics (Vulkan) turned off: the game closed right after starting. Tick the box " \
    "to retry."

// ---------------------------------------------------------------------------
// Game launch and exit watch

// 1 when `game_folder`\system\dv.exe exists and is a file (not a folder).
int game_exe_present(const wchar_t *game_folder);

// 1 while a game started by game_start runs (and is watched).
int game_is_running(void);

// Starts `game_folder`\system\dv.exe through the shell, working folder
// `game_folder`\system, no arguments; `main_window` (an HWND) owns any prompt
// the shell shows and receives WM_LAUNCHER_GAME_EXITED (wParam = exit code)
// when the game ends. Logs "dv.exe started, pid %lu" or the shell's error.
// Returns 1 started, 0 failed or a game started earlier still runs (then
// nothing is done), -1 the player declined a system prompt.
int game_start(void *main_window, const wchar_t *game_folder);
// With `stop`, tells the watcher to stop watching (the game runs on,
// unreported); then waits up to `wait_ms` for it to end. 1 when no watcher
// thread is left. Called by the window's thread only.
int game_watch_end(uint32_t wait_ms, int stop);

// The watcher's record: heap-allocated by game_start, owned and freed by
// game_watch_thread, which also closes the process handle.
struct GameWatch {
    void *window;   // HWND of the main window
    void *process;  // HANDLE of the game process
    void *stop;     // HANDLE of an event that ends the watch unreported, or null
};

#ifdef _WIN32
// Thread routine (LPTHREAD_START_ROUTINE) taking a GameWatch; returns 0.
unsigned long __stdcall game_watch_thread(void *watch);
#endif

// ---------------------------------------------------------------------------
// Vulkan probe (platform side)

// The probe child: when `command_line` holds "--probe-vulkan" (exact, from
// the second argument on) it decides, writes the reason to standard output
// and ends the process with 1 (usable) or 0; it never returns then. Returns 0
// when the command line asks for no probe.
int run_probe_mode(const wchar_t *command_line);

// The child's decision: 1 when DXVK can be used here, else 0; the reason
// (at most 127 bytes, one line) goes to `reason` (PROBE_REASON_BYTES).
int dxvk_decide(char *reason);

// Asks the system folder's vulkan-1.dll (never another copy) for its devices:
// `api` and `name` (VULKAN_NAME_BYTES) of the first device with the highest
// API version among at most VULKAN_MAX_DEVICES. Returns 1, or 0 with the
// failure in `reason` (VULKAN_REASON_BYTES).
int vulkan_query(uint32_t *api, char *name, char *reason);

// 1 when ntdll (already loaded, never loaded for this) exports wine_get_version.
int running_under_wine(void);

// The system's real major version through ntdll's RtlGetVersion; 0 when it
// cannot be had.
unsigned long windows_major_version(void);

// The parent side: runs the launcher's own executable as the probe child and
// waits at most PROBE_TIMEOUT_MS. Returns the verdict 1 or 0; `reason`
// (PROBE_REASON_BYTES) says why, also for every failure (all mean "off").
int probe_vulkan(char *reason);

// probe_vulkan with the child's executable named: `exe_path` is started as
// "\"exe_path\" --probe-vulkan" (at most 259 characters).
int probe_vulkan_child(const wchar_t *exe_path, char *reason);

// ---------------------------------------------------------------------------
// Graphics rules (no platform calls)

// The probe child's verdict from what it found: `under_wine`, the Windows
// major version (0 unknown), and vulkan_query's outcome (`query_ok`, then the
// best device's `api_version` and `device_name`, else `query_reason`).
// Writes the reason into `reason` (`cap_bytes`, cut, one line). Returns 1 when
// DXVK can be used, else 0.
int dxvk_verdict(int under_wine, unsigned long windows_major, int query_ok, uint32_t api_version,
                 const char *device_name, const char *query_reason, char *reason,
                 size_t cap_bytes);

// One step of the device choice: a device of `api_version` named
// `device_name` (a driver's fixed array of `name_max_bytes`, not necessarily
// terminated) replaces the best so far only when its version is strictly
// higher, so ties keep the earlier device. `best_name` holds VULKAN_NAME_BYTES.
// Returns 1 when it replaced.
int vulkan_prefer_device(uint32_t api_version, const char *device_name, size_t name_max_bytes,
                         uint32_t *best_api, char *best_name);

// Judgement of a game exit for the graphics mode.
struct TrialOutcome {
    int dxvk;                       // the dxvk flag afterwards (-1, 0, 1)
    int dxvk_trial;                 // the trial flag afterwards (0, 1)
    int judged;                     // 1: a trial was judged; start a check pass
    int notice_due;                 // 1: show DXVK_TRIAL_NOTICE after that pass
    char log_line[TRIAL_LOG_BYTES]; // to log when judged, else empty text
};

// A game run of `elapsed_ms` (GetTickCount now minus at start, unsigned 32-bit
// difference) ended with `exit_code`. Only a pending trial (dxvk 1, trial not
// 0) is judged: at least TRIAL_MIN_RUN_MS keeps the mode on, a shorter run
// turns it off with the notice. Otherwise the flags stay as they are.
void dxvk_judge_trial(int dxvk, int dxvk_trial, uint32_t elapsed_ms, uint32_t exit_code,
                      TrialOutcome *out);
