// The byte scanner of the web site's status and feed documents.
//
// The documents are not parsed as JSON: a few fixed keys are looked for and
// the values after them copied. Ordinary encoders put blanks around colons
// and escape every non-ASCII letter as \uXXXX, so both are read as JSON
// means them. A feed item's keys are searched inside that item's own object
// only: a key it lacks must not be taken from the next item. Every read is
// bounded by the range the caller gives (bodies need no terminator), nesting
// is counted, never recursed into, numbers saturate instead of overflowing,
// and no platform call is made, so that this file also builds natively under
// the sanitizers (tests/ui/native).
//
// Titles become UTF-16 units written one by one, also where wchar_t is wider
// than 16 bits, so the record is the same on every build.
#include "ui/news_internal.h"

#include "base/base.h"
#include "content/content.h"

#include <stdint.h>
#include <string.h>

namespace {

enum {
    TITLE_BYTES = 256,  // at most 252 bytes of text
    DATE_BYTES = 40,    // at most 36 bytes of text
    // What copy_json_string keeps free at the end of its buffer.
    COPY_RESERVE_BYTES = 4,
};

const uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

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

const char *skip_blanks(const char *p, const char *end)
{
    while (p < end && is_blank(*p))
        p++;
    return p;
}

// The closing quote of the string whose contents begin at `p`, or `end`.
const char *string_end(const char *p, const char *end)
{
    while (p < end && *p != '"')
        p += (*p == '\\' && end - p > 1) ? 2 : 1;
    return p;
}

// With `p` at an opening quote: the start of the value when the quoted text
// is exactly `key` followed by a colon (blanks around the colon skipped),
// else null.
const char *value_of_key(const char *p, const char *end, const char *key, size_t key_bytes)
{
    if ((size_t)(end - p) < key_bytes + 2 || p[0] != '"' || memcmp(p + 1, key, key_bytes) != 0 ||
        p[key_bytes + 1] != '"')
        return nullptr;
    p = skip_blanks(p + key_bytes + 2, end);
    if (p == end || *p != ':')
        return nullptr;
    return skip_blanks(p + 1, end);
}

// With `p` at an opening brace whose first key is "id": the start of the
// id's value, else null.
const char *item_id_value(const char *p, const char *end)
{
    if (p == end || *p != '{')
        return nullptr;
    return value_of_key(skip_blanks(p + 1, end), end, "id", 2);
}

// The end of the object that opens at `open`: the position after its closing
// brace, or `end` when the range ends first. Braces and brackets are counted
// alike; a feed that pairs them wrongly only narrows or widens one item.
const char *object_end(const char *open, const char *end)
{
    size_t depth = 0;
    for (const char *p = open; p < end; p++) {
        if (*p == '"') {
            p = string_end(p + 1, end);
            if (p == end)
                break;
        } else if (*p == '{' || *p == '[') {
            depth++;
        } else if ((*p == '}' || *p == ']') && (depth == 0 || --depth == 0)) {
            return p + 1;
        }
    }
    return end;
}

// The value of member `key` of the object that opens at `open` and ends by
// `stop`: only the object's own keys count, not those of objects inside it.
const char *find_member(const char *open, const char *stop, const char *key)
{
    const size_t key_bytes = strlen(key);
    size_t depth = 0;
    bool key_next = false;  // the next string at depth 1 is a key
    for (const char *p = open; p < stop; p++) {
        switch (*p) {
        case '"':
            if (depth == 1 && key_next) {
                const char *value = value_of_key(p, stop, key, key_bytes);
                if (value)
                    return value;
            }
            key_next = false;
            p = string_end(p + 1, stop);
            if (p == stop)
                return nullptr;
            break;
        case '{':
        case '[':
            depth++;
            key_next = *p == '{' && depth == 1;
            break;
        case '}':
        case ']':
            if (depth == 0 || --depth == 0)
                return nullptr;
            break;
        case ',':
            key_next = depth == 1;
            break;
        default:
            break;
        }
    }
    return nullptr;
}

// The code point of the \uXXXX escape at `p` (its backslash; at least six
// bytes before `end`), and in *used the bytes it takes: an escaped high
// surrogate and an escaped low one make one code point of twelve bytes; a
// lone or broken surrogate, or a digit that is not hexadecimal, is U+FFFD.
uint32_t unicode_escape(const char *p, const char *end, size_t *used)
{
    *used = 6;
    int unit = hex_quad_value(p + 2);
    if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
        return REPLACEMENT_CHARACTER;
    if (unit < 0xD800 || unit > 0xDBFF)
        return (uint32_t)unit;
    if (end - p >= 12 && p[6] == '\\' && p[7] == 'u') {
        int low = hex_quad_value(p + 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            *used = 12;
            return 0x10000 + (((uint32_t)unit - 0xD800) << 10) + ((uint32_t)low - 0xDC00);
        }
    }
    return REPLACEMENT_CHARACTER;
}

// copy_json_string, telling in *cut whether the value went on past what the
// buffer could take.
void copy_string_value(const char *pos, const char *end, char *buf, size_t cap_bytes, bool *cut)
{
    *cut = false;
    if (cap_bytes == 0)
        return;
    buf[0] = 0;
    if (!pos || !end || pos >= end || *pos != '"')
        return;
    const size_t limit = cap_bytes > COPY_RESERVE_BYTES ? cap_bytes - COPY_RESERVE_BYTES : 0;
    const char *p = pos + 1;
    size_t n = 0;
    while (p < end && *p != '"') {
        char piece[4] = {*p};
        size_t piece_bytes = 1, step = 1;
        if (*p == '\\' && end - p > 1) {
            char next = p[1];
            step = 2;
            if (next == 'n' || next == 'r' || next == 't') {
                piece[0] = ' ';
            } else if (next == 'u' && end - p > 5) {
                uint32_t cp = unicode_escape(p, end, &step);
                // Control characters would end or break a one-line title.
                piece_bytes = utf8_encode(cp < 0x20 ? ' ' : cp, piece);
            } else {
                piece[0] = next;
            }
        }
        if (n + piece_bytes > limit) {
            *cut = true;
            break;
        }
        memcpy(buf + n, piece, piece_bytes);
        n += piece_bytes;
        p += step;
    }
    // A cut through a multi-byte character would leave a broken one behind.
    if (*cut && ((unsigned char)*p & 0xC0) == 0x80)
        n = utf8_cut_length(buf, n);
    buf[n] = 0;
}

// NUL-terminated UTF-8 `text` (at most TITLE_BYTES) as UTF-16 units in
// `out` of NEWS_TITLE_CHARS, invalid bytes as U+FFFD. A title that does not
// fit, or that came `cut`, ends at a word with an ellipsis, so that a row
// never shows half a word as if it were the whole title.
void title_to_utf16(const char *text, bool cut, wchar_t *out)
{
    // Whole here: a byte of UTF-8 never makes more than one UTF-16 unit.
    wchar_t all[TITLE_BYTES];
    utf8_to_utf16_units(text, all, TITLE_BYTES);
    size_t units = 0;
    while (all[units])
        units++;
    if (units < NEWS_TITLE_CHARS && !cut) {
        memcpy(out, all, (units + 1) * sizeof *out);
        return;
    }
    // Room for the ellipsis, never half a surrogate pair.
    if (units > NEWS_TITLE_CHARS - 2) {
        units = NEWS_TITLE_CHARS - 2;
        if (((uint32_t)all[units - 1] & 0xFC00) == 0xD800)
            units--;
    }
    bool at_word_end = all[units] == L' ';
    size_t word = units;
    while (!at_word_end && word > 0 && all[word - 1] != L' ')
        word--;
    if (word > 0)
        units = word;  // a single word longer than the field is cut inside
    while (units > 0 && all[units - 1] == L' ')
        units--;
    memcpy(out, all, units * sizeof *out);
    out[units++] = (wchar_t)0x2026;
    out[units] = 0;
}

}  // namespace

