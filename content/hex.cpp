// Hexadecimal text both ways: digests written as text, and the digits read
// back from the manifest's digests and from \uXXXX escapes (the JSON reader,
// the news scanner). No platform calls: their native builds use it too.
#include "content/content.h"

void hex_encode(const uint8_t *bytes, size_t n, char *out)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * n] = 0;
}

int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int hex_quad_value(const char *digits)
{
    int value = 0;
    for (int i = 0; i < 4; i++) {
        int digit = hex_digit_value(digits[i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}
