// The slow-transfer rule's settings, its clock and the calling thread's last
// stall. The thresholds change only in tests, while no request runs.
#include "net/net_internal.h"

#include <windows.h>
#include <winhttp.h>

namespace {

uint32_t g_min_bytes = HTTP_SLOW_MIN_BYTES;
uint32_t g_window_ms = HTTP_SLOW_WINDOW_MS;
// The update worker and the status poller each read their own.
thread_local HttpStall g_stall;

uint32_t system_tick(void)
{
    return GetTickCount();
}

}  // namespace

uint32_t (*http_rate_tick)(void) = system_tick;

void http_set_slow_rule(uint32_t min_bytes, uint32_t window_ms)
{
    bool restore = min_bytes == 0 && window_ms == 0;
    g_min_bytes = restore ? (uint32_t)HTTP_SLOW_MIN_BYTES : min_bytes;
    g_window_ms = restore ? (uint32_t)HTTP_SLOW_WINDOW_MS : window_ms;
}

HttpStall http_last_stall(void)
{
    return g_stall;
}

uint32_t slow_rule_receive_timeout_ms(void)
{
    if (g_min_bytes == 0 || g_window_ms == 0 || g_window_ms > SESSION_RECEIVE_TIMEOUT_MS)
        return SESSION_RECEIVE_TIMEOUT_MS;
    return g_window_ms;
}

void slow_watch_begin(RateWatch *w)
{
    rate_watch_begin(w, http_rate_tick(), g_min_bytes, g_window_ms);
}

int slow_watch_moved(RateWatch *w, uint64_t bytes)
{
    HttpStall stall;
    if (rate_watch_step(w, http_rate_tick(), bytes, &stall))
        return 1;
    g_stall = stall;
    return 0;
}

int slow_watch_timed_out(void)
{
    // Windows reports ERROR_WINHTTP_TIMEOUT; Wine passes the socket's own
    // WSAETIMEDOUT through.
    DWORD error = GetLastError();
    if ((error != ERROR_WINHTTP_TIMEOUT && error != WSAETIMEDOUT) || g_min_bytes == 0)
        return 0;
    g_stall.bytes = 0;
    g_stall.seconds = slow_rule_receive_timeout_ms() / 1000;
    return 1;
}
