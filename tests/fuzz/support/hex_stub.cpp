// content/ hashes through the platform; the native builds of the byte-level
// code need only its hexadecimal writer, which the state text uses.
#include "content/content.h"

void hex_encode(const uint8_t *bytes, size_t n, char *out)
{
    static const char DIGITS[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = DIGITS[bytes[i] >> 4];
        out[2 * i + 1] = DIGITS[bytes[i] & 15];
    }
    out[2 * n] = 0;
}
