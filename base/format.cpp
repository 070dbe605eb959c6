// Bounded printf with the Windows runtime's string rules, for both text kinds.
//
// The C library's own formatters do not fit: mingw's C99 stdio reads %s in a
// wide format as narrow, and msvcrt converts between the kinds through the
// ANSI code page, which turns UTF-8 version texts and paths into mojibake.
// So the directives are parsed here; strings and characters are copied (and
// converted between UTF-8 and UTF-16) by this file, while numbers are handed,
// one directive at a time, to the C library's snprintf.
//
// No platform calls: this file also builds natively for fuzzing.
#include "base/base.h"
#include "base/utf.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#ifdef _WIN32
// The C99 formatter of mingw-w64: %lld and %Lf work on every Windows version.
#define number_snprintf __mingw_snprintf
#else
#define number_snprintf snprintf
#endif

namespace {

// Width and precision beyond this are refused as format errors; no text of
// the launcher comes near it, and it keeps the number buffer bounded.
const int MAX_FIELD = 400;
const size_t NUMBER_CHARS = 512;

template <typename C>
struct Out {
    C *dst;
    size_t cap;   // units of dst, with the terminator
    size_t len;   // units the complete text has so far

    void put(C c)
    {
        if (len + 1 < cap)
            dst[len] = c;
        len++;
    }
    void put_cp(uint32_t cp);
    void pad(int n, C c)
    {
        for (; n > 0; n--)
            put(c);
    }
};

size_t encode_one(uint32_t cp, char *buf) { return utf8_encode(cp, buf); }
size_t encode_one(uint32_t cp, wchar_t *buf) { return utf16_encode(cp, buf); }

template <typename C>
void Out<C>::put_cp(uint32_t cp)
{
    C buf[4];
    size_t n = encode_one(cp, buf);
    for (size_t i = 0; i < n; i++)
        put(buf[i]);
}

uint32_t decode_one(const char *s, size_t n, size_t *used)
{
    return utf8_decode((const unsigned char *)s, n, used);
}

uint32_t decode_one(const wchar_t *s, size_t n, size_t *used)
{
    return utf16_decode(s, n, used);
}

// Copies `n` units of a string argument, converting where the kinds differ.
template <typename C, typename S>
void copy_units(Out<C> &out, const S *s, size_t n)
{
    if (sizeof(S) == sizeof(C)) {
        for (size_t i = 0; i < n; i++)
            out.put((C)s[i]);
        return;
    }
    for (size_t i = 0; i < n;) {
        size_t used;
        out.put_cp(decode_one(s + i, n - i, &used));
        i += used;
    }
}

// A string argument: at most `precision` units of it (all when negative),
// padded with spaces to `width` output units. A null pointer prints as
// "(null)", as the runtime does.
template <typename C, typename S>
void put_string(Out<C> &out, const S *s, int precision, int width, bool left)
{
    if (!s) {
        put_string(out, "(null)", precision, width, left);
        return;
    }
    size_t n = 0;
    while (s[n] && (precision < 0 || n < (size_t)precision))
        n++;
    Out<C> counter = {nullptr, 0, 0};  // measures without writing
    if (width > 0)
        copy_units(counter, s, n);
    int padding = width - (int)counter.len;
    if (!left)
        out.pad(padding, (C)' ');
    copy_units(out, s, n);
    if (left)
        out.pad(padding, (C)' ');
}

enum Length { LEN_NONE, LEN_HH, LEN_H, LEN_L, LEN_LL, LEN_BIG_L, LEN_SIZE, LEN_64, LEN_32, LEN_W };

template <typename C>
bool is_digit(C c) { return c >= (C)'0' && c <= (C)'9'; }

// Reads a run of digits; false when it exceeds MAX_FIELD.
template <typename C>
bool read_number(const C *&p, int *value)
{
    int v = 0;
    while (is_digit(*p)) {
        v = v * 10 + (int)(*p - (C)'0');
        if (v > MAX_FIELD)
            return false;
        p++;
    }
    *value = v;
    return true;
}

// Formats the text into `dst`; returns the complete length in units, or -1 on
// a format error.
template <typename C>
long format_any(C *dst, size_t cap, const C *fmt, va_list *ap)
{
    Out<C> out = {dst, cap, 0};
    for (const C *p = fmt; *p; p++) {
        if (*p != (C)'%') {
            out.put(*p);
            continue;
        }
        p++;
        if (*p == (C)'%') {
            out.put((C)'%');
            continue;
        }

        char flags[8];
        size_t nflags = 0;
        bool left = false;
        while (*p == (C)'-' || *p == (C)'+' || *p == (C)' ' || *p == (C)'#' || *p == (C)'0') {
            if (*p == (C)'-')
                left = true;
            if (nflags < sizeof flags - 1)
                flags[nflags++] = (char)*p;
            p++;
        }
        flags[nflags] = 0;

        int width = 0;
        if (*p == (C)'*') {
            width = va_arg(*ap, int);
            if (width < 0) {
                left = true;
                if (nflags < sizeof flags - 1) {
                    flags[nflags++] = '-';
                    flags[nflags] = 0;
                }
                width = width == -2147483647 - 1 ? MAX_FIELD + 1 : -width;
            }
            if (width > MAX_FIELD)
                return -1;
            p++;
        } else if (!read_number(p, &width)) {
            return -1;
        }

        int precision = -1;
        if (*p == (C)'.') {
            p++;
            if (*p == (C)'*') {
                precision = va_arg(*ap, int);
                if (precision > MAX_FIELD)
                    return -1;
                if (precision < 0)
                    precision = -1;
                p++;
            } else if (!read_number(p, &precision)) {
                return -1;
            }
        }

        Length length = LEN_NONE;
        switch (*p) {
        case 'h':
            p++;
            length = LEN_H;
            if (*p == (C)'h') { length = LEN_HH; p++; }
            break;
        case 'l':
            p++;
            length = LEN_L;
            if (*p == (C)'l') { length = LEN_LL; p++; }
            break;
        case 'L': p++; length = LEN_BIG_L; break;
        case 'w': p++; length = LEN_W; break;
        case 'j': p++; length = LEN_64; break;
        case 'z': case 't': p++; length = LEN_SIZE; break;
        case 'I':
            p++;
            if (p[0] == (C)'6' && p[1] == (C)'4') { length = LEN_64; p += 2; }
            else if (p[0] == (C)'3' && p[1] == (C)'2') { length = LEN_32; p += 2; }
            else length = LEN_SIZE;
            break;
        default:
            break;
        }

        C conv = *p;
        // In this kind's own terms: does %s/%c take the other kind?
        bool other_kind = conv == (C)'S' || conv == (C)'C';
        bool wide_arg;
        if (length == LEN_H)
            wide_arg = false;
        else if (length == LEN_L || length == LEN_W)
            wide_arg = true;
        else
            wide_arg = (sizeof(C) == sizeof(wchar_t)) != other_kind;

        char spec[48];
        char number[NUMBER_CHARS];
        int n = -1;
        switch (conv) {
        case 's': case 'S':
            if (wide_arg)
                put_string(out, va_arg(*ap, const wchar_t *), precision, width, left);
            else
                put_string(out, va_arg(*ap, const char *), precision, width, left);
            continue;
        case 'c': case 'C': {
            // Both kinds of character arrive promoted to int.
            uint32_t cp = (uint32_t)va_arg(*ap, int);
            cp &= wide_arg ? 0xFFFFu : 0xFFu;
            Out<C> counter = {nullptr, 0, 0};
            counter.put_cp(cp);
            if (!left)
                out.pad(width - (int)counter.len, (C)' ');
            out.put_cp(cp);
            if (left)
                out.pad(width - (int)counter.len, (C)' ');
            continue;
        }
        case 'd': case 'i': {
            long long v;
            switch (length) {
            case LEN_HH: v = (signed char)va_arg(*ap, int); break;
            case LEN_H: v = (short)va_arg(*ap, int); break;
            case LEN_L: v = va_arg(*ap, long); break;
            case LEN_LL: case LEN_64: v = va_arg(*ap, long long); break;
            case LEN_SIZE: v = va_arg(*ap, ptrdiff_t); break;
            default: v = va_arg(*ap, int); break;
            }
            if (precision >= 0)
                snprintf(spec, sizeof spec, "%%%s%d.%dlld", flags, width, precision);
            else
                snprintf(spec, sizeof spec, "%%%s%dlld", flags, width);
            n = number_snprintf(number, sizeof number, spec, v);
            break;
        }
        case 'u': case 'o': case 'x': case 'X': {
            unsigned long long v;
            switch (length) {
            case LEN_HH: v = (unsigned char)va_arg(*ap, unsigned); break;
            case LEN_H: v = (unsigned short)va_arg(*ap, unsigned); break;
            case LEN_L: v = va_arg(*ap, unsigned long); break;
            case LEN_LL: case LEN_64: v = va_arg(*ap, unsigned long long); break;
            case LEN_SIZE: v = va_arg(*ap, size_t); break;
            default: v = va_arg(*ap, unsigned); break;
            }
            if (precision >= 0)
                snprintf(spec, sizeof spec, "%%%s%d.%dll%c", flags, width, precision, (char)conv);
            else
                snprintf(spec, sizeof spec, "%%%s%dll%c", flags, width, (char)conv);
            n = number_snprintf(number, sizeof number, spec, v);
            break;
        }
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': {
            double v = length == LEN_BIG_L ? (double)va_arg(*ap, long double) : va_arg(*ap, double);
            if (precision >= 0)
                snprintf(spec, sizeof spec, "%%%s%d.%d%c", flags, width, precision, (char)conv);
            else
                snprintf(spec, sizeof spec, "%%%s%d%c", flags, width, (char)conv);
            n = number_snprintf(number, sizeof number, spec, v);
            break;
        }
        case 'p': {
            void *v = va_arg(*ap, void *);
            snprintf(spec, sizeof spec, "%%%s%dp", flags, width);
            n = number_snprintf(number, sizeof number, spec, v);
            break;
        }
        default:
            // %n, an unknown letter or the end of the format.
            return -1;
        }
        if (n < 0 || (size_t)n >= sizeof number)
            return -1;
        for (int i = 0; i < n; i++)
            out.put((C)(unsigned char)number[i]);
    }
    return (long)out.len;
}

