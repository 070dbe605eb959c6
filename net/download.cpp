// Resumable download of one object into a file. The object is streamed in
// blocks straight into the file and into a running SHA-256, so the digest of
// the whole file is known when the last byte lands, whether the bytes came
// from this response, from an earlier partial download or were already there.
//
// The length rules are strict because the manifest promises the size: a body
// that would run past it is refused before the excess is written, a body that
// ends early is refused and kept for the next resume.
//
// A transfer that falls below the slow-transfer rule's minimum rate is
// abandoned like a broken one: what arrived stays in the file, so the next
// attempt (or the next mirror) resumes it.
#include "base/base.h"
#include "content/content.h"
#include "net/net_internal.h"

#include <windows.h>
#include <winhttp.h>

namespace {

const size_t RANGE_HEADER_CHARS = 64;
// Network reads come in TLS records of about 16 KiB. They are gathered in the
// transfer buffer and written once it has less than this room left, or once
// the oldest of them waited this long (a slow transfer still shows progress
// and notices a cancel): a write per record cost more than the transfer's
// own reading (measured under Wine).
const DWORD WRITE_ROOM_BYTES = 65536;
const DWORD WRITE_HOLD_MS = 100;

int truncate_to_zero(HANDLE file)
{
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           SetEndOfFile(file);
}

// One download's state, from the opened file to the last byte.
struct Transfer {
    HANDLE file;
    char *buf;                     // HTTP_TRANSFER_BYTES
    RunningDigest digest;
    uint8_t *digest_out;           // null: nothing is hashed
    uint64_t expected;             // the object's size from the manifest
    uint64_t present;              // bytes of the object in the file
    DWORD held;                    // bytes in `buf` not yet written (or reported) ...
    DWORD held_since;              // ... since this tick
    DownloadProgressFn progress;
    void *context;
};

// The transfer buffer, the running digest (when one is wanted) and the file,
// opened or created. 0 when any of them fails; transfer_close releases what
// was had either way.
int transfer_open(Transfer *t, const wchar_t *path, uint64_t expected, uint8_t *digest_out,
                  DownloadProgressFn progress, void *context)
{
    ZeroMemory(t, sizeof *t);
    t->file = INVALID_HANDLE_VALUE;
    t->digest_out = digest_out;
    t->expected = expected;
    t->progress = progress;
    t->context = context;
    t->buf = (char *)HeapAlloc(GetProcessHeap(), 0, HTTP_TRANSFER_BYTES);
    if (!t->buf)
        return 0;
    if (digest_out && running_digest_begin(&t->digest) != DIGEST_BEGIN_OK)
        return 0;
    t->file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return t->file != INVALID_HANDLE_VALUE;
}

void transfer_close(Transfer *t)
{
    if (t->file != INVALID_HANDLE_VALUE)
        CloseHandle(t->file);
    running_digest_release(&t->digest);
    if (t->buf)
        HeapFree(GetProcessHeap(), 0, t->buf);
}

enum Resume { RESUME_FAILED = 0, RESUME_COMPLETE, RESUME_REQUEST };

// What the file holds decides what is asked for: a file of the expected size
// is the whole object (RESUME_COMPLETE, no request); a longer one is cut to
// nothing and a shorter one resumed behind its bytes (RESUME_REQUEST from
// `present`); RESUME_FAILED when the cut fails.
int decide_resume(Transfer *t)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(t->file, &size))
        size.QuadPart = 0;
    uint64_t length = (uint64_t)size.QuadPart;
    if (length == t->expected)
        return RESUME_COMPLETE;
    if (length > t->expected)
        return truncate_to_zero(t->file) ? RESUME_REQUEST : RESUME_FAILED;
    t->present = length;
    return RESUME_REQUEST;
}

// The file already holds the whole object: its digest, no request. A wrong
// content is the caller's to find by comparing digests. 200, or 0 when the
// file cannot be read or hashed.
int take_complete_file(Transfer *t)
{
    if (t->digest_out &&
        !(hash_existing_content(&t->digest, t->file, t->buf, HTTP_TRANSFER_BYTES) &&
          running_digest_finish(&t->digest, t->digest_out)))
        return 0;
    if (t->progress)
        t->progress(t->context, t->expected, t->expected);
    return 200;
}

// Takes the headers of a 200 or 206 response to the request from
// `t->present` (`resumed`: a Range line was sent). 1 when the body may come,
// 0 when it is refused (content faults are logged).
int accept_response(Transfer *t, HttpGet *get, bool resumed, const wchar_t *url)
{
    if (get->status == 200 && resumed) {
        // The server ignored the Range line: start the object over.
        if (!truncate_to_zero(t->file))
            return 0;
        t->present = 0;
    }
    if (get->status == 206 && !resumed)
        return 0;
    if (http_unasked_encoding(get->request)) {
        log_printf("net: unasked Content-Encoding on %S", url);
        return 0;
    }
    // An announced length is compared in 64 bits: what does not fit in the
    // rest of the object (or in WinHTTP's 32-bit counters) is not trusted.
    uint64_t announced = 0;
    if (http_announced_length(get->request, &announced) && announced > t->expected - t->present) {
        log_printf("net: object longer than its manifest size");
        return 0;
    }
    return 1;
}

// Readies the file for the body: the kept prefix of a resumed object read
// back into the digest, the file pointer at its end. 1, or 0 on a failure.
int keep_prefix(Transfer *t, int status)
{
    if (status == 206 && t->digest_out &&
        !hash_existing_content(&t->digest, t->file, t->buf, HTTP_TRANSFER_BYTES))
        return 0;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx(t->file, zero, nullptr, FILE_END) ? 1 : 0;
}

