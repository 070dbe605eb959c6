// The bottom of the launcher: the log, the small path, text and file helpers,
// and the window-message contract between worker threads and the window.
// Every other folder builds on it; of ours it includes only the build's
// generated settings (korvanth_config.h), for the version.
//
// Conventions used throughout the launcher:
// - Wide texts are UTF-16 (Windows paths); narrow texts are UTF-8 (manifest
//   paths, version texts, log lines).
// - Capacities are stated in the unit of the buffer: `cap_chars` for wide
//   buffers, `cap_bytes` for narrow ones, always counting the terminator.
//   Outputs are cut to fit, never overflowed.
// - Results: 1 success, 0 failure, unless a function says otherwise.
#pragma once

#include "korvanth_config.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// The version as narrow text, and the user agent the launcher's requests carry.
#define LAUNCHER_VERSION KORVANTH_VERSION
#define LAUNCHER_USER_AGENT L"Korvanth/" KORVANTH_VERSION

// Buffer sizes of the path kinds, in characters with the terminator.
enum {
    LAUNCHER_PATH_CHARS = 260,  // the launcher folder and files directly in it
    CLIENT_REL_CHARS = 400,     // a client path relative to the launcher folder
    CLIENT_PATH_CHARS = 520,    // a client file's full path
    // A command line that names two launcher paths (the swap helper's, the
    // installed copy's).
    LAUNCHER_COMMAND_CHARS = 780,
};

// Private window messages through which worker threads report to the window
// (WM_APP is 0x8000). All are posted, never sent; a heap text in lParam
// belongs to the window once posted, and to the sender when the post fails.
enum {
    WM_LAUNCHER_STATUS = 0x8000 + 1,          // lParam: status text (wide, heap)
    WM_LAUNCHER_FILE_PROGRESS = 0x8000 + 2,   // wParam: permille of the current file
    WM_LAUNCHER_TOTAL_PROGRESS = 0x8000 + 3,  // wParam: permille of the whole pass
    WM_LAUNCHER_STATE = 0x8000 + 4,           // wParam: LauncherState, lParam: files left
    WM_LAUNCHER_GAME_EXITED = 0x8000 + 5,     // wParam: the game's exit code
    WM_LAUNCHER_SELF_UPDATE = 0x8000 + 6,     // lParam: path of the new launcher (heap)
    WM_LAUNCHER_DETAIL = 0x8000 + 7,          // lParam: detail text (heap) or 0 to clear
    WM_LAUNCHER_SERVER_INFO = 0x8000 + 8,     // lParam: server status and news (heap)
    WM_LAUNCHER_GRAPHICS = 0x8000 + 9,        // wParam: graphics bits of the pass
};

// Capacities of the posted status and detail texts, in characters with the
// terminator; the window keeps its copies in buffers of the same sizes.
enum {
    STATUS_TEXT_CHARS = 512,
    DETAIL_TEXT_CHARS = 256,
};

// What the window shows of the launcher's work.
enum LauncherState {
    Idle = 0,               // nothing reported yet
    Busy = 1,               // a worker pass is running
    UpToDate = 2,
    UpdateNeeded = 3,
    Failed = 4,
    ServerUnreachable = 5,
};


// ---------------------------------------------------------------------------
// The launcher's own files in its folder: one table, so that the log, the
// swap, the install's folder rules, the uninstall and the update pass agree
// on what is ours. A folder that holds only these is the launcher's.

enum OwnFileKind {
    OWN_LAUNCHER,  // the program itself
    OWN_STATE,     // what the launcher records of the client: the state file, kept chunk lists
    OWN_LOG,       // the log and its rotated copy
    OWN_SETTINGS,  // the player's settings
    OWN_WORKING,   // exists while work is under way (a swap, a save) or left by one
};

// The table's rows, in the order an uninstall deletes them: working files
// first, the state file next to last (a run killed on the way still finds
// the state's list the next time), the launcher last.
enum OwnFileId {
    OWN_FILE_NEW_LAUNCHER,       // "Korvanth.new": a downloaded launcher waiting for its swap
    OWN_FILE_NEW_LAUNCHER_PART,  // its download's working files
    OWN_FILE_NEW_LAUNCHER_TMP,
    OWN_FILE_SWAP_COPY,          // "Korvanth.swap": the new launcher on its first run,
                                 // until it has started and takes the launcher's name
    OWN_FILE_OLD_LAUNCHER,       // "Korvanth.old": the launcher a swap of older versions replaced
    OWN_FILE_STATE_TMP,          // a state save under way
    OWN_FILE_LOG_ROTATED,        // "Korvanth.log.1"
    OWN_FILE_LOG,                // "Korvanth.log"
    OWN_FILE_SETTINGS,           // "Korvanth.ini"
    OWN_FILE_CHUNK_LISTS,        // "Korvanth.chunks", a folder
    OWN_FILE_STATE,              // "Korvanth.state"
    OWN_FILE_LAUNCHER,           // "Korvanth.exe"
    OWN_FILE_COUNT,
};

