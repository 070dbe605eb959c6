// Update engine: the update pass that makes the client folder match the
// current signed release, and its parts: mirrors and manifest fetch, object
// download, progress reporting, the folder listings of the comparison and
// the move of an old-layout client.
//
// Who owns what:
// - Threads. A pass runs on a thread of its own (worker_start), one pass at
//   a time: the running flag is claimed by compare-and-exchange and released
//   last, after the pass's final message. The pass works on its own copy of
//   the request; the window stops it only through the cancel flag and never
//   waits for it. Its manifest step asks the mirrors of a round at once, a
//   thread per mirror that only downloads. An Update pass's download phase
//   adds carrier threads (the objects on the wire) and one judge thread
//   (unpacking, checking, moving into place), and a large object an
//   unpacking or hashing thread of its own while it downloads
//   (UnpackStream). All of them end before the pass does; their results are
//   taken in on the pass's thread in the entries' order.
// - Messages. A pass never touches window state: it reports through the
//   posted WM_LAUNCHER_* messages of base/base.h. Their heap blocks (status
//   and detail texts, the new launcher's path) come from the process heap
//   and belong to the window once posted; a failed post frees them here.
// - Memory. A pass owns its manifest, state records and pending list and
//   frees them at its end. A manifest from fetch_manifest is the caller's
//   (manifest_free); unpack_stream_finish frees its stream; an ObjectFetch
//   lives in the caller's memory, and fetch_finish or fetch_release lets go
//   of what it holds.
// - Files. Only a pass writes the state file "Korvanth.state": loaded at its
//   start, saved before the Vulkan probe, after the comparison, about once a
//   second while files land and at the end. An object travels through "<destination>.part" (kept
//   when a transfer breaks, so that a later attempt or pass resumes it) and
//   "<destination>.tmp" (a gzip object's content), both beside the
//   destination and gone once the object is in place. A new launcher lands
//   as "Korvanth.new" in the launcher folder, for the self-update.
// - The registry. A pass only refreshes the size of its folder's entry in
//   the list of installed apps, when the folder has one (uninstall_entry_*);
//   the installer and the launcher's start write it, the uninstall removes it.
// - Test seams (progress_tick, worker_disk_free, mirrors_set_builtin,
//   worker_set_connections, worker_set_launcher_file) are process-wide: set
//   them while no pass runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/base.h"
#include "content/content.h"
#include "manifest/manifest.h"

// ---------------------------------------------------------------------------
// Progress and time-left reporting

enum BarKind { BAR_FILE, BAR_TOTAL, BAR_KINDS };

// A pass's bar posts, coalesced. A download of many small files would
// otherwise post each bar at every file's start and end, several posts a
// file that each cost a trip to the system on both sides, while an eye sees
// a bar move at most about every BAR_GATE_MS. So a value offered within
// BAR_GATE_MS of its bar's last post is held, and posted once it is due;
// a held value that a newer one replaces is never posted, nor is a value
// the bar already shows. Zeroed: nothing posted yet.
enum { BAR_GATE_MS = 30 };
struct BarGate {
    void *lock;                    // an SRW lock (zero: unlocked); see post_bar
    int closed;                    // the pass has ended: nothing more is posted
    int posted_any[BAR_KINDS];     // 1 once the bar was posted
    int holding[BAR_KINDS];        // 1: `held` waits to be posted
    uint32_t posted[BAR_KINDS];    // the value last posted
    uint32_t posted_time[BAR_KINDS];  // ... at this tick
    uint32_t held[BAR_KINDS];
};

// The gate's decisions at tick `now`, without any platform call.
// bar_gate_offer: 1 when `value` is to be posted now (recorded as posted),
// else 0 (held, or nothing to post). bar_gate_take: 1 with the held value of
// `kind` in *value (recorded as posted) when it is due, or held at all with
// `all`. bar_gate_wait_ms: milliseconds until a held value is due (at least
// 1), UINT32_MAX when none is held.
int bar_gate_offer(BarGate *gate, int kind, uint32_t value, uint32_t now);
int bar_gate_take(BarGate *gate, int kind, uint32_t now, int all, uint32_t *value);
uint32_t bar_gate_wait_ms(const BarGate *gate, uint32_t now);

