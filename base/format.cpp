// Bounded printf with the Windows runtime's string rules, for both text kinds.
//
// The C library's own formatters do not fit: mingw's C99 stdio reads %s in a
// wide format as narrow, and msvcrt converts between the kinds through the
// ANSI code page, which turns UTF-8 version texts and paths into mojibake.
// So the directives are parsed here; strings and characters are copied (and
// converted between UTF-8 and UTF-16) by this file, while numbers are handed,
// one directive at a time, to the C library's snprintf. Each directive takes
// three steps: parse_directive reads it into a plain record, fetch_fields
// takes its '*' width and precision from the arguments, and convert fetches
// its argument and writes the text.
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

// One conversion directive as written between '%' and its letter. A '*'
// width or precision is marked here and fetched from the arguments later.
struct Directive {
    char flags[8];   // the flag characters, terminated, for the number formats
    size_t nflags;
    bool left;       // '-' among the flags, or a negative '*' width
    bool width_star;
    int width;       // 0 when none
    bool precision_star;
    int precision;   // -1 when none
    Length length;
    char conv;       // the conversion letter; 0 for the format's end or a non-ASCII unit
};

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

template <typename C>
bool is_flag(C c)
{
    return c == (C)'-' || c == (C)'+' || c == (C)' ' || c == (C)'#' || c == (C)'0';
}

void add_flag(Directive *d, char flag)
{
    if (d->nflags < sizeof d->flags - 1) {
        d->flags[d->nflags++] = flag;
        d->flags[d->nflags] = 0;
    }
}

// A length letter that may stand twice: "h" or "hh", "l" or "ll".
template <typename C>
Length once_or_twice(const C *&p, Length once, Length twice)
{
    C letter = *p++;
    if (*p != letter)
        return once;
    p++;
    return twice;
}

template <typename C>
Length read_length(const C *&p)
{
    switch (*p) {
    case 'h': return once_or_twice(p, LEN_H, LEN_HH);
    case 'l': return once_or_twice(p, LEN_L, LEN_LL);
    case 'L': p++; return LEN_BIG_L;
    case 'w': p++; return LEN_W;
    case 'j': p++; return LEN_64;
    case 'z': case 't': p++; return LEN_SIZE;
    case 'I':
        p++;
        if (p[0] == (C)'6' && p[1] == (C)'4') { p += 2; return LEN_64; }
        if (p[0] == (C)'3' && p[1] == (C)'2') { p += 2; return LEN_32; }
        return LEN_SIZE;
    default:
        return LEN_NONE;
    }
}

// Parses the directive that starts after its '%' at `p`. Returns where its
// conversion letter stands (the format's end included), or null when a
// written width or precision exceeds MAX_FIELD.
template <typename C>
const C *parse_directive(const C *p, Directive *d)
{
    *d = Directive{{0}, 0, false, false, 0, false, -1, LEN_NONE, 0};
    for (; is_flag(*p); p++) {
        d->left = d->left || *p == (C)'-';
        add_flag(d, (char)*p);
    }
    if (*p == (C)'*') {
        d->width_star = true;
        p++;
    } else if (!read_number(p, &d->width)) {
        return nullptr;
    }
    if (*p == (C)'.') {
        p++;
        if (*p == (C)'*') {
            d->precision_star = true;
            p++;
        } else if (!read_number(p, &d->precision)) {
            return nullptr;
        }
    }
    d->length = read_length(p);
    d->conv = *p > 0 && *p < 0x80 ? (char)*p : 0;
    return p;
}

// Takes the '*' width and precision from the arguments, in that order, as
// the runtime does: a negative width means '-' and its magnitude, a negative
// precision means none. False when either exceeds MAX_FIELD.
bool fetch_fields(Directive *d, va_list *ap)
{
    if (d->width_star) {
        int width = va_arg(*ap, int);
        if (width < 0) {
            d->left = true;
            add_flag(d, '-');
            width = width == -2147483647 - 1 ? MAX_FIELD + 1 : -width;
        }
        if (width > MAX_FIELD)
            return false;
        d->width = width;
    }
    if (d->precision_star) {
        int precision = va_arg(*ap, int);
        if (precision > MAX_FIELD)
            return false;
        d->precision = precision < 0 ? -1 : precision;
    }
    return true;
}

// Whether %s or %c of a format of kind C takes a wide argument: an h or l
// (w) says so outright; otherwise the lower-case letters take this kind and
// the upper-case ones the other.
template <typename C>
bool takes_wide(const Directive &d)
{
    if (d.length == LEN_H)
        return false;
    if (d.length == LEN_L || d.length == LEN_W)
        return true;
    bool other_kind = d.conv == 'S' || d.conv == 'C';
    return (sizeof(C) == sizeof(wchar_t)) != other_kind;
}

// A character argument, padded with spaces to `width` output units. Both
// kinds of character arrive promoted to int.
template <typename C>
void put_char(Out<C> &out, const Directive &d, va_list *ap)
{
    uint32_t cp = (uint32_t)va_arg(*ap, int);
    cp &= takes_wide<C>(d) ? 0xFFFFu : 0xFFu;
    Out<C> counter = {nullptr, 0, 0};  // measures without writing
    counter.put_cp(cp);
    int padding = d.width - (int)counter.len;
    if (!d.left)
        out.pad(padding, (C)' ');
    out.put_cp(cp);
    if (d.left)
        out.pad(padding, (C)' ');
}