const char *find_json_key(const char *start, const char *end, const char *key)
{
    if (!start || !end || start > end)
        return nullptr;
    const char *k = key ? key : "";
    const size_t key_bytes = strlen(k);
    for (const char *p = (const char *)memchr(start, '"', (size_t)(end - start)); p;
         p = (const char *)memchr(p + 1, '"', (size_t)(end - p - 1))) {
        const char *value = value_of_key(p, end, k, key_bytes);
        if (value)
            return value;
    }
    return nullptr;
}

void copy_json_string(const char *pos, const char *end, char *buf, size_t cap_bytes)
{
    bool cut;
    copy_string_value(pos, end, buf, cap_bytes, &cut);
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
    while (info->item_count < NEWS_ITEMS && p < end) {
        const char *open = (const char *)memchr(p, '{', (size_t)(end - p));
        if (!open)
            break;
        const char *id_value = item_id_value(open, end);
        p = open + 1;
        if (!id_value)
            continue;
        const char *stop = object_end(open, end);
        int64_t id = read_decimal(id_value, stop);
        const char *t = find_member(open, stop, "title");
        const char *d = nullptr;
        for (size_t k = 0; k < sizeof DATE_KEYS / sizeof DATE_KEYS[0] && !d; k++)
            d = find_member(open, stop, DATE_KEYS[k]);
        // An item without a title has nothing to show; an id past 32 bits
        // names no item we could open. Objects inside such an item are
        // looked at in turn: the feed may wrap its items in one.
        if (!t || id <= 0 || id > INT32_MAX)
            continue;
        char title[TITLE_BYTES] = "";
        char date[DATE_BYTES] = "";
        bool title_cut = false, date_cut = false;
        copy_string_value(t, stop, title, sizeof title, &title_cut);
        if (d)
            copy_string_value(d, stop, date, sizeof date, &date_cut);
        NewsItem *it = &info->items[info->item_count++];
        it->id = (int32_t)id;
        title_to_utf16(title, title_cut, it->title);
        format_news_date(date, it->date);
        p = stop;
    }
}
