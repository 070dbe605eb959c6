// The slow-transfer rule as the GETs of this folder apply it. Nothing
// outside net/ includes this.
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