struct OwnFile {
    const wchar_t *name;
    OwnFileKind kind;
    bool folder;  // a folder of ours, not a file
};

// The row of `id` (0 <= id < OWN_FILE_COUNT).
const OwnFile *own_file(OwnFileId id);
// Shorthand for own_file(id)->name.
const wchar_t *own_file_name(OwnFileId id);
// The row whose name is `name` (a bare name, any letter case), or null: the
// name is not one of ours.
const OwnFile *own_file_named(const wchar_t *name);

// ---------------------------------------------------------------------------
// Paths and files

// Joins `folder` and `name` with one backslash (none after a trailing one, none
// for an empty folder) into `dst`. Nothing is normalised. When
// len(folder) + len(name) + 2 exceeds `cap_chars`, `dst` becomes empty text.
// Returns `dst`.
wchar_t *path_join(wchar_t *dst, size_t cap_chars, const wchar_t *folder, const wchar_t *name);

// UTF-8 relative client path ("system/d3d9.dll") to a wide one with
// backslashes. Invalid UTF-8 becomes U+FFFD. `dst` is empty text on failure
// (the result does not fit).
void rel_path_to_wide(const char *rel_utf8, wchar_t *dst, size_t cap_chars);

// Both forms of a client file's path: `rel_wide` (CLIENT_REL_CHARS) holds the
// relative wide path, `full` (CLIENT_PATH_CHARS) the path below `folder`.
// Either is empty text when it cannot be formed.
void client_file_path(const char *rel_utf8, const wchar_t *folder, wchar_t *rel_wide,
                      wchar_t *full);

// Creates every missing folder on the way to the last component of `path`
// (which itself is never created). Returns 1 when all of them exist
// afterwards, 0 when one cannot be made (a file in the way, no access) or the
// path has 520 characters or more.
int make_parent_dirs(const wchar_t *path);

// Moves the file open as `file` (a HANDLE opened with DELETE access) to
// `destination`, replacing a file there as MoveFileExW with
// MOVEFILE_REPLACE_EXISTING does. The file stays open; the caller closes
// it. Moving it by its handle spares opening it again by name (a round
// trip to the system per file under Wine). 1, or 0 with the system's error
// code for GetLastError (a destination of 520 characters or more:
// ERROR_FILENAME_EXCED_RANGE).
int move_open_file(void *file, const wchar_t *destination);

// 1 for an existing file that is not a folder, with its size in bytes and its
// last-write time (FILETIME ticks) in the optional outputs; else 0.
int file_info(const wchar_t *path, uint64_t *size_out, uint64_t *write_time_out);

// The whole file at `path` in a malloc block with a NUL behind its bytes
// (`*got` of them, 0 when reading fails); null for a missing file, one
// larger than `max_bytes`, or when memory runs out. The caller frees it.
char *read_small_file(const wchar_t *path, uint32_t max_bytes, uint32_t *got);

// Bytes the calling user may still write below `folder`; UINT64_MAX when the
// query fails, which callers read as "enough".
uint64_t disk_free_bytes(const wchar_t *folder);

// ---------------------------------------------------------------------------
// Text

// UTF-8 to UTF-16, invalid bytes as U+FFFD. 0 when the text does not fit.
int utf8_to_wide(const char *text, wchar_t *dst, size_t cap_chars);
// UTF-16 to UTF-8, unpaired surrogates as U+FFFD. 0 when the text does not fit.
int wide_to_utf8(const wchar_t *text, char *dst, size_t cap_bytes);

// The text helpers below make no platform call, so that byte-level code that
// also builds natively (parsers, the feed scanner) can use them.

// Code point `cp` as UTF-8 into `out` (4 bytes of room); surrogates and
// values above U+10FFFF become U+FFFD. Returns the byte count, 1 to 4.
size_t utf8_encode(uint32_t cp, char *out);

// UTF-8 `text` (NUL-terminated) as UTF-16 units, written one by one also
// where wchar_t is wider than 16 bits; invalid bytes become U+FFFD, so valid
// text gives what MultiByteToWideChar gives. `dst` takes as many whole code
// points as fit in `cap_units` with the terminator, never half a surrogate
// pair. 1 when the whole text fit; 0 when it was cut, or when `cap_units` is
// 0 (then nothing is written).
int utf8_to_utf16_units(const char *text, wchar_t *dst, size_t cap_units);

// How many of the first `n_bytes` of `text` to keep so that a cut there
// splits no UTF-8 sequence: a lead byte C2..F4 followed by fewer continuation
// bytes than it announces is dropped together with them. Every other byte
// stays, broken ones too (C0, C1, F5..FF, stray continuation bytes): they
// begin no sequence, and a reader shows each as U+FFFD whether cut or not.
size_t utf8_cut_length(const char *text, size_t n_bytes);

