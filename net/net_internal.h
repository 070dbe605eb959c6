// The slow-transfer rule as the GETs of this folder apply it, and the start
// of a GET they share. Internal to net/.
#pragma once

#include "net/net.h"

// The receive time-out of every session, the longest any request waits.
const uint32_t SESSION_RECEIVE_TIMEOUT_MS = 60000;

// The receive time-out of every request: the rule's window, at most the
// session's 60 s (all of it when the rule is off).
uint32_t slow_rule_receive_timeout_ms(void);

// Starts watching a transfer at the rule's current tick and thresholds.
void slow_watch_begin(RateWatch *w);

// `bytes` more arrived. 1 to go on; 0 when the transfer is too slow (the
// stall is recorded for http_last_stall).
int slow_watch_moved(RateWatch *w, uint64_t bytes);

// Right after a WinHTTP receive failed: 1 when it failed by the receive
// time-out, a silence of the whole window (recorded as a stall of 0 bytes);
// 0 for any other failure.
int slow_watch_timed_out(void);

// The download limit around one read: how many of `available` bytes the
// read may take, reserved and waited for; and what the read left unused.
uint32_t rate_limit_take(uint32_t available);
void rate_limit_unused(uint32_t bytes);

// Follows the redirects of `request` (before it is sent), then records what
// its response (to `url`) was, for http_last_answer; a null request forgets
// the last one.
void http_watch_redirects(void *request);
void http_note_answer(void *request, const wchar_t *url);

// One GET on its way: the handles it holds and the slow-transfer rule's
// watch over it, started before the request is sent (the wait for the
// response counts).
struct HttpGet {
    void *session;       // the caller's kept session, or one opened for this GET
    bool own_session;    // `session` was opened here and is closed with the GET
    void *connection;
    void *request;
    RateWatch watch;
    int status;          // the response's status; 0 when it cannot be read
};

// Opens a GET of `url` on `kept_session` (null: a session of its own), sends
// it with `headers` (header lines, or null for none) and waits for the
// response's headers.
// Result: 1 with the status in `get->status`; 0 when no session, connection
// or request could be had or the send or receive failed; HTTP_TOO_SLOW when
// the wait for the response outlasted the slow-transfer window. Whatever the
// result, http_get_close releases what it opened.
int http_get_send(HttpGet *get, void *kept_session, const wchar_t *url, const wchar_t *headers);

// Closes the request, its connection and a session opened for the GET.
void http_get_close(HttpGet *get);
