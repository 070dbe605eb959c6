// Network: the launcher's only HTTP client, over WinHTTP.
//
// Two kinds of GET, both synchronous and meant for worker threads: a whole
// body into memory under a size limit (manifest, signature, status, news),
// and a resumable download of one object into a file, hashed while it
// arrives. Every call opens its own session, connection and request and
// closes them before it returns, so calls from several threads do not meet;
// or, in the "_on" forms, runs on a session the caller keeps for several
// calls, whose connections WinHTTP keeps alive between them (one session per
// thread: a session is not shared by calls that run at once).
//
// Handles are passed as `void *` (WinHTTP's HINTERNET, a file's HANDLE) so
// that this header needs no <windows.h>.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct RunningDigest;

enum {
    HTTP_USER_AGENT_CHARS = 64,
    // Transfer block of a download, also used to read back a partial file.
    HTTP_TRANSFER_BYTES = 262144,
    // First capacity of a whole-body buffer; it doubles from there.
    HTTP_BODY_START_BYTES = 65536,
    // The slowest transfer kept: one that moved fewer than HTTP_SLOW_MIN_BYTES
    // in the last HTTP_SLOW_WINDOW_MS (waiting for the response included) is
    // abandoned with HTTP_TOO_SLOW. A receive time-out is a silence of the
    // whole window, so every request's receive time-out is the window too.
    HTTP_SLOW_MIN_BYTES = 4096,
    HTTP_SLOW_WINDOW_MS = 30000,
    // Result of a GET that the rule above abandoned (a partial file stays).
    HTTP_TOO_SLOW = -2,
};

// Replaces the slow-transfer rule's thresholds for this process (tests);
// 0, 0 restores HTTP_SLOW_MIN_BYTES and HTTP_SLOW_WINDOW_MS. A minimum of 0
// switches the rule off. Set it while no request runs.
void http_set_slow_rule(uint32_t min_bytes, uint32_t window_ms);

// Tick source of the slow-transfer rule (GetTickCount unless a test sets
// another one; it must not run backwards).
extern uint32_t (*http_rate_tick)(void);

// What the rule saw when it abandoned a transfer: the bytes moved in the
// window it measured, and that window's length in whole seconds.
struct HttpStall {
    uint64_t bytes;
    uint32_t seconds;
};

// The stall of the calling thread's last request that ended with
// HTTP_TOO_SLOW (like GetLastError: the result codes of the GETs are fixed,
// and the callers log the numbers).
HttpStall http_last_stall(void);

// The rule over one transfer, free of platform calls. The window is cut into
// RATE_WATCH_SLOTS slots and measured over the newest slots that cover it
// (the slot in progress included), so a measured span is never shorter than
// the window: a transfer that keeps the minimum in every window is never cut,
// and one that does not is cut within a slot of the window's end.
enum { RATE_WATCH_SLOTS = 16 };

struct RateWatch {
    uint32_t min_bytes;
    uint32_t slot_ms;
    uint32_t start;                           // tick the transfer began
    uint32_t slot;                            // newest slot, counted from `start`
    uint64_t bytes[RATE_WATCH_SLOTS + 1];     // ring: bytes moved per slot
};

void rate_watch_begin(RateWatch *w, uint32_t now, uint32_t min_bytes, uint32_t window_ms);

// `bytes` more moved at tick `now` (0 to look without moving). 1 while the
// transfer keeps the rate (always before a whole window has passed); 0 when
// it is too slow, with what was measured in `stall`.
int rate_watch_step(RateWatch *w, uint32_t now, uint64_t bytes, HttpStall *stall);

// A download limit for the whole process: every transfer's reads (objects
// into files or memory, documents) spend from one pace, so that transfers
// that run at once share it. 0: no limit (the default). Any thread; a change
// applies from the next read on.
void http_set_rate_limit(uint64_t bytes_per_second);
uint64_t http_rate_limit(void);
// The pace itself, free of platform calls (times in microseconds of any
// clock that does not run backwards). A read takes at most rate_pace_block
// bytes (an eighth of a second's, 1 KiB to HTTP_TRANSFER_BYTES), reserved
// at tick `now_us` by rate_pace_spend, whose result is how long to wait
// before reading them; rate_pace_refund gives back what the read did not
// use. Idle time earns at most one block's worth.
struct RatePace {
    uint64_t rate;      // bytes per second; 0: no limit
    uint64_t due_us;    // when the bytes spent so far are earned
    uint64_t burst_us;  // how far behind the clock `due_us` may fall: one block's time
};
void rate_pace_set(RatePace *p, uint64_t bytes_per_second, uint64_t now_us);
uint32_t rate_pace_block(const RatePace *p);
uint64_t rate_pace_spend(RatePace *p, uint64_t bytes, uint64_t now_us);
void rate_pace_refund(RatePace *p, uint64_t bytes);
// What the calling thread's last whole-body GET was answered with besides
// its status (like http_last_stall): whether the response said it is an
// HTML page, and the host that answered, after any redirect, with whether
// that is another host than the one asked.
enum { HTTP_HOST_CHARS = 128 };
struct HttpAnswer {
    bool html_type;
    bool elsewhere;
    wchar_t host[HTTP_HOST_CHARS];
};
HttpAnswer http_last_answer(void);
// Sets the user agent of every session opened afterwards (at most 63
// characters; longer texts are cut). Until it is called the agent is
// "Korvanth/0". Call before worker threads exist: readers take no lock.
void http_set_user_agent(const wchar_t *agent);

