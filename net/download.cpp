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
    int result = 0;
    RunningDigest digest = {};
    HANDLE file = INVALID_HANDLE_VALUE;
    HINTERNET session = nullptr;
    void *connection = nullptr;
    HINTERNET request = nullptr;
    wchar_t range[RANGE_HEADER_CHARS];
    range[0] = 0;
    uint64_t present = 0;
    DWORD held = 0;  // bytes in `buf` not yet written (or reported) ...
    DWORD held_since = 0;  // ... since this tick
    uint64_t announced = 0;
    int status = 0;
    RateWatch watch;
    bool slow = false;
    LARGE_INTEGER size;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;

    char *buf = (char *)HeapAlloc(GetProcessHeap(), 0, HTTP_TRANSFER_BYTES);
    if (!buf)
        return 0;
    if (digest_out && running_digest_begin(&digest) != DIGEST_BEGIN_OK)
        goto done;
    file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        goto done;

    if (!GetFileSizeEx(file, &size))
        size.QuadPart = 0;
    if ((uint64_t)size.QuadPart == expected_size) {
        // Already complete: its digest, no request. A wrong content is the
        // caller's to find by comparing digests.
        if (!digest_out || (hash_existing_content(&digest, file, buf, HTTP_TRANSFER_BYTES) &&
                            running_digest_finish(&digest, digest_out))) {
            if (progress)
                progress(context, expected_size, expected_size);
            result = 200;
        }
        goto done;
    }
    if ((uint64_t)size.QuadPart > expected_size) {
        if (!truncate_to_zero(file))
            goto done;
    } else if (size.QuadPart > 0) {
        present = (uint64_t)size.QuadPart;
        format_wide(range, RANGE_HEADER_CHARS, L"Range: bytes=%llu-", present);
    }

    session = kept_session ? (HINTERNET)kept_session : (HINTERNET)http_open_session();
    if (!session)
        goto done;
    request = (HINTERNET)http_open_get(session, url, &connection);
    if (!request)
        goto done;
    slow_watch_begin(&watch);
    if (!WinHttpSendRequest(request, range[0] ? range : WINHTTP_NO_ADDITIONAL_HEADERS,
                            range[0] ? (DWORD)-1 : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        goto done;
    if (!WinHttpReceiveResponse(request, nullptr)) {
        if (slow_watch_timed_out())
            result = HTTP_TOO_SLOW;
        goto done;
    }

    status = http_status_code(request);
    if (status == 200) {
        if (range[0]) {
            // The server ignored the Range line: start the object over.
            if (!truncate_to_zero(file))
                goto done;
            present = 0;
        }
    } else if (status == 206) {
        if (!range[0])
            goto done;
    } else {
        result = status;
        goto done;
    }

    if (http_unasked_encoding(request)) {
        log_printf("net: unasked Content-Encoding on %S", url);
        goto done;
    }
    // An announced length is compared in 64 bits: what does not fit in the
    // rest of the object (or in WinHTTP's 32-bit counters) is not trusted.
    if (http_announced_length(request, &announced) && announced > expected_size - present) {
        log_printf("net: object longer than its manifest size");
        goto done;
    }

    if (status == 206 && digest_out &&
        !hash_existing_content(&digest, file, buf, HTTP_TRANSFER_BYTES))
        goto done;
    if (!SetFilePointerEx(file, zero, nullptr, FILE_END))
        goto done;

    for (;;) {
        if (held == 0 && progress && !progress(context, present, expected_size)) {
            result = -1;
            goto done;
        }
        DWORD avail = 0;
        if (!WinHttpQueryDataAvailable(request, &avail)) {
            if (!slow_watch_timed_out())
                goto done;
            slow = true;
            avail = 0;
        }
        if (avail > 0) {
            if (avail > HTTP_TRANSFER_BYTES - held)
                avail = HTTP_TRANSFER_BYTES - held;
            DWORD read = 0;
            if (!WinHttpReadData(request, buf + held, avail, &read))
                goto done;
            if (present + held + read > expected_size) {
                log_printf("net: object longer than its manifest size");
                goto done;
            }
            if (held == 0)
                held_since = GetTickCount();
            held += read;
            avail = read;
            slow = !slow_watch_moved(&watch, read);
        }
        // An abandoned transfer still stores what it held: the resume
        // continues behind it.
        if (held > 0 && (slow || avail == 0 || HTTP_TRANSFER_BYTES - held < WRITE_ROOM_BYTES ||
                         GetTickCount() - held_since >= WRITE_HOLD_MS)) {
            DWORD written = 0;
            if (!WriteFile(file, buf, held, &written, nullptr) || written != held)
                goto done;
            if (digest_out && !running_digest_add(&digest, buf, held))
                goto done;
            present += held;
            held = 0;
        }
        if (slow) {
            result = HTTP_TOO_SLOW;
            goto done;
        }
        if (avail == 0)
            break;
    }

    if (present != expected_size) {
        log_printf("net: short body %llu of %llu", present, expected_size);
        goto done;
    }
    if (digest_out && !running_digest_finish(&digest, digest_out))
        goto done;
    if (progress)
        progress(context, present, expected_size);
    result = status;

done:
    if (request)
        WinHttpCloseHandle(request);
    if (connection)
        WinHttpCloseHandle((HINTERNET)connection);
    if (session && !kept_session)
        WinHttpCloseHandle(session);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    running_digest_release(&digest);
    HeapFree(GetProcessHeap(), 0, buf);
    return result;
}