// Writes the held bytes to the file and the digest. 1, or 0 on a failure.
int store_held(Transfer *t)
{
    DWORD written = 0;
    if (!WriteFile(t->file, t->buf, t->held, &written, nullptr) || written != t->held)
        return 0;
    if (t->digest_out && !running_digest_add(&t->digest, t->buf, t->held))
        return 0;
    t->present += t->held;
    t->held = 0;
    return 1;
}

// Whether the held bytes go to the file now: when the buffer is nearly full
// or they waited long enough, and at the body's end. An abandoned transfer
// (`slow`) still stores what it held: the resume continues behind it.
bool store_due(const Transfer *t, bool slow, DWORD avail)
{
    return t->held > 0 && (slow || avail == 0 || HTTP_TRANSFER_BYTES - t->held < WRITE_ROOM_BYTES ||
                           GetTickCount() - t->held_since >= WRITE_HOLD_MS);
}

// Reads at most `*avail` bytes, as many as the buffer has room for, behind
// the held ones; `*avail` becomes the count read. 1, or 0 on a read failure
// or a body that runs past the expected size (logged).
int read_block(Transfer *t, HttpGet *get, DWORD *avail)
{
    if (*avail > HTTP_TRANSFER_BYTES - t->held)
        *avail = HTTP_TRANSFER_BYTES - t->held;
    *avail = rate_limit_take(*avail);
    DWORD read = 0;
    if (!WinHttpReadData((HINTERNET)get->request, t->buf + t->held, *avail, &read))
        return 0;
    rate_limit_unused(read < *avail ? *avail - read : 0);
    if (t->present + t->held + read > t->expected) {
        log_printf("net: object longer than its manifest size");
        return 0;
    }
    if (t->held == 0)
        t->held_since = GetTickCount();
    t->held += read;
    *avail = read;
    return 1;
}

// Receives the body into the file until it ends. 1 when it ended, 0 on a
// failure, -1 when the progress function asked to stop, HTTP_TOO_SLOW when
// the slow-transfer rule abandoned it.
int receive_body(Transfer *t, HttpGet *get)
{
    for (;;) {
        if (t->held == 0 && t->progress && !t->progress(t->context, t->present, t->expected))
            return -1;
        bool slow = false;
        DWORD avail = 0;
        if (!WinHttpQueryDataAvailable((HINTERNET)get->request, &avail)) {
            if (!slow_watch_timed_out())
                return 0;
            slow = true;
            avail = 0;
        }
        if (avail > 0) {
            if (!read_block(t, get, &avail))
                return 0;
            slow = !slow_watch_moved(&get->watch, avail);
        }
        if (store_due(t, slow, avail) && !store_held(t))
            return 0;
        if (slow)
            return HTTP_TOO_SLOW;
        if (avail == 0)
            return 1;
    }
}

// After the body ended: the whole object or a failure. `status` on success.
int finish_body(Transfer *t, int status)
{
    if (t->present != t->expected) {
        log_printf("net: short body %llu of %llu", t->present, t->expected);
        return 0;
    }
    if (t->digest_out && !running_digest_finish(&t->digest, t->digest_out))
        return 0;
    if (t->progress)
        t->progress(t->context, t->present, t->expected);
    return status;
}

// Asks for the object from `t->present` on and takes the answer into the
// file. Results as http_download_to_file_on gives them.
int request_rest(Transfer *t, void *kept_session, const wchar_t *url)
{
    wchar_t range[RANGE_HEADER_CHARS];
    range[0] = 0;
    if (t->present > 0)
        format_wide(range, RANGE_HEADER_CHARS, L"Range: bytes=%llu-", t->present);
    bool resumed = range[0] != 0;

    HttpGet get;
    int result = http_get_send(&get, kept_session, url, resumed ? range : nullptr);
    if (result != 1)
        goto done;
    if (get.status != 200 && get.status != 206) {
        result = get.status;
        goto done;
    }
    result = 0;
    if (!accept_response(t, &get, resumed, url) || !keep_prefix(t, get.status))
        goto done;
    result = receive_body(t, &get);
    if (result == 1)
        result = finish_body(t, get.status);
done:
    http_get_close(&get);
    return result;
}

}  // namespace

int hash_existing_content(RunningDigest *digest, void *file, void *buf, uint32_t buf_bytes)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx((HANDLE)file, zero, nullptr, FILE_BEGIN))
        return 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile((HANDLE)file, buf, buf_bytes, &got, nullptr))
            return 0;
        if (got == 0)
            return 1;
        if (!running_digest_add(digest, buf, got))
            return 0;
    }
}

int http_download_to_file(const wchar_t *url, const wchar_t *path, uint64_t expected_size,
                          uint8_t digest_out[32], DownloadProgressFn progress, void *context)
{
    return http_download_to_file_on(nullptr, url, path, expected_size, digest_out, progress,
                                    context);
}

int http_download_to_file_on(void *kept_session, const wchar_t *url, const wchar_t *path,
                             uint64_t expected_size, uint8_t digest_out[32],
                             DownloadProgressFn progress, void *context)
{
    Transfer t;
    int result = 0;
    if (transfer_open(&t, path, expected_size, digest_out, progress, context)) {
        int resume = decide_resume(&t);
        if (resume == RESUME_COMPLETE)
            result = take_complete_file(&t);
        else if (resume == RESUME_REQUEST)
            result = request_rest(&t, kept_session, url);
    }
    transfer_close(&t);
    return result;
}
