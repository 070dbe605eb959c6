// Whole bodies into memory: the manifest, its signature, the server status
// and the news feed, and the small objects of an update. Each with a hard
// limit, and the slow-transfer rule: a body that trickles in is abandoned
// with HTTP_TOO_SLOW.
#include "net/net_internal.h"

#include <windows.h>
#include <winhttp.h>

namespace {

// Grows `*buf` to hold at least `need` bytes: from HTTP_BODY_START_BYTES (or
// the current capacity), doubled. Sizes are 64-bit so that no doubling
// wraps; a need the address space cannot hold fails like an allocation.
int grow_body(char **buf, uint64_t *cap, uint64_t need)
{
    if (*cap >= need)
        return 1;
    uint64_t new_cap = *cap ? *cap : (uint64_t)HTTP_BODY_START_BYTES;
    while (new_cap < need)
        new_cap *= 2;
    if (new_cap > (uint64_t)(SIZE_MAX / 2))
        return 0;
    HANDLE heap = GetProcessHeap();
    void *grown = *buf ? HeapReAlloc(heap, 0, *buf, (SIZE_T)new_cap)
                       : HeapAlloc(heap, 0, (SIZE_T)new_cap);
    if (!grown)
        return 0;
    *buf = (char *)grown;
    *cap = new_cap;
    return 1;
}

// The body of a GET whose response arrived, into *buf (see get_body).
// Result: the response's status, 0 on every failure, HTTP_TOO_SLOW when the
// slow-transfer rule abandoned it.
int take_body(HttpGet *get, char **buf, uint64_t *cap, uint64_t *got, uint32_t limit, bool grow)
{
    HINTERNET request = (HINTERNET)get->request;
    uint64_t announced = 0;
    // A body announced above the limit would be refused after reading; an
    // announcement beyond 32 bits is not even handed to WinHTTP's counters.
    if (http_announced_length(request, &announced) && announced > limit)
        return 0;
    for (;;) {
        DWORD avail = 0;
        if (!WinHttpQueryDataAvailable(request, &avail))
            return slow_watch_timed_out() ? HTTP_TOO_SLOW : 0;
        if (avail == 0)
            return get->status;
        if (*got + avail > limit)
            return 0;
        if (grow && !grow_body(buf, cap, *got + avail + 1))
            return 0;
        avail = rate_limit_take(avail);
        DWORD read = 0;
        if (!WinHttpReadData(request, *buf + *got, avail, &read))
            return 0;
        rate_limit_unused(read < avail ? avail - read : 0);
        // A read larger than asked would pass the limit check above unseen.
        if (read > avail)
            return 0;
        *got += read;
        if (!slow_watch_moved(&get->watch, read))
            return HTTP_TOO_SLOW;
    }
}

// One GET: the status, and the body in *buf. Growing (`grow`): *buf starts
// null or as a heap block of *cap bytes and is grown as needed, keeping one
// byte more than the body. Fixed: *buf holds *cap bytes, and a body that
// does not fit fails. Either way a body or announced length above `limit`
// fails. 0 on every failure, HTTP_TOO_SLOW when the slow-transfer rule
// abandoned it; *got is the body length.
// `kept_session`: the caller's session, or null to open one for this GET.
// `headers`: request headers to add ("Name: value" lines joined by CRLF),
// or null.
int get_body(void *kept_session, const wchar_t *url, const wchar_t *headers, char **buf,
             uint64_t *cap, uint64_t *got, uint32_t limit, bool grow)
{
    *got = 0;
    if (!grow && *cap < limit)
        limit = (uint32_t)*cap;
    HttpGet get;
    http_note_answer(nullptr, url);
    int result = http_get_send(&get, kept_session, url, headers);
    if (result == 1) {
        http_note_answer(get.request, url);
        result = take_body(&get, buf, cap, got, limit, grow);
    }
    http_get_close(&get);
    return result;
}

// A whole body into a heap block (see http_get_to_memory).
int get_to_memory(const wchar_t *url, const wchar_t *headers, char **body_out, uint32_t *len_out,
                  uint32_t limit)
{
    *body_out = nullptr;
    *len_out = 0;
    char *buf = nullptr;
    uint64_t cap = 0;
    uint64_t got = 0;
    int result = get_body(nullptr, url, headers, &buf, &cap, &got, limit, true);
    if (buf) {
        if (result > 0) {
            buf[got] = 0;
            *body_out = buf;
            *len_out = (uint32_t)got;
        } else {
            HeapFree(GetProcessHeap(), 0, buf);
        }
    }
    return result;
}

}  // namespace

int http_get_to_memory(const wchar_t *url, char **body_out, uint32_t *len_out, uint32_t limit)
{
    return get_to_memory(url, nullptr, body_out, len_out, limit);
}

int http_get_to_memory_uncached(const wchar_t *url, char **body_out, uint32_t *len_out,
                                uint32_t limit)
{
    return get_to_memory(url, L"Cache-Control: no-cache\r\nPragma: no-cache", body_out, len_out,
                         limit);
}

int http_get_into(const wchar_t *url, char *buffer, uint32_t capacity, uint32_t *len_out)
{
    return http_get_into_on(nullptr, url, buffer, capacity, len_out);
}

int http_get_into_on(void *session, const wchar_t *url, char *buffer, uint32_t capacity,
                     uint32_t *len_out)
{
    uint64_t cap = capacity;
    uint64_t got = 0;
    int result = get_body(session, url, nullptr, &buffer, &cap, &got, capacity, false);
    *len_out = result > 0 ? (uint32_t)got : 0;
    return result;
}
