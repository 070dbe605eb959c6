// The server status and news poller, and the byte-level scanner that turns
// the web site's answers into the record the window shows. This header and
// the scanner make no platform calls, so the scanner also builds natively
// for fuzzing and sanitizers. Internal to ui/.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    NEWS_ITEMS = 3,
    NEWS_DATE_CHARS = 16,
    NEWS_TITLE_CHARS = 96,
};

struct NewsItem {
    int32_t id;  // > 0 for a stored item; unused items are zero-filled
    wchar_t date[NEWS_DATE_CHARS];    // "7 Mar", or empty
    wchar_t title[NEWS_TITLE_CHARS];
};

// One poll's result, handed to the window whole in WM_LAUNCHER_SERVER_INFO.
struct ServerInfo {
    int32_t server_status;  // 1 online, 0 offline, -1 unknown
    int32_t item_count;     // 0..NEWS_ITEMS
    NewsItem items[NEWS_ITEMS];
};

// Starts the poller thread for `window` (HWND): a poll at once, then one a
// minute, each posted as WM_LAUNCHER_SERVER_INFO. Not reported when the
// thread cannot start.
void poller_start(void *window);
// Tells the poller to stop: it ends after the poll in progress, without
// posting it, or at once when it waits for the next one.
void poller_stop(void);
// Waits up to `wait_ms` for a stopped poller to end: 1 when no poller
// thread is left, 0 when it still runs (a poll's request that takes long).
int poller_wait(uint32_t wait_ms);
// One poll of the web site's status and feed into `info` (zero-filled by the
// caller).
void poll_server_info(ServerInfo *info);
// The web site the poller asks (KORVANTH_WEB_URL unless set; null restores
// it). `base_url` ends in "/".
void poller_set_web_url(const wchar_t *base_url);
// The web site in use, ending in "/": the news pages hang off it too.
const wchar_t *poller_web_url(void);

// Byte-level halves of a poll, free of platform calls. `body` holds `len`
// bytes (no terminator needed).
// The "gameServer" ... "online" value into info->server_status (1 only for
// true, 0 for any other value, -1 when a key is missing).
void scan_server_status(const char *body, size_t len, ServerInfo *info);
// Up to NEWS_ITEMS items of the feed into info (item_count and items): the
// objects whose first key is "id" (above 0, within 32 bits) and that have a
// "title"; their title and date are taken from their own keys only. A title
// longer than its field ends at a word with an ellipsis.
void scan_news_feed(const char *body, size_t len, ServerInfo *info);

// The start of the value of the first "key" in [start, end) (the key matched
// whole, quotes included; blanks around its colon skipped), or null.
const char *find_json_key(const char *start, const char *end, const char *key);
// Copies the JSON string value at `pos` (which must be its opening quote)
// into `buf` of `cap_bytes`: at most cap_bytes - 4 bytes, never part of a
// UTF-8 sequence; \n \r \t and escaped control characters as a blank,
// \uXXXX as UTF-8 (a surrogate pair as one character, a lone or broken one
// as U+FFFD), other escaped bytes as themselves. Empty text when `pos` is
// not a quote or `cap_bytes` is below 5; nothing at all is written when it
// is 0.
void copy_json_string(const char *pos, const char *end, char *buf, size_t cap_bytes);
// "2024-03-07..." as "7 Mar" into `out` (NEWS_DATE_CHARS); empty text for a
// text under 10 bytes or a month outside 1..12.
void format_news_date(const char *date, wchar_t *out);