long long fetch_signed(Length length, va_list *ap)
{
    switch (length) {
    case LEN_HH: return (signed char)va_arg(*ap, int);
    case LEN_H: return (short)va_arg(*ap, int);
    case LEN_L: return va_arg(*ap, long);
    case LEN_LL: case LEN_64: return va_arg(*ap, long long);
    case LEN_SIZE: return va_arg(*ap, ptrdiff_t);
    default: return va_arg(*ap, int);
    }
}

unsigned long long fetch_unsigned(Length length, va_list *ap)
{
    switch (length) {
    case LEN_HH: return (unsigned char)va_arg(*ap, unsigned);
    case LEN_H: return (unsigned short)va_arg(*ap, unsigned);
    case LEN_L: return va_arg(*ap, unsigned long);
    case LEN_LL: case LEN_64: return va_arg(*ap, unsigned long long);
    case LEN_SIZE: return va_arg(*ap, size_t);
    default: return va_arg(*ap, unsigned);
    }
}

// The C library's format of one number directive: its flags, width and
// (with `precision` >= 0) precision, then `size` and `conv`.
void number_format(const Directive &d, int precision, const char *size, char conv, char *spec,
                   size_t cap_bytes)
{
    if (precision >= 0)
        snprintf(spec, cap_bytes, "%%%s%d.%d%s%c", d.flags, d.width, precision, size, conv);
    else
        snprintf(spec, cap_bytes, "%%%s%d%s%c", d.flags, d.width, size, conv);
}

// Fetches the argument of a number directive and formats it with the C
// library into `number` (NUMBER_CHARS). Returns the length of the text, or
// -1 for a letter that is no number conversion (%n among them) or a text
// that does not fit.
int format_number(const Directive &d, va_list *ap, char *number)
{
    char spec[48];
    int n;
    switch (d.conv) {
    case 'd': case 'i':
        number_format(d, d.precision, "ll", 'd', spec, sizeof spec);
        n = number_snprintf(number, NUMBER_CHARS, spec, fetch_signed(d.length, ap));
        break;
    case 'u': case 'o': case 'x': case 'X':
        number_format(d, d.precision, "ll", d.conv, spec, sizeof spec);
        n = number_snprintf(number, NUMBER_CHARS, spec, fetch_unsigned(d.length, ap));
        break;
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': {
        double v = d.length == LEN_BIG_L ? (double)va_arg(*ap, long double) : va_arg(*ap, double);
        number_format(d, d.precision, "", d.conv, spec, sizeof spec);
        n = number_snprintf(number, NUMBER_CHARS, spec, v);
        break;
    }
    case 'p':
        // The runtime ignores a precision on a pointer.
        number_format(d, -1, "", 'p', spec, sizeof spec);
        n = number_snprintf(number, NUMBER_CHARS, spec, va_arg(*ap, void *));
        break;
    default:
        return -1;
    }
    return n >= 0 && (size_t)n < NUMBER_CHARS ? n : -1;
}

// Fetches the argument of one parsed directive (its '*' fields already
// fetched) and writes its text. False on a format error.
template <typename C>
bool convert(Out<C> &out, const Directive &d, va_list *ap)
{
    switch (d.conv) {
    case 's': case 'S':
        if (takes_wide<C>(d))
            put_string(out, va_arg(*ap, const wchar_t *), d.precision, d.width, d.left);
        else
            put_string(out, va_arg(*ap, const char *), d.precision, d.width, d.left);
        return true;
    case 'c': case 'C':
        put_char(out, d, ap);
        return true;
    default: {
        char number[NUMBER_CHARS];
        int n = format_number(d, ap, number);
        for (int i = 0; i < n; i++)
            out.put((C)(unsigned char)number[i]);
        return n >= 0;
    }
    }
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
        Directive d;
        p = parse_directive(p, &d);
        if (!p || !fetch_fields(&d, ap) || !convert(out, d, ap))
            return -1;
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

// Formats into `dst` and terminates it, cut where no code point is split when
// the text does not fit. Returns the complete length in units, or -1 on a
// format error (`dst` is then empty text). With `cap` 0 nothing is written.
template <typename C>
long format_terminated(C *dst, size_t cap, const C *fmt, va_list args)
{
    va_list ap;
    va_copy(ap, args);
    long len = format_any(dst, cap, fmt, &ap);
    va_end(ap);
    if (cap == 0)
        return len;
    if (len < 0)
        dst[0] = 0;
    else if ((size_t)len < cap)
        dst[len] = 0;
    else
        dst[clean_cut(dst, cap - 1)] = 0;
    return len;
}

}  // namespace

int format_narrow_v(char *dst, size_t cap_bytes, const char *fmt, va_list args)
{
    long len = format_terminated(dst, cap_bytes, fmt, args);
    return len < 0 ? -1 : (int)len;
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
    long len = format_terminated(dst, cap_chars, fmt, args);
    return len < 0 || (size_t)len >= cap_chars ? -1 : (int)len;
}

int format_wide(wchar_t *dst, size_t cap_chars, const wchar_t *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = format_wide_v(dst, cap_chars, fmt, ap);
    va_end(ap);
    return r;
}
