// The folder's own records, used by the update pass, the window, the
// installer, the uninstall and the headless driver: the lock that lets one
// process at a time work on a folder, the folder's entry in the list of
// installed apps with its size, and the player's choices kept in the state
// file.
//
// Who owns what: a FolderLock's mutex belongs to the thread that took it and
// is released (and closed) by folder_lock_release or the process's end. The
// entry's registry keys are opened and closed within each call.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/base.h"
#include "manifest/manifest.h"

// ---------------------------------------------------------------------------
// The player's choices

// The player's three choices a pass starts with, as the state file of
// `folder` holds them. 1 when the file was read and the outputs set; 0 (no
// file, unreadable) leaves the outputs as they were.
int read_player_flags(const wchar_t *folder, int32_t *custom_interface, int32_t *dxvk,
                      int32_t *dxvk_trial);

// ---------------------------------------------------------------------------
// The folder's settings file ("Korvanth.ini"): the download limit, in
// section [download], key "limit": "off" or a rate such as "500 KB/s" or
// "2.5 MB/s" (units of 1,024 bytes). Text functions without platform calls.

enum {
    SETTINGS_MAX_BYTES = 65536,  // a larger file is treated as missing
    RATE_TEXT_BYTES = 24,
};

// The value of `key` in `section` of the settings text (names in any letter
// case, spaces around them and the value dropped) into `out` of `cap`
// bytes: 1, or 0 when there is none or it does not fit.
int settings_get(const char *text, size_t len, const char *section, const char *key, char *out,
                 size_t cap);
// The text with `key` in `section` set to `value` (the key's line replaced,
// or added at the section's end, or the section added at the text's end),
// into `out` of `cap` bytes: its length, 0 when it does not fit.
size_t settings_set(const char *text, size_t len, const char *section, const char *key,
                    const char *value, char *out, size_t cap);
// A limit text as bytes per second (0: no limit, for "off", "0" and an empty
// text). False for any other text, or a rate below 1 KB/s or above 10 GB/s.
bool rate_limit_parse(const char *text, uint64_t *bytes_per_second);
// "off", "5 MB/s" (a whole number of MB), else "500 KB/s" (rounded).
void rate_limit_format(uint64_t bytes_per_second, char *out, size_t cap);
// The folder's limit; 0 without a file, a key or a value understood (logged).
uint64_t read_rate_limit(const wchar_t *folder);
// Keeps the limit in the folder's settings file: 1, or 0 when it could not
// be written (the old file is then as it was).
int write_rate_limit(const wchar_t *folder, uint64_t bytes_per_second);

// ---------------------------------------------------------------------------
// One process per folder: passes of two processes on one folder would write
// the same part files and state file, so whoever runs passes on a folder (the
// launcher, korvanth-cli) holds the folder's named mutex first.

enum {
    // "Local\Korvanth.folder." and 64 hexadecimal digits, with the terminator.
    FOLDER_LOCK_NAME_CHARS = 96,
};

enum FolderLockResult {
    FOLDER_LOCK_OWNED = 1,  // this process holds the folder
    FOLDER_LOCK_HELD = 0,   // another process holds it
    FOLDER_LOCK_NONE = -1,  // no lock could be made: the folder is not guarded
};

// Zero-initialise; folder_lock_release closes what a take opened.
struct FolderLock {
    void *mutex;  // HANDLE, or null
    int owned;    // 1 while this process holds it
};

// The lock name of `folder` (any form GetFullPathNameW takes): the SHA-256
// of its full path, trailing backslashes dropped except a drive root's,
// upper-cased in the invariant locale, as UTF-16. Letter case does not make
// two names for one folder. 0, with `dst` empty, when the full path has 520
// characters or more or the name does not fit `cap_chars`
// (FOLDER_LOCK_NAME_CHARS always holds it).
int folder_lock_name(const wchar_t *folder, wchar_t *dst, size_t cap_chars);
// Opens `folder`'s mutex and waits up to `wait_ms` to hold it: a
// FolderLockResult. A holder that ended without letting go leaves it to the
// next waiter. HELD also when the mutex exists but this process may not open
// it (made by an elevated launcher); the wait then passes all the same.
FolderLockResult folder_lock_take(FolderLock *lock, const wchar_t *folder, uint32_t wait_ms);
// After a take answered HELD: waits up to `wait_ms` more (a FolderLockResult;
// OWNED at once when held already).
FolderLockResult folder_lock_wait(FolderLock *lock, uint32_t wait_ms);
// Lets go of the folder (when held; call it on the thread that took it) and
// closes the handle. Ending the process does the same.
void folder_lock_release(FolderLock *lock);

// ---------------------------------------------------------------------------
// The entry in the current user's list of installed apps
// (HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\<key>): written
// at install and at every start of a launcher in place, its size refreshed at
// the end of every pass, removed by the uninstall once the files are. The first
// installation's key is "Korvanth"; another folder's, while that one is taken
// by a folder whose launcher exists, "Korvanth-" and the first eight
// hexadecimal digits of the folder's lock hash (folder_lock_name).

// The option of the entry's uninstall command: "<folder>\Korvanth.exe" --uninstall.
#define UNINSTALL_OPTION L"--uninstall"

enum {
    UNINSTALL_KEY_CHARS = 24,  // "Korvanth-" and eight digits, with the terminator
};

// The key name of `folder`'s entry into `key` (`cap_chars`, UNINSTALL_KEY_CHARS
// holds it): an entry belongs to the folder when its uninstall command names
// the folder's Korvanth.exe or its install location is the folder (in any
// spelling). 1 when there is one; 0 with `key` empty.
int uninstall_entry_find(const wchar_t *folder, wchar_t *key, size_t cap_chars);
// Writes (creates or rewrites) `folder`'s entry: display name "Korvanth" (with
// the folder in brackets under a suffixed key), icon and uninstall command of
// its Korvanth.exe, version LAUNCHER_VERSION, publisher, install location,
// EstimatedSize `size_kib`, no modify and no repair. 1 when every value was set.
int uninstall_entry_write(const wchar_t *folder, uint32_t size_kib);
// Sets the EstimatedSize of `folder`'s entry, when there is one, to
// installed_size_kib(folder, state) if it differs; writes nothing otherwise.
void uninstall_entry_refresh_size(const wchar_t *folder, const LocalState *state);
// The install location `folder`'s entry names (`cap_chars`; empty when
// missing). 1 when the folder has an entry.
int uninstall_entry_location(const wchar_t *folder, wchar_t *location, size_t cap_chars);
// Deletes `folder`'s entry. 1 when it is gone (or there was none).
int uninstall_entry_remove(const wchar_t *folder);
// KiB (rounded up, at most UINT32_MAX) of `folder`'s Korvanth.exe and of the
// files `state` records (null: the folder's state file is read).
uint32_t installed_size_kib(const wchar_t *folder, const LocalState *state);