// Where a cut text must end so that no code point is split: `end` is the
// number of units kept.
size_t clean_cut(const char *s, size_t end)
{
    return utf8_cut_length(s, end);
}

size_t clean_cut(const wchar_t *s, size_t end)
{
    if (end > 0 && ((uint32_t)s[end - 1] & 0xFC00) == 0xD800)
        return end - 1;
    return end;
}

}  // namespace

int format_narrow_v(char *dst, size_t cap_bytes, const char *fmt, va_list args)
{
    va_list ap;
    va_copy(ap, args);
    long len = format_any(dst, cap_bytes, fmt, &ap);
    va_end(ap);
    if (cap_bytes == 0)
        return len < 0 ? -1 : (int)len;
    if (len < 0) {
        dst[0] = 0;
        return -1;
    }
    if ((size_t)len < cap_bytes)
        dst[len] = 0;
    else
        dst[clean_cut(dst, cap_bytes - 1)] = 0;
    return (int)len;
}

int format_narrow(char *dst, size_t cap_bytes, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = format_narrow_v(dst, cap_bytes, fmt, ap);
    va_end(ap);
    return r;
}

int format_wide_v(wchar_t *dst, size_t cap_chars, const wchar_t *fmt, va_list args)
{
    va_list ap;
    va_copy(ap, args);
    long len = format_any(dst, cap_chars, fmt, &ap);
    va_end(ap);
    if (cap_chars == 0)
        return -1;
    if (len < 0) {
        dst[0] = 0;
        return -1;
    }
    if ((size_t)len < cap_chars) {
        dst[len] = 0;
        return (int)len;
    }
    dst[clean_cut(dst, cap_chars - 1)] = 0;
    return -1;
}

int format_wide(wchar_t *dst, size_t cap_chars, const wchar_t *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = format_wide_v(dst, cap_chars, fmt, ap);
    va_end(ap);
    return r;
}
