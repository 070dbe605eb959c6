// Code points and the text helpers built on them. No platform calls: the
// native builds of the parsers and the feed scanner use this file too.
#include "base/base.h"
#include "base/utf.h"

#include <string.h>

namespace {

// Bytes of the sequence that `lead` begins, 2 to 4; 1 for a byte that begins
// none: ASCII, a continuation byte, C0 and C1 (their sequences would be
// overlong) and F5..FF (beyond U+10FFFF).
size_t sequence_bytes(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 1;
}

}  // namespace

uint32_t utf8_decode(const unsigned char *s, size_t n, size_t *used)
{
    // The smallest code point of each sequence length; less is overlong.
    static const uint32_t SMALLEST[5] = {0, 0, 0x80, 0x800, 0x10000};
    unsigned char b = s[0];
    *used = 1;
    if (b < 0x80)
        return b;
    size_t len = sequence_bytes(b);
    if (len == 1)
        return UTF_REPLACEMENT;
    uint32_t cp = b & (0xFFu >> (len + 1));  // the lead's payload bits
    uint32_t min = SMALLEST[len];

    size_t i = 1;
    for (; i < len && i < n; i++) {
        unsigned char c = s[i];
        if ((c & 0xC0) != 0x80)
            break;
        cp = (cp << 6) | (c & 0x3F);
        // Reject overlong, surrogate and too-large forms as soon as the second
        // byte shows them, so that the following bytes are read afresh.
        if (i == 1) {
            uint32_t top = cp << (6 * (len - 2));
            if (top < min || (top >= 0xD800 && top <= 0xDFFF) || top > 0x10FFFF)
                break;
        }
    }
    if (i < len) {
        *used = i == 1 ? 1 : i;
        return UTF_REPLACEMENT;
    }
    *used = len;
    return cp;
}

size_t utf8_encode(uint32_t cp, char *out)
{
    unsigned char *o = (unsigned char *)out;
    if (cp >= 0xD800 && cp <= 0xDFFF)
        cp = UTF_REPLACEMENT;
    if (cp < 0x80) {
        o[0] = (unsigned char)cp;
        return 1;
    }
    if (cp < 0x800) {
        o[0] = (unsigned char)(0xC0 | (cp >> 6));
        o[1] = (unsigned char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        o[0] = (unsigned char)(0xE0 | (cp >> 12));
        o[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
        o[2] = (unsigned char)(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp > 0x10FFFF)
        return utf8_encode(UTF_REPLACEMENT, out);
    o[0] = (unsigned char)(0xF0 | (cp >> 18));
    o[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
    o[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
    o[3] = (unsigned char)(0x80 | (cp & 0x3F));
    return 4;
}

uint32_t utf16_decode(const wchar_t *s, size_t n, size_t *used)
{
    uint32_t u = (uint32_t)s[0] & 0xFFFF;
    *used = 1;
    if (u < 0xD800 || u > 0xDFFF)
        return u;
    if (u <= 0xDBFF && n >= 2) {
        uint32_t lo = (uint32_t)s[1] & 0xFFFF;
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
            *used = 2;
            return 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        }
    }
    return UTF_REPLACEMENT;
}

size_t utf16_encode(uint32_t cp, wchar_t *out)
{
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
        cp -= 0x10000;
        out[0] = (wchar_t)(0xD800 + (cp >> 10));
        out[1] = (wchar_t)(0xDC00 + (cp & 0x3FF));
        return 2;
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = UTF_REPLACEMENT;
    out[0] = (wchar_t)cp;
    return 1;
}

int utf8_to_utf16_units(const char *text, wchar_t *dst, size_t cap_units)
{
    if (cap_units == 0)
        return 0;
    const unsigned char *s = (const unsigned char *)text;
    size_t left = strlen(text);
    size_t units = 0;
    int whole = 1;
    while (left > 0) {
        size_t used;
        wchar_t pair[2];
        size_t n = utf16_encode(utf8_decode(s, left, &used), pair);
        if (units + n > cap_units - 1) {
            whole = 0;
            break;
        }
        for (size_t i = 0; i < n; i++)
            dst[units++] = pair[i];
        s += used;
        left -= used;
    }
    dst[units] = 0;
    return whole;
}

size_t utf8_cut_length(const char *text, size_t n_bytes)
{
    const unsigned char *s = (const unsigned char *)text;
    // A sequence is at most 4 bytes: look back over at most 3 continuations.
    size_t back = 0;
    while (back < 3 && back < n_bytes && (s[n_bytes - 1 - back] & 0xC0) == 0x80)
        back++;
    if (back == n_bytes)
        return n_bytes;
    size_t lead = n_bytes - 1 - back;
    return sequence_bytes(s[lead]) > back + 1 ? lead : n_bytes;
}
