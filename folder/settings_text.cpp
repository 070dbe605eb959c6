// The folder's settings file as text: "[section]" lines and "key=value"
// lines under them, read and changed without platform calls. The player may
// edit the file by hand: spaces around names and values, comment lines
// (';' or '#'), CRLF or LF line ends and sections and keys in any letter
// case are all taken; a change rewrites only the one line it is about.
//
// The download limit it keeps: "off", or a rate in KB/s or MB/s (units of
// 1,024 bytes, as the detail line counts them).
#include "folder/folder.h"

#include <string.h>

namespace {

const uint64_t KIB = 1024;
// 1 KB/s to 10 GB/s: below it no transfer passes the slow-transfer rule's
// minimum, beyond it lies no line.
const uint64_t RATE_MAX = 10240 * KIB * KIB;

struct Line {
    const char *start, *end;  // without its line end
    const char *next;         // the next line's start
};

Line line_at(const char *at, const char *end)
{
    Line l = {at, at, at};
    while (l.end < end && *l.end != '\n')
        l.end++;
    l.next = l.end < end ? l.end + 1 : end;
    if (l.end > l.start && l.end[-1] == '\r')
        l.end--;
    return l;
}

void trim(const char **start, const char **end)
{
    while (*start < *end && (**start == ' ' || **start == '\t'))
        ++*start;
    while (*end > *start && ((*end)[-1] == ' ' || (*end)[-1] == '\t'))
        --*end;
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c;
}

bool same_name(const char *start, const char *end, const char *name)
{
    size_t n = strlen(name);
    if ((size_t)(end - start) != n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (lower(start[i]) != lower(name[i]))
            return false;
    return true;
}

// Whether the line opens a section, and then whether it is `section`.
bool section_line(const Line &l, const char *section, bool *is_it)
{
    const char *s = l.start, *e = l.end;
    trim(&s, &e);
    if (e - s < 2 || *s != '[' || e[-1] != ']')
        return false;
    s++;
    e--;
    trim(&s, &e);
    *is_it = same_name(s, e, section);
    return true;
}

// Whether the line sets `key`, and then where its value is.
bool key_line(const Line &l, const char *key, const char **value, const char **value_end)
{
    const char *eq = (const char *)memchr(l.start, '=', (size_t)(l.end - l.start));
    if (!eq)
        return false;
    const char *s = l.start, *e = eq;
    trim(&s, &e);
    if (!same_name(s, e, key))
        return false;
    *value = eq + 1;
    *value_end = l.end;
    trim(value, value_end);
    return true;
}

// The line of `key` in `section` (its start in *line, and its value), or
// the end of that section (where a new line goes) in *line when it has no
// such key; false when there is no such section.
bool find_key(const char *text, size_t len, const char *section, const char *key, Line *line,
              const char **value, const char **value_end)
{
    const char *end = text + len;
    bool inside = false, found_section = false;
    const char *section_end = end;
    for (const char *at = text; at < end;) {
        Line l = line_at(at, end);
        bool is_it = false;
        if (section_line(l, section, &is_it)) {
            if (inside) {
                section_end = at;
                break;
            }
            inside = is_it;
            found_section = found_section || is_it;
        } else if (inside && key_line(l, key, value, value_end)) {
            *line = l;
            return true;
        }
        at = l.next;
    }
    *line = line_at(section_end, end);
    line->next = line->start;
    *value = *value_end = nullptr;
    return found_section;
}

bool append(char *out, size_t cap, size_t *used, const char *bytes, size_t n)
{
    if (n > cap - *used)
        return false;
    memcpy(out + *used, bytes, n);
    *used += n;
    return true;
}

}  // namespace

int settings_get(const char *text, size_t len, const char *section, const char *key, char *out,
                 size_t cap)
{
    Line line;
    const char *value = nullptr, *value_end = nullptr;
    if (!find_key(text, len, section, key, &line, &value, &value_end) || !value ||
        (size_t)(value_end - value) >= cap)
        return 0;
    memcpy(out, value, (size_t)(value_end - value));
    out[value_end - value] = 0;
    return 1;
}

size_t settings_set(const char *text, size_t len, const char *section, const char *key,
                    const char *value, char *out, size_t cap)
{
    Line line;
    const char *old_value = nullptr, *old_end = nullptr;
    bool has_section = find_key(text, len, section, key, &line, &old_value, &old_end);
    size_t used = 0;
    // A text that ends without a line end gets one before anything is added.
    bool open_end = len > 0 && text[len - 1] != '\n';
    size_t before = (size_t)(line.start - text);
    bool ok = append(out, cap, &used, text, before);
    if (ok && !has_section) {
        ok = (!open_end || append(out, cap, &used, "\r\n", 2)) &&
             append(out, cap, &used, "[", 1) && append(out, cap, &used, section, strlen(section)) &&
             append(out, cap, &used, "]\r\n", 3);
    } else if (ok && !old_value && before > 0 && text[before - 1] != '\n') {
        ok = append(out, cap, &used, "\r\n", 2);
    }
    ok = ok && append(out, cap, &used, key, strlen(key)) && append(out, cap, &used, "=", 1) &&
         append(out, cap, &used, value, strlen(value)) && append(out, cap, &used, "\r\n", 2);
    const char *rest = old_value ? line.next : line.start;
    ok = ok && append(out, cap, &used, rest, (size_t)(text + len - rest));
    return ok ? used : 0;
}

bool rate_limit_parse(const char *text, uint64_t *bytes_per_second)
{
    const char *s = text, *e = text + strlen(text);
    trim(&s, &e);
    if (s == e || same_name(s, e, "off") || (e - s == 1 && *s == '0')) {
        *bytes_per_second = 0;
        return true;
    }
    // Whole units and up to three decimals, in thousandths.
    uint64_t milli = 0;
    int digits = 0, decimals = -1;
    for (; s < e && ((*s >= '0' && *s <= '9') || (*s == '.' && decimals < 0)); s++) {
        if (*s == '.') {
            decimals = 0;
            continue;
        }
        if (decimals >= 3 || ++digits > 9)
            return false;
        milli = milli * 10 + (uint64_t)(*s - '0');
        if (decimals >= 0)
            decimals++;
    }
    if (digits == 0)
        return false;
    for (int d = decimals < 0 ? 0 : decimals; d < 3; d++)
        milli *= 10;
    while (s < e && *s == ' ')
        s++;
    uint64_t unit;
    if (same_name(s, e, "KB/s") || same_name(s, e, "KB"))
        unit = KIB;
    else if (same_name(s, e, "MB/s") || same_name(s, e, "MB"))
        unit = KIB * KIB;
    else
        return false;
    uint64_t rate = milli * unit / 1000;
    if (rate < KIB || rate > RATE_MAX)
        return false;
    *bytes_per_second = rate;
    return true;
}

void rate_limit_format(uint64_t bytes_per_second, char *out, size_t cap)
{
    if (bytes_per_second == 0)
        format_narrow(out, cap, "off");
    else if (bytes_per_second % (KIB * KIB) == 0)
        format_narrow(out, cap, "%llu MB/s", (unsigned long long)(bytes_per_second / KIB / KIB));
    else
        format_narrow(out, cap, "%llu KB/s", (unsigned long long)((bytes_per_second + KIB / 2) / KIB));
}