// What the transfers of one pass that run at once share: the pass's bytes,
// so that the total bar and the detail line count every transfer, and which
// of them the file bar and the detail line follow (the newest, the one the
// status line names); the bar posts of the pass and the tick of its last
// detail line (a line every 500 ms for the pass, not for each object).
struct DownloadShare {
    volatile int64_t done;         // wire bytes: finished objects and every transfer's present
    volatile long speaker;         // ticket of the transfer the file bar follows
    volatile long abandon;         // the pass has ended: every transfer stops
    volatile long text_time;       // tick of the last detail line posted
    BarGate bars;
};

// Context of one object download, handed to the HTTP client as its progress
// context. Created zeroed per object, so the speed estimate starts afresh.
struct DownloadProgress {
    void *window;                  // HWND receiving the messages
    uint32_t last_bar_time;        // tick of the last bar update
    volatile long *cancel_flag;    // the worker's cancel flag
    uint64_t finished_before;      // wire bytes of the run finished before this object
    uint64_t run_total;            // wire bytes of the whole run; 0: no total bar, no detail
    uint32_t sample_time;          // tick of the last speed sample; 0 before the first
    uint64_t sample_bytes;         // run bytes at the last sample
    double speed;                  // smoothed bytes per second; 0 until measured
    uint32_t last_text_time;       // tick of the last detail line
    DownloadShare *share;          // null: the only transfer of its pass
    long ticket;                   // this transfer's, as the share's speaker names it
    uint64_t shared_present;       // present bytes as last added to the share
};

// What one progress report asks to post; filled by download_progress_step.
struct ProgressPosts {
    int stop;                      // 1: cancelled; nothing is posted
    int bars;                      // 1: post the file bar (and the total bar if run_total)
    uint32_t file_permille;
    uint32_t total_permille;
    int detail;                    // 1: post `detail_text`
    wchar_t detail_text[DETAIL_TEXT_CHARS];
};

// The decisions of one progress report at tick `now`, without any platform
// call: the bar and detail-line rates (100 ms, 500 ms), the speed sampled
// every 2 s and smoothed by halves, and the texts. When the bytes present
// fall below the last sample (a restarted transfer), a new sample is taken
// instead of measuring a negative rate.
void download_progress_step(DownloadProgress *progress, uint32_t now, uint64_t present,
                            uint64_t expected, ProgressPosts *posts);

// The HTTP client's progress function: `context` is a DownloadProgress.
// Posts the bars and the detail line; 0 (stop the transfer) when the cancel
// flag is set (or the share's pass has ended), else 1. With a share, the
// run's bytes are the share's, only the speaker posts the file bar and the
// detail line, and the bars go through the share's gate.
int report_download_progress(void *context, uint64_t present, uint64_t expected);

// A bar's value through the share's gate (WM_LAUNCHER_FILE_PROGRESS or
// WM_LAUNCHER_TOTAL_PROGRESS to `window`, now or once due). Any thread.
void post_bar(DownloadShare *share, void *window, int kind, uint32_t permille);
// Posts the held bars that are due; returns the milliseconds until the next
// one is (UINT32_MAX: none held), for a wait that posts them in time.
uint32_t post_due_bars(DownloadShare *share, void *window);
// Posts every held bar at once, and nothing after it: the pass's bars end
// on their last values before its last messages.
void close_bars(DownloadShare *share, void *window);

// The share's bytes as one reading (a 64-bit load is two on this platform).
uint64_t download_share_done(DownloadShare *share);
// Adds `bytes` (negative: takes away) to the share's bytes.
void download_share_add(DownloadShare *share, int64_t bytes);

// "1.0 GB", "1024 MB", "12 KB": units of 1,024, GB with one decimal.
void format_size(uint64_t bytes, wchar_t *out, size_t cap_chars);

// The detail line of a download: "1.2 GB of 6.8 GB, 3.4 MB/s, about 28 min
// left", or "DONE of TOTAL" while no speed above 1 KiB/s is known.
void format_progress_text(uint64_t done, uint64_t total, double speed, wchar_t *out,
                          size_t cap_chars);

// Status line: formats (cut to STATUS_TEXT_CHARS) into a heap text and posts
// WM_LAUNCHER_STATUS.
void post_status(void *window, const wchar_t *fmt, ...);
// Detail line: a heap copy cut to DETAIL_TEXT_CHARS, or null to clear it.
void post_progress_text(void *window, const wchar_t *text);
// The last message of a pass: WM_LAUNCHER_STATE with the state and a count.
void post_finished(void *window, LauncherState state, int count);