// printf-style formatting with the Windows runtime rules for strings: in a
// wide format %s is a wide string and %S a narrow (UTF-8) one; in a narrow
// format %s is narrow and %S wide. %hs and %ls (%ws) name the kind outright.
// Conversions between the kinds are UTF-8, never the ANSI code page.
// Supported: flags -+ #0 and space, width and precision (also *), length
// modifiers hh h l ll L j z t I I32 I64 w, conversions d i u o x X c C s S
// p f F e E g G a A and %%. Precision on a string counts units of the
// argument (bytes of a narrow, UTF-16 units of a wide string).
//
// format_wide: the number of characters written; when the text with its
// terminator does not fit, `dst` holds as much as fits (never half a
// surrogate pair) and the result is negative.
int format_wide(wchar_t *dst, size_t cap_chars, const wchar_t *fmt, ...);
int format_wide_v(wchar_t *dst, size_t cap_chars, const wchar_t *fmt, va_list args);

// format_narrow: like snprintf: `dst` always ends with a terminator within
// `cap_bytes` (never inside a UTF-8 sequence when cut); the result is the
// length the complete text would have, negative on a format error (then
// `dst` is empty text).
int format_narrow(char *dst, size_t cap_bytes, const char *fmt, ...);
int format_narrow_v(char *dst, size_t cap_bytes, const char *fmt, va_list args);

// ---------------------------------------------------------------------------
// Log file "Korvanth.log" in the launcher folder: one UTF-8 line per event,
// stamped in UTC, appended with an open-append-close per line. Nothing is
// written before log_open. Logging never fails visibly.

// Sets the log path, creates the lock on the first call, and moves a log of
// more than 1 MiB to "Korvanth.log.1". Call once before other threads exist.
void log_open(const wchar_t *launcher_folder);
// Formats (UTF-8, at most 1023 bytes of text) and writes one line.
void log_printf(const char *fmt, ...);
// Formats (at most 1023 UTF-16 units), converts to UTF-8 and writes one line.
void log_wprintf(const wchar_t *fmt, ...);
// Writes one line: the stamp, `text_utf8`, CR LF.
void log_write_line(const char *text_utf8);

// ---------------------------------------------------------------------------
// Pacing of progress posts

// How often one kind of progress may reach the window. An eye sees a bar
// move about ten times a second and reads a line with a speed in it about
// twice; every post costs a trip to the system on both sides.
enum PaceInterval {
    PACE_GATE_MS = 30,    // a download bar's value, coalesced by its gate
    PACE_BAR_MS = 100,    // a bar, or a count that moves like one
    PACE_TEXT_MS = 500,   // a detail line with sizes and a speed
};

// When one kind of post was last due. Zeroed: as if last due at tick 0.
// Several threads may offer to one throttle at once: of those that find it
// due at one moment, one is told so. Ticks come in as numbers: no platform
// call, so byte-level code that also builds natively can use it.
struct Throttle {
    volatile long last;
};

// 1 when `interval` milliseconds have passed since the throttle was last
// due, recording `now` as its last; else 0.
int throttle_due(Throttle *t, PaceInterval interval, uint32_t now);
// Records `now` as the last due, whatever came before (a post made anyway).
void throttle_reset(Throttle *t, uint32_t now);
// Makes the next offer due at once, at `now` or later.
void throttle_arm(Throttle *t, PaceInterval interval, uint32_t now);
// Milliseconds from `now` until the throttle is due again; 0 when it is.
uint32_t throttle_wait_ms(const Throttle *t, PaceInterval interval, uint32_t now);

// ---------------------------------------------------------------------------
// Posted texts

// Takes the heap text out of a posted launcher message: for
// WM_LAUNCHER_STATUS, WM_LAUNCHER_DETAIL and WM_LAUNCHER_SELF_UPDATE with a
// non-null `lparam`, copies the text into `dst` (cut to `cap_chars`) and
// frees the heap block; returns 1. Any other message, or a null text: `dst`
// becomes empty text, nothing is freed, and the result is 0.
int take_posted_text(unsigned message, intptr_t lparam, wchar_t *dst, size_t cap_chars);

// ---------------------------------------------------------------------------
// Display density: windows scale their sizes, places and fonts from 96 per
// inch by it.

// The screen's density; 96 when it cannot be read.
int screen_dpi(void);
// The density of `window` (an HWND; GetDpiForWindow where the system has
// it), else the screen's.
int window_dpi(void *window);

// ---------------------------------------------------------------------------
// Command line

// 1 when an argument of `command_line` (as CommandLineToArgvW splits it)
// from the second on is exactly `option`; 0 otherwise or when it cannot be
// split.
int has_argument(const wchar_t *command_line, const wchar_t *option);

// ---------------------------------------------------------------------------
// Test seams (process-wide; set them while no other thread uses them)

// The clock of every progress post: GetTickCount unless a test sets another
// one.
extern uint32_t (*progress_tick)(void);
