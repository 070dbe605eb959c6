// The byte scanner of the web site's status and feed documents.
//
// The documents are not parsed as JSON: a few fixed key patterns are looked
// for and the values after them copied. Every read is bounded by the range
// the caller gives (bodies need no terminator), numbers saturate instead of
// overflowing, and no platform call is made, so that this file also builds
// natively under the sanitizers (tests/ui/native).
//
// Titles become UTF-16 units written one by one, also where wchar_t is wider
// than 16 bits, so the record is the same on every build.
#include "ui/ui.h"

#include "base/base.h"

#include <stdint.h>
#include <string.h>

namespace {

enum {
    KEY_PATTERN_BYTES = 64,
    TITLE_BYTES = 256,  // at most 252 bytes of text
    DATE_BYTES = 40,    // at most 36 bytes of text
    // What copy_json_string keeps free at the end of its buffer.
    COPY_RESERVE_BYTES = 4,
};

const char ITEM_OPENING[] = "{\"id\":";
const size_t ITEM_OPENING_BYTES = sizeof ITEM_OPENING - 1;

const char *const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The decimal integer at [p, end) the way the C library reads one: leading
// blanks, an optional sign, digits up to the first other byte; 0 without
// digits. A value beyond 64 bits saturates; callers decide what "too large"
// means for them.
int64_t read_decimal(const char *p, const char *end)
{
    while (p < end && is_blank(*p))
        p++;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        p++;
    }
    // Kept as a magnitude that stops growing past INT64_MAX.
    uint64_t magnitude = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++) {
        unsigned digit = (unsigned)(*p - '0');
        if (magnitude > ((uint64_t)INT64_MAX - digit) / 10)
            magnitude = (uint64_t)INT64_MAX;
        else
            magnitude = magnitude * 10 + digit;
    }
    return negative ? -(int64_t)magnitude : (int64_t)magnitude;
}

int32_t clamp_to_int32(int64_t v)
{
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return (int32_t)v;
}

}  // namespace

const char *find_json_key(const char *start, const char *end, const char *key)
{
    if (!start || !end || start > end)
        return nullptr;
    char pattern[KEY_PATTERN_BYTES];
    format_narrow(pattern, sizeof pattern, "\"%s\":", key ? key : "");
    size_t plen = strlen(pattern);
    for (const char *p = start; (size_t)(end - p) >= plen; p++) {
        if (memcmp(p, pattern, plen) == 0)
            return p + plen;
    }
    return nullptr;
}

void copy_json_string(const char *pos, const char *end, char *buf, size_t cap_bytes)
{
    if (cap_bytes == 0)
        return;
    buf[0] = 0;
    if (!pos || !end || pos >= end || *pos != '"')
        return;
    const size_t limit = cap_bytes > COPY_RESERVE_BYTES ? cap_bytes - COPY_RESERVE_BYTES : 0;
    const char *p = pos + 1;
    size_t n = 0;
    while (p < end && *p != '"' && n < limit) {
        if (*p != '\\') {
            buf[n++] = *p++;
            continue;
        }
        if (end - p == 1) {  // the range ends on the backslash
            buf[n++] = '\\';
            p++;
            continue;
        }
        char next = p[1];
        if (next == 'n' || next == 'r' || next == 't') {
            buf[n++] = ' ';
            p += 2;
        } else if (next == 'u' && end - p > 5) {
            buf[n++] = '?';
            p += 6;
        } else {
            buf[n++] = next;
            p += 2;
        }
    }
    // A cut through a multi-byte character would leave a broken one behind.
    if (n == limit && p < end && ((unsigned char)*p & 0xC0) == 0x80)
        n = utf8_cut_length(buf, n);
    buf[n] = 0;
}

void format_news_date(const char *date, wchar_t *out)
{
    out[0] = 0;
    size_t len = strlen(date);
    if (len < 10)
        return;
    const char *end = date + len;
    int64_t month = read_decimal(date + 5, end);
    if (month < 1 || month > 12)
        return;
    // Unchecked, but kept inside 32 bits so that its text fits.
    int32_t day = clamp_to_int32(read_decimal(date + 8, end));
    format_wide(out, NEWS_DATE_CHARS, L"%d %S", (int)day, MONTHS[month - 1]);
}

void scan_server_status(const char *body, size_t len, ServerInfo *info)
{
    info->server_status = -1;
    if (!body)
        return;
    const char *end = body + len;
    const char *g = find_json_key(body, end, "gameServer");
    if (!g)
        return;
    const char *o = find_json_key(g, end, "online");
    if (!o)
        return;
    info->server_status = (end - o >= 4 && memcmp(o, "true", 4) == 0) ? 1 : 0;
}

void scan_news_feed(const char *body, size_t len, ServerInfo *info)
{
    static const char *const DATE_KEYS[] = {"published_at", "publishedAt", "created_at",
                                            "createdAt"};
    info->item_count = 0;
    if (!body)
        return;
    const char *end = body + len;
    const char *p = body;
    while (info->item_count < NEWS_ITEMS) {
        const char *item = nullptr;
        for (; (size_t)(end - p) >= ITEM_OPENING_BYTES; p++) {
            if (memcmp(p, ITEM_OPENING, ITEM_OPENING_BYTES) == 0) {
                item = p;
                break;
            }
        }
        if (!item)
            break;
        int64_t id = read_decimal(item + ITEM_OPENING_BYTES, end);
        const char *t = find_json_key(item, end, "title");
        const char *d = nullptr;
        for (size_t k = 0; k < sizeof DATE_KEYS / sizeof DATE_KEYS[0] && !d; k++)
            d = find_json_key(item, end, DATE_KEYS[k]);
        char title[TITLE_BYTES] = "";
        char date[DATE_BYTES] = "";
        if (t)
            copy_json_string(t, end, title, sizeof title);
        if (d)
            copy_json_string(d, end, date, sizeof date);
        // An id past 32 bits names no item we could open.
        if (t && id > 0 && id <= INT32_MAX) {
            NewsItem *it = &info->items[info->item_count++];
            it->id = (int32_t)id;
            utf8_to_utf16_units(title, it->title, NEWS_TITLE_CHARS);
            format_news_date(date, it->date);
        }
        p = item + ITEM_OPENING_BYTES;
    }
}