// Tick source of report_download_progress (GetTickCount unless a test sets
// another one).
extern uint32_t (*progress_tick)(void);

// ---------------------------------------------------------------------------
// Mirrors and manifest fetch

enum {
    MIRROR_SLOTS = 6,
    MANIFEST_BODY_LIMIT = 4194304,
    SIGNATURE_BODY_LIMIT = 4096,
};

// Base URLs in the order they are tried, each ending in "/". As
// build_mirror_list makes it, slots 0 and 1 are the built-in download host
// and the web site's "files/" folder; as fetch_manifest leaves it, it holds
// the mirrors a pass may take objects from.
struct MirrorList {
    wchar_t url[MIRROR_SLOTS][MIRROR_CHARS];
    // Bit m set: mirror m lost its turn for the rest of the pass (the
    // slow-transfer rule cut one of its transfers). The carriers of a pass
    // set bits at once (interlocked); an object goes to a benched mirror
    // only when every other one has failed it.
    volatile long benched;
};

// Fills `list` with the built-in pair and, given a manifest, its mirrors that
// differ (ignoring case) from those already listed, up to six in all; no
// mirror benched. Returns the count (2 to 6).
int build_mirror_list(const Manifest *manifest, MirrorList *list);
// Appends the manifest's mirrors that differ (ignoring case) from the first
// `count` of `list`, up to six in all. Returns the new count.
int add_manifest_mirrors(const Manifest *manifest, MirrorList *list, int count);

// Replaces the two built-in mirrors for this process (tests and tools that
// serve releases from a local mirror on a port chosen at run time); null
// restores the built-in ones.
void mirrors_set_builtin(const wchar_t *download_url, const wchar_t *files_url);

// One pass's search for the release to apply (fetch_manifest). The caller
// fills the inputs; the outputs are set whatever the result.
struct ReleaseSearch {
    void *window;                       // in: receives "Invalid version" statuses
    int64_t applied_time;               // in: older releases are refused (equal is accepted)
    int64_t now;                        // in: seconds since 1970, for "expires"
    // In: the highest key list version accepted before and the SHA-256 of
    // that list; out: the same after this search (a newer list accepted).
    // Unused without root keys.
    uint64_t keys_version;
    uint8_t keys_digest[SHA256_BYTES];
    // In: the mirrors to ask first (the built-in pair); out: those a pass
    // takes objects from: these and the release's own, without any that
    // served an older release, those cut by the slow-transfer rule benched.
    MirrorList mirrors;
    int mirror_count;
    int mirror_index;     // out: the slot of the mirror that served the release
    int older_seen;       // out: some mirror served a signed release older than the applied one
    int keys_refused;     // out: with root keys, mirrors answered but no key list was accepted
    int expired;          // out: every signed release served had passed its "expires"
    char newest_expiry[MANIFEST_GENERATED_BYTES];  // out: with `expired`, the latest of them
};

// Asks every mirror for its manifest pair (and, with root keys, its key list
// pair), the first mirrors, then those the newest release names, and takes
// the newest release that verifies and is not older than the applied one.
// With root keys a manifest verifies only under a release key of the newest
// key list a root signed, which is never older than the one accepted before.
// A mirror whose manifest pair verifies under no key is asked once more for
// both past the caches (a cache may hold an old one of the two).
// Returns 1 with the manifest (the caller frees it), or 0 when no mirror gave
// one. Every refusal is logged with its cause; a manifest that does not
// verify posts "Invalid version".
int fetch_manifest(ReleaseSearch *search, Manifest *manifest);

// ---------------------------------------------------------------------------
// Object download

// A gzip object unpacked, or a plain object hashed, on a thread of its own
// while it downloads (see download_object). Open it before the download with
// the part file, the output file (null: hash the part file's bytes only),
// the object's progress context and the pool whose threads run streams (null:
// the stream starts a thread of its own), pass unpack_stream_progress with
// the stream as the download's progress function, and end it with
// unpack_stream_finish whatever the download's result.
struct UnpackStream;