// The current user agent (for sessions and tests).
const wchar_t *http_user_agent(void);

// A WinHTTP session with the user agent, automatic proxy (default proxy when
// the system has none), TLS 1.2 and 1.3 (1.2 alone where 1.3 is refused) and
// the time-outs resolve/connect/send 30 s, receive 60 s (each request then
// takes the slow-transfer window as its receive time-out). Null on failure;
// close with WinHttpCloseHandle.
void *http_open_session(void);
// Closes a session from http_open_session (null: nothing).
void http_close_session(void *session);

// A GET request for the absolute http:// or https:// `url` on `session`,
// whose receives (the response and each read) time out after the
// slow-transfer window (at most the session's 60 s).
// The connection is stored through `connection_out` (null on failure) and
// belongs to the caller, who closes it after the request. Null on failure.
void *http_open_get(void *session, const wchar_t *url, void **connection_out);

// The numeric status of a request whose response was received; 0 when it
// cannot be read.
int http_status_code(void *request);

// 1 when the response carries a Content-Encoding other than empty or
// "identity" (any capitals): a body we did not ask to be transformed. A
// missing header, or one too long to read, counts as 0.
int http_unasked_encoding(void *request);

// GETs `url` and hands over the whole body, whatever the status.
//   body_out:  a process-heap block with the body and one NUL behind it (not
//              counted), or null when the response had no body or on failure;
//              the caller frees it with HeapFree(GetProcessHeap(), ...).
//   len_out:   the body length in bytes.
//   limit:     the largest body accepted; exactly `limit` bytes pass.
// Result: the HTTP status, or 0 on failure (no session or connection, a read
// error, a body or announced length above `limit`, out of memory), or
// HTTP_TOO_SLOW when the slow-transfer rule abandoned it; on either no body
// is handed over.
int http_get_to_memory(const wchar_t *url, char **body_out, uint32_t *len_out, uint32_t limit);
// The same with "Cache-Control: no-cache" and "Pragma: no-cache": every cache
// on the way asks the origin again, for documents that must match one
// another when a cache may hold an old copy of one of them.
int http_get_to_memory_uncached(const wchar_t *url, char **body_out, uint32_t *len_out,
                                uint32_t limit);

// The same into the caller's `buffer` of `capacity` bytes (no NUL added): a
// body or announced length above `capacity` fails with 0. `len_out` is the
// body length (0 on failure or HTTP_TOO_SLOW).
int http_get_into(const wchar_t *url, char *buffer, uint32_t capacity, uint32_t *len_out);
// The same on `session` (from http_open_session; null opens one for the call).
int http_get_into_on(void *session, const wchar_t *url, char *buffer, uint32_t capacity,
                     uint32_t *len_out);

// Called before every read of a download and once at its end.
//   present:  bytes of the object in the file so far (kept prefix included)
//   expected: the object's size from the manifest
// Non-zero goes on; zero stops the download (the partial file stays).
typedef int (*DownloadProgressFn)(void *context, uint64_t present, uint64_t expected);

// Downloads `url` into `path` until the file holds `expected_size` bytes.
// An existing shorter file is resumed with "Range: bytes=N-"; a file of the
// expected size is taken as complete without any request; a longer one, or a
// resume the server answers with the whole body (200), starts over. Nothing
// here deletes a partial file: the next call resumes from its length.
//   digest_out: SHA-256 of the whole file after the call (on 200/206); the
//               caller compares it with the manifest, this function does not.
//               Null when the caller has no use for it (a gzip object, whose
//               decoded content is what gets compared): nothing is hashed.
//   progress:   may be null; `context` is passed through untouched.
// Result: 200 or 206 on success, -1 when `progress` asked to stop,
// HTTP_TOO_SLOW when the slow-transfer rule abandoned it (every byte that
// arrived is kept in the file for a resume), another HTTP status when the
// server answered with it (nothing written), 0 on any
// other failure, including the content faults that are logged: an unasked
// Content-Encoding, a body longer than `expected_size` (announced or sent),
// a body that ends early.
int http_download_to_file(const wchar_t *url, const wchar_t *path, uint64_t expected_size,
                          uint8_t digest_out[32], DownloadProgressFn progress, void *context);
// The same on `session` (from http_open_session; null opens one for the call).
int http_download_to_file_on(void *session, const wchar_t *url, const wchar_t *path,
                             uint64_t expected_size, uint8_t digest_out[32],
                             DownloadProgressFn progress, void *context);

// Feeds the open `file` from its first byte to its end into `digest`, reading
// through `buf` of `buf_bytes`. Leaves the file pointer at the end. 1 when
// every byte was hashed, 0 on a read or hash failure.
int hash_existing_content(RunningDigest *digest, void *file, void *buf, uint32_t buf_bytes);

// The body length a response announces in Content-Length.
// Result: 1 with the length in `length_out`, 0 when the header is absent.
// A value that is not a plain decimal number, or does not fit in 64 bits,
// is stored as UINT64_MAX, so that any limit refuses it.
int http_announced_length(void *request, uint64_t *length_out);

// The number in a Content-Length value: decimal digits with optional spaces
// and tabs around them; UINT64_MAX for anything else or on overflow. Free of
// platform calls.
uint64_t http_parse_length(const wchar_t *text);
