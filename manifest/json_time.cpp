// The manifest's UTC time stamps ("2024-05-01T12:00:00Z").
//
// The accepted texts are those of the pattern "%4d-%2d-%2dT%2d:%2d:%2d" under
// the C library's scanf rules with the 'Z' at index 19, and the accepted
// values those that Windows takes as a SYSTEMTIME (years 1601..30827). Both
// are done here byte by byte, so that the result does not depend on the
// runtime library and the file builds natively.
#include "manifest/manifest.h"

#include <string.h>

namespace {

// 100-nanosecond ticks from 1601-01-01 to 1970-01-01 (the FILETIME epoch gap).
const uint64_t EPOCH_GAP_TICKS = 116444736000000000ull;
const uint64_t TICKS_PER_SECOND = 10000000ull;

bool scanf_space(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// One "%<width>d": leading white space (not counted in the width), an
// optional sign, then digits, at most `width` characters after the spaces.
bool scan_int(const char **p, int width, int *out)
{
    const char *s = *p;
    while (scanf_space(*s))
        s++;
    int used = 0;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        s++;
        used++;
    }
    int value = 0;
    int digits = 0;
    while (used < width && *s >= '0' && *s <= '9') {
        value = value * 10 + (*s - '0');
        s++;
        used++;
        digits++;
    }
    if (digits == 0)
        return false;
    *out = negative ? -value : value;
    *p = s;
    return true;
}

bool scan_literal(const char **p, char ch)
{
    if (**p != ch)
        return false;
    (*p)++;
    return true;
}

bool is_leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month)
{
    static const int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : DAYS[month - 1];
}

// Days from 1601-01-01 to the given date (which is valid, year >= 1601).
uint64_t days_since_1601(int year, int month, int day)
{
    int y = year - 1601;
    uint64_t days = (uint64_t)y * 365 + (uint64_t)(y / 4 - y / 100 + y / 400);
    for (int m = 1; m < month; m++)
        days += (uint64_t)days_in_month(year, m);
    return days + (uint64_t)(day - 1);
}

}  // namespace

int64_t parse_utc_time(const char *text)
{
    if (!text)
        return -1;
    const char *p = text;
    int year, month, day, hour, minute, second;
    if (!scan_int(&p, 4, &year) || !scan_literal(&p, '-') || !scan_int(&p, 2, &month) ||
        !scan_literal(&p, '-') || !scan_int(&p, 2, &day) || !scan_literal(&p, 'T') ||
        !scan_int(&p, 2, &hour) || !scan_literal(&p, ':') || !scan_int(&p, 2, &minute) ||
        !scan_literal(&p, ':') || !scan_int(&p, 2, &second))
        return -1;
    if (strlen(text) < 20 || text[19] != 'Z')
        return -1;
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 ||
        day > days_in_month(year, month) || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59)
        return -1;

    uint64_t seconds = days_since_1601(year, month, day) * 86400u +
                       (uint64_t)(hour * 3600 + minute * 60 + second);
    uint64_t ticks = seconds * TICKS_PER_SECOND;
    // Before 1970 the unsigned difference would wrap into a date tens of
    // thousands of years ahead, which would then pass every "newer than the
    // applied release" test; such times are refused instead.
    if (ticks < EPOCH_GAP_TICKS)
        return -1;
    return (int64_t)((ticks - EPOCH_GAP_TICKS) / TICKS_PER_SECOND);
}
