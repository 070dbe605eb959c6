// The server status and news poller: one thread for the life of a window
// that fetches the web site's two documents once a minute and posts each
// result to the window as a heap record.
//
// The thread owns its record until the post succeeds and never touches it
// afterwards; a failed post means the window is gone, so the thread frees
// the record and ends. It reads nothing of the window's state, only the
// window handle it was started with. It waits between polls on a stop event
// rather than sleeping, so that the window's end can stop it and wait for
// it: a process must not end with a thread of ours still in it (under Wine
// such an exit now and then crashes once bcrypt was used).
#include "ui/news_internal.h"

#include "base/base.h"
#include "net/net.h"

#include "korvanth_config.h"

#include <windows.h>

namespace {

enum {
    WEB_URL_CHARS = 512,
    REQUEST_URL_CHARS = WEB_URL_CHARS + 32,
    STATUS_BODY_LIMIT = 65536,
    FEED_BODY_LIMIT = 4194304,
    POLL_PERIOD_MS = 60000,
};

// Set before the poller starts (tests point it at local servers); the thread
// only reads it.
wchar_t g_web_url[WEB_URL_CHARS] = KORVANTH_WEB_URL;

// The running poller and its stop event; touched only by the window's thread.
HANDLE g_thread;
HANDLE g_stop;

// GETs `path` below the web site. The body (heap, NUL behind it) only for a
// 200 answer; null otherwise, with everything that came freed. A document
// that trickles in is abandoned by the HTTP client's slow-transfer rule and
// counts as no answer.
char *fetch_document(const wchar_t *path, uint32_t limit, uint32_t *len_out)
{
    *len_out = 0;
    wchar_t url[REQUEST_URL_CHARS];
    if (!g_web_url[0] || format_wide(url, REQUEST_URL_CHARS, L"%s%s", g_web_url, path) < 0)
        return nullptr;
    char *body = nullptr;
    uint32_t len = 0;
    int status = http_get_to_memory(url, &body, &len, limit);
    if (status != 200 && body) {
        HeapFree(GetProcessHeap(), 0, body);
        body = nullptr;
    }
    if (body)
        *len_out = len;
    return body;
}

struct PollerStart {
    HWND window;
    HANDLE stop;
};

DWORD WINAPI poller_thread(void *arg)
{
    PollerStart start = *(PollerStart *)arg;
    HeapFree(GetProcessHeap(), 0, arg);
    for (;;) {
        ServerInfo *info =
            (ServerInfo *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ServerInfo));
        if (!info)
            return 0;
        poll_server_info(info);
        // A stop that came during the poll: the window is going, and a
        // record posted now would only be freed by the message queue's end.
        if (WaitForSingleObject(start.stop, 0) == WAIT_OBJECT_0 ||
            !PostMessageW(start.window, WM_LAUNCHER_SERVER_INFO, 0, (LPARAM)info)) {
            HeapFree(GetProcessHeap(), 0, info);
            return 0;
        }
        if (WaitForSingleObject(start.stop, POLL_PERIOD_MS) == WAIT_OBJECT_0)
            return 0;
    }
}

}  // namespace

void poller_set_web_url(const wchar_t *base_url)
{
    // A base that does not fit is no web site at all rather than a cut one:
    // every poll then fails.
    if (format_wide(g_web_url, WEB_URL_CHARS, L"%s", base_url ? base_url : KORVANTH_WEB_URL) < 0)
        g_web_url[0] = 0;
}

const wchar_t *poller_web_url(void)
{
    return g_web_url;
}

void poll_server_info(ServerInfo *info)
{
    info->server_status = -1;
    info->item_count = 0;

    uint32_t len = 0;
    char *body = fetch_document(L"api/server/status", STATUS_BODY_LIMIT, &len);
    if (body) {
        scan_server_status(body, len, info);
        HeapFree(GetProcessHeap(), 0, body);
    }

    body = fetch_document(L"api/feed", FEED_BODY_LIMIT, &len);
    if (body) {
        scan_news_feed(body, len, info);
        HeapFree(GetProcessHeap(), 0, body);
    }
}

void poller_start(void *window)
{
    // One poller at a time: a window opened again in one process (tests)
    // stops the last one's first.
    poller_stop();
    poller_wait(INFINITE);
    // The window handle and the stop event travel as the thread's argument:
    // the thread needs nothing else, and a second poller could not redirect
    // the first.
    PollerStart *start = (PollerStart *)HeapAlloc(GetProcessHeap(), 0, sizeof(PollerStart));
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!start || !stop) {
        if (start)
            HeapFree(GetProcessHeap(), 0, start);
        if (stop)
            CloseHandle(stop);
        return;
    }
    start->window = (HWND)window;
    start->stop = stop;
    HANDLE thread = CreateThread(nullptr, 0, poller_thread, start, 0, nullptr);
    if (!thread) {
        HeapFree(GetProcessHeap(), 0, start);
        CloseHandle(stop);
        return;
    }
    g_thread = thread;
    g_stop = stop;
}

void poller_stop(void)
{
    if (g_stop)
        SetEvent(g_stop);
}

int poller_wait(uint32_t wait_ms)
{
    if (!g_thread)
        return 1;
    if (WaitForSingleObject(g_thread, wait_ms) != WAIT_OBJECT_0)
        return 0;
    CloseHandle(g_thread);
    CloseHandle(g_stop);
    g_thread = nullptr;
    g_stop = nullptr;
    return 1;
}
