#include "base/utf.h"

uint32_t utf8_decode(const unsigned char *s, size_t n, size_t *used)
{
    unsigned char b = s[0];
    *used = 1;
    if (b < 0x80)
        return b;

    size_t len;
    uint32_t cp, min;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2; cp = b & 0x1F; min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3; cp = b & 0x0F; min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4; cp = b & 0x07; min = 0x10000;
    } else {
        return UTF_REPLACEMENT;  // continuation byte, C0/C1 or F5..FF as a lead
    }

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
