// The update pass: the worker that makes the client folder match the
// current signed release, in steps (the player's state loaded, the release
// found, the Vulkan probe, the comparison, the downloads and chunked
// rebuilds, the release recorded), with the folder listings of its
// comparison and the move of an old-layout client.
//
// Who owns what:
// - Threads. A pass runs on a thread of its own (worker_start), one pass at
//   a time: the running flag is claimed by compare-and-exchange and released
//   last, after the pass's final message. The pass works on its own copy of
//   the request; the window stops it only through the cancel flag and never
//   waits for it. The release search (release/) asks the mirrors on threads
//   of its own; an Update pass's download phase adds carrier threads (the
//   objects on the wire) and one judge thread (unpacking, checking, moving
//   into place), a rebuild (rebuild/) carriers for its chunks, and a large
//   object an unpacking or hashing thread (fetch/). All of them end before
//   the pass does; their results are taken in on the pass's thread in the
//   entries' order.
// - Messages. A pass never touches window state: it reports through the
//   posted WM_LAUNCHER_* messages of base/base.h. Their heap blocks belong to
//   the window once posted; a failed post frees them here.
// - Memory. A pass owns its manifest, state records and pending list and
//   frees them at its end.
// - Files. Only a pass writes the state file: loaded at its start, saved
//   before the Vulkan probe, after the comparison, about once a second while
//   files land and at the end. A new launcher lands as "Korvanth.new" in the
//   launcher folder, for the self-update. Objects travel through working
//   files beside their destination (fetch/), chunked files through their
//   part file (rebuild/).
// - The registry. A pass only refreshes the size of its folder's entry in
//   the list of installed apps, when the folder has one (folder/).
//
// Test seams: in the last section, and those of fetch/ and base/.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/base.h"
#include "content/content.h"
#include "manifest/manifest.h"

// ---------------------------------------------------------------------------
// Folder listings for the comparison

enum {
    FOLDER_LISTING_SLOTS = 8,  // folders held at once, the least recently used replaced
};

enum ListingKind {
    LISTING_NONE = 0,     // slot unused
    LISTING_HELD = 1,     // the folder's entries, sorted by name
    LISTING_ABSENT = 2,   // the folder does not exist
    LISTING_UNKNOWN = 3,  // could not be listed whole: every file is asked for
};

struct FolderListing {
    wchar_t folder[CLIENT_PATH_CHARS];
    ListingKind kind;
    uint32_t last_use;
    void *files;        // `count` entries, private to folder_listing.cpp
    int count;
    int capacity;
    wchar_t *names;
    size_t names_used;
};

// Zero-initialise; folder_listings_forget releases everything it holds.
struct FolderListings {
    FolderListing slots[FOLDER_LISTING_SLOTS];
    uint32_t uses;
    int recent;  // the slot that answered last
};

// The answer file_info(path, size_out, write_time_out) gives, taken from a
// listing of the path's folder where that is certain to be the same, with
// one enumeration per folder instead of one question per file. Listings are
// not refreshed: forget them after changing a listed folder.
int listed_file_info(FolderListings *listings, const wchar_t *path, uint64_t *size_out,
                     uint64_t *write_time_out);
void folder_listings_forget(FolderListings *listings);

// ---------------------------------------------------------------------------
// Update worker

enum WorkerMode {
    Check = 1,   // trust matching state records, download nothing
    Verify = 2,  // hash every present file, download nothing
    Update = 3,  // trust records, download what differs, record the release
};

// The request of one pass; copied when the pass starts.
struct WorkerParams {
    void *window;                               // HWND receiving every message
    wchar_t client_folder[LAUNCHER_PATH_CHARS];
    WorkerMode mode;
    volatile long cancel;                       // set by worker_request_cancel
    int32_t custom_interface;                   // 0/1
    int32_t dxvk;                               // -1 undecided, 0 off, 1 on
    int32_t dxvk_trial;                         // 0/1
};

// Bits of WM_LAUNCHER_GRAPHICS's wParam.
enum {
    GRAPHICS_DXVK_OFFERED = 1,
    GRAPHICS_DXVK_ON = 2,
    GRAPHICS_DXVK_TRIAL = 4,
};

// Starts one pass on its own thread. 0 when a pass is running already or the
// thread cannot be created.
int worker_start(const WorkerParams *params);
// 1 while a pass runs (until after its last message).
int worker_is_running(void);
// Asks the running pass to stop at its next test point; does not wait.
void worker_request_cancel(void);
// Waits up to `wait_ms` for the last pass's thread to end, with every thread
// it started. 1 when no thread of a pass is left (or none was started), 0
// when it still runs. Called by the thread that starts passes.
int worker_wait(uint32_t wait_ms);
// The thread routine; `params` is the worker's own copy. Returns 0.
unsigned long update_worker_main(void *params);

// Whether `entry` belongs in the folder under the state's flags.
int is_entry_wanted(const ManifestEntry *entry, const LocalState *state);
// The first optional entry whose id is `id`, or null.
const ManifestEntry *find_optional_entry(const Manifest *manifest, const char *id);

// ---------------------------------------------------------------------------
// Legacy folder migration: clients of the 0.1 series lived in "Drumveil"
// beside the launcher, and their state paths began with "Drumveil/".

// Moves a managed legacy client up into `folder`; does nothing (or only
// logs) in every other case.
void migrate_legacy_folder(void *window, const wchar_t *folder);
// 1 when the folder's state file reads and has a path under "Drumveil/".
int state_has_legacy_paths(const wchar_t *folder);

// Deletes the files the manifest's "remove" list names (folders stay) and
// drops their state records.
void remove_listed_files(const Manifest *manifest, LocalState *state, const wchar_t *folder);

// ---------------------------------------------------------------------------
// Test seams (process-wide; set them while no pass runs)

// The launcher file the launcher step compares with the release's launcher:
// the running program unless set (the console driver names the folder's
// Korvanth.exe). Null restores the default.
void worker_set_launcher_file(const wchar_t *path);

// Sets the objects on the wire at once for the passes started afterwards
// (tests); 0 restores DOWNLOAD_CONNECTIONS. Returns the number it replaced.
int worker_set_connections(int count);
// Holds the downloads of the passes started afterwards to `bytes_per_second`
// (0: no limit) whatever the folder's settings file says; below 0 (the
// default) each pass takes the limit the settings file holds as it starts.
void worker_set_rate_limit(int64_t bytes_per_second);

// Free-space source of the disk test (disk_free_bytes unless a test sets
// another one).
extern uint64_t (*worker_disk_free)(const wchar_t *folder);
