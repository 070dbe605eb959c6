// Moving objects: one content-addressed object from the mirrors into the
// client folder, resumed, unpacked and checked; the mirror list the objects
// come from; and the progress a transfer reports to the window (bars, the
// detail line, the status texts).
//
// Who owns what:
// - Threads. A fetch runs on the caller's thread, or in steps on the
//   threads of an update pass (transfers on carriers, judgements on a judge
//   thread); this room starts threads only for a large object's unpacking
//   or hashing (UnpackStream, on a thread of its own or of an UnpackPool),
//   and every one of them ends before unpack_stream_finish returns.
//   DownloadShare and MirrorList.benched are shared by the transfers of one
//   pass at once (interlocked, or under the gate's lock); everything else in
//   an ObjectFetch or a DownloadProgress belongs to one thread at a time.
// - Messages. Status and detail texts are posted as heap blocks from the
//   process heap; once posted they are the window's, and a failed post frees
//   them here.
// - Memory and handles. An ObjectFetch lives in the caller's memory and holds
//   handles and a stream between fetch_begin and fetch_finish or
//   fetch_release, which let go of everything. Body buffers are the caller's.
// - Files. An object travels through "<destination>.part" (kept when a
//   transfer breaks, so that a later attempt or pass resumes it) and
//   "<destination>.tmp" (a gzip object's content), both beside the
//   destination and gone once the object is in place; only content whose
//   digest matches moves into place.
//
// Test seams: in the last section, and base/'s progress_tick.
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
// a bar move at most about every PACE_GATE_MS. So a value offered within
// PACE_GATE_MS of its bar's last post is held, and posted once it is due;
// a held value that a newer one replaces is never posted, nor is a value
// the bar already shows. Zeroed: nothing posted yet.
struct BarGate {
    void *lock;                    // an SRW lock (zero: unlocked); see post_bar
    int closed;                    // the pass has ended: nothing more is posted
    int posted_any[BAR_KINDS];     // 1 once the bar was posted
    int holding[BAR_KINDS];        // 1: `held` waits to be posted
    uint32_t posted[BAR_KINDS];    // the value last posted
    Throttle pace[BAR_KINDS];      // ... and when
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
    Throttle text_pace;            // the last detail line posted
    BarGate bars;
};

// Context of one object download, handed to the HTTP client as its progress
// context. Created zeroed per object, so the speed estimate starts afresh.
struct DownloadProgress {
    void *window;                  // HWND receiving the messages
    Throttle bar_pace;             // the last bar update
    volatile long *cancel_flag;    // the worker's cancel flag
    uint64_t finished_before;      // wire bytes of the run finished before this object
    uint64_t run_total;            // wire bytes of the whole run; 0: no total bar, no detail
    uint32_t sample_time;          // tick of the last speed sample; 0 before the first
    uint64_t sample_bytes;         // run bytes at the last sample
    double speed;                  // smoothed bytes per second; 0 until measured
    Throttle text_pace;            // the last detail line (the share's, with one)
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
// call: the bar and detail-line rates (PACE_BAR_MS, PACE_TEXT_MS), the speed sampled
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
// A bar's value posted at once, outside any gate: for the comparison, before
// a download phase opens its gate, and the pass's last bar after it closed.
void post_bar_now(void *window, int kind, uint32_t permille);
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



// ---------------------------------------------------------------------------
// Mirrors

enum {
    MIRROR_SLOTS = 6,
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

// How an object's way through the mirrors ends, or where it stands.
enum FetchResult {
    FETCH_CANCELLED = -1,   // the pass was cancelled (or ended): nothing more is tried
    FETCH_FAILED = 0,       // not brought in; a part file may remain for a later resume
    FETCH_IN_PLACE = 1,     // the object is in place with the right digest
    FETCH_GO_ON = 2,        // fetch_judge: refused; the fetch goes on with its next attempt
    FETCH_TRANSFERRED = 3,  // fetch_transfer: a whole object arrived, to be judged
};

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
// Returns FETCH_IN_PLACE (*start_index is the mirror that delivered),
// FETCH_FAILED or FETCH_CANCELLED.
FetchResult download_object(void *window, MirrorList *list, int count, int *start_index,
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
//                   (FETCH_FAILED or FETCH_CANCELLED);
//   fetch_judge     unpacks and checks what arrived and moves it into place:
//                   FETCH_IN_PLACE, FETCH_FAILED (the move failed), or
//                   FETCH_GO_ON when the object was
//                   refused and the fetch goes on with its next attempt;
//   fetch_finish    goes on from a judge's result to the end
//                   and releases what the fetch holds;
//   fetch_release   releases it without going on (a part file stays).
// Transfers run on the pass's carrier threads, several at once, judgements
// on a thread of their own; what a fetch's result means for the pass is
// taken in on the worker thread, in the entries' order.

enum {
    // Gzip objects smaller than this travel in memory (when no part file of
    // theirs exists): the body buffer a fetch is given holds this much.
    FETCH_MEMORY_BYTES = 1048576,
    // Objects on the wire at once in an update pass, each over a connection
    // of its own (1: one after the other), and the most a test may set.
    DOWNLOAD_CONNECTIONS = 4,
    DOWNLOAD_CONNECTIONS_MAX = 8,
};

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
FetchResult fetch_transfer(ObjectFetch *f, MirrorList *list, int count);
FetchResult fetch_judge(ObjectFetch *f, const MirrorList *list);
FetchResult fetch_finish(ObjectFetch *f, MirrorList *list, int count, FetchResult judged);
void fetch_release(ObjectFetch *f);

// ---------------------------------------------------------------------------
// Test seams (process-wide; set them while no pass runs)

// Replaces the two built-in mirrors for this process (tests and tools that
// serve releases from a local mirror on a port chosen at run time); null
// restores the built-in ones.
void mirrors_set_builtin(const wchar_t *download_url, const wchar_t *files_url);