// Threads kept for the streams of many objects, one per stream running at
// once; streams of several threads may share a pool. Close it after the
// last of its streams has finished. Null when out of resources.
struct UnpackPool;
UnpackPool *unpack_pool_open(void);
// Ends its threads and frees it (null: nothing).
void unpack_pool_close(UnpackPool *pool);

// Null when out of resources (then unpack the complete file afterwards).
UnpackStream *unpack_stream_open(const wchar_t *gz_path, const wchar_t *out_path,
                                 DownloadProgress *progress, UnpackPool *pool);

// The download's progress function (`context` is the stream): lets the
// decoder read up to `present` bytes, then reports to the progress context.
int unpack_stream_progress(void *context, uint64_t present, uint64_t expected);

// Waits for the decoder and frees the stream. `download_ok`: the download
// delivered the whole object. Result: 1 with the digest of the decoded bytes
// in the output file (of the part file's bytes when hashing only); 0 when
// the object is not a valid gzip member (`error_text`, GZIP_ERROR_TEXT_BYTES,
// as gunzip_file_hashed gives it; no output file; never when hashing only);
// -1 when the stream is of no use (the download failed or started over, the
// thread never started or could not read): no output file, and on a good
// download the caller unpacks or hashes the part file itself.
int unpack_stream_finish(UnpackStream *s, int download_ok, uint8_t digest[SHA256_BYTES],
                         char *error_text);

// Brings `entry` to `destination` (a full path that leaves room for ".part"
// within CLIENT_PATH_CHARS; a longer one is refused, logged): mirrors from
// *start_index on, the gzip object first when the entry has a packed size,
// three attempts per variant and mirror, except that a mirror the
// slow-transfer rule cuts is benched in `list` and left at once (it is
// tried again only when every other mirror has failed the object), resumed
// through "<destination>.part",
// unpacked into "<destination>.tmp", moved into place only with the right
// digest. `run_done` and `run_total` are wire bytes of
// the whole pass, for the progress bars.
// Returns 1 (in place; *start_index is the mirror that delivered), 0 (not
// brought in; a part file may remain for a later resume) or -1 (cancelled).
int download_object(void *window, MirrorList *list, int count, int *start_index,
                    const ManifestEntry *entry, const wchar_t *destination,
                    volatile long *cancel_flag, uint64_t run_done, uint64_t run_total);

// The same in steps, so that the worker can judge objects (unpack, check,
// move into place) while later ones download. One ObjectFetch is one
// entry's way through the mirrors and variants, exactly as download_object
// goes it:
//   fetch_begin     sets it up (0, logged: the destination or a working
//                   file's path does not fit, or the parent folders cannot
//                   be made);
//   fetch_transfer  runs attempts until one delivers the whole object
//                   (FETCH_TRANSFERRED) or ends as download_object would end
//                   (0 or -1);
//   fetch_judge     unpacks and checks what arrived and moves it into place:
//                   1, 0 (the move failed), or FETCH_GO_ON when the object was
//                   refused and the fetch goes on with its next attempt;
//   fetch_finish    goes on from a judge's result to the end (1, 0 or -1)
//                   and releases what the fetch holds;
//   fetch_release   releases it without going on (a part file stays).
// Transfers run on the pass's carrier threads, several at once, judgements
// on a thread of their own; what a fetch's result means for the pass is
// taken in on the worker thread, in the entries' order.
enum {
    FETCH_GO_ON = 2,
    FETCH_TRANSFERRED = 3,
    // Gzip objects smaller than this travel in memory (when no part file of
    // theirs exists): the body buffer a fetch is given holds this much.
    FETCH_MEMORY_BYTES = 1048576,
    // Objects on the wire at once in an update pass, each over a connection
    // of its own (1: one after the other), and the most a test may set.
    DOWNLOAD_CONNECTIONS = 4,
    DOWNLOAD_CONNECTIONS_MAX = 8,
};

// Sets the objects on the wire at once for the passes started afterwards
// (tests); 0 restores DOWNLOAD_CONNECTIONS. Returns the number it replaced.
int worker_set_connections(int count);

struct ObjectFetch {
    const ManifestEntry *entry;
    wchar_t destination[CLIENT_PATH_CHARS];
    wchar_t part[CLIENT_PATH_CHARS];
    wchar_t tmp[CLIENT_PATH_CHARS];
    char hex[SHA256_HEX_CHARS];
    DownloadProgress progress;
    // Where the fetch stands: mirror step from `start`, variant, attempts
    // made on it, and the variant whose bytes the part file may hold.
    int start, step, variant, attempt, last;
    // Benched mirrors this fetch passed over (bits), and whether it has gone
    // back to them because every other mirror failed it.
    int passed_over;
    bool last_resort;
    // What the last transfer delivered.
    int mirror;                    // its slot: the next object starts there
    UnpackStream *stream;          // unpacking or hashing it, when large
    char *body_buffer;             // the caller's, for the packed size, or null
    void *session;                 // the carrier's HTTP session, or null: one per GET
    UnpackPool *unpackers;         // the pass's, or null: a thread per stream
    bool in_memory;                // it holds the object: `body_length` bytes
    // The caller's buffer of the entry's size, or null: a gzip object that
    // travelled in memory is unpacked there instead of into a file, and
    // `plain_held` says it holds the checked content (nothing moves into
    // place).
    uint8_t *plain_out;
    bool plain_held;
    uint32_t body_length;
    bool digest_known;             // `digest` is the plain object's
    int unpacked;
    uint8_t digest[SHA256_BYTES];
    char error[GZIP_ERROR_TEXT_BYTES];
};

int fetch_begin(ObjectFetch *f, void *window, const ManifestEntry *entry,
                const wchar_t *destination, int start_index, volatile long *cancel_flag,
                uint64_t run_done, uint64_t run_total, char *body_buffer);
int fetch_transfer(ObjectFetch *f, MirrorList *list, int count);
int fetch_judge(ObjectFetch *f, const MirrorList *list);
int fetch_finish(ObjectFetch *f, MirrorList *list, int count, int judged);
void fetch_release(ObjectFetch *f);

// Deletes the files the manifest's "remove" list names (folders stay) and
// drops their state records.
void remove_listed_files(const Manifest *manifest, LocalState *state, const wchar_t *folder);

// The index-th entry of the files entries followed by the optional entries.
const ManifestEntry *manifest_item(const Manifest *manifest, int index);

// Bytes an entry costs on the wire: its packed size, or its size without one.
uint64_t entry_wire_size(const ManifestEntry *entry);

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
    int kind;           // a ListingKind
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
    int32_t mode;                               // WorkerMode
    volatile long cancel;                       // set by worker_request_cancel
    int32_t custom_interface;                   // 0/1
    int32_t dxvk;                               // -1 undecided, 0 off, 1 on
    int32_t dxvk_trial;                         // 0/1
};

// The player's three choices a pass starts with, as the state file of
// `folder` holds them. 1 when the file was read and the outputs set; 0 (no
// file, unreadable) leaves the outputs as they were.
int read_player_flags(const wchar_t *folder, int32_t *custom_interface, int32_t *dxvk,
                      int32_t *dxvk_trial);

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
// The thread routine; `params` is the worker's own copy. Returns 0.
unsigned long update_worker_main(void *params);

// Whether `entry` belongs in the folder under the state's flags.
int is_entry_wanted(const ManifestEntry *entry, const LocalState *state);
// The first optional entry whose id is `id`, or null.
const ManifestEntry *find_optional_entry(const Manifest *manifest, const char *id);

// The launcher file the launcher step compares with the release's launcher:
// the running program unless set (the console driver names the folder's
// Korvanth.exe). Null restores the default.
void worker_set_launcher_file(const wchar_t *path);

// Free-space source of the disk test (disk_free_bytes unless a test sets
// another one).
extern uint64_t (*worker_disk_free)(const wchar_t *folder);

// ---------------------------------------------------------------------------
// Legacy folder migration: clients of the 0.1 series lived in "Drumveil"
// beside the launcher, and their state paths began with "Drumveil/".

// Moves a managed legacy client up into `folder`; does nothing (or only
// logs) in every other case.
void migrate_legacy_folder(void *window, const wchar_t *folder);
// 1 when the folder's state file reads and has a path under "Drumveil/".
int state_has_legacy_paths(const wchar_t *folder);

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
int folder_lock_take(FolderLock *lock, const wchar_t *folder, uint32_t wait_ms);
// After a take answered HELD: waits up to `wait_ms` more (a FolderLockResult;
// OWNED at once when held already).
int folder_lock_wait(FolderLock *lock, uint32_t wait_ms);
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
