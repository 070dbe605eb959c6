// Lenient Base64 for the detached manifest signature: publishers produce the
// text with whatever tool they have, so both alphabets, any padding and line
// breaks are accepted; every other byte is refused.
//
// No platform calls: this file also builds natively for fuzzing.
#include "manifest/manifest.h"

namespace {

int sextet(unsigned char b)
{
    if (b >= 'A' && b <= 'Z')
        return b - 'A';
    if (b >= 'a' && b <= 'z')
        return b - 'a' + 26;
    if (b >= '0' && b <= '9')
        return b - '0' + 52;
    if (b == '+' || b == '-')
        return 62;
    if (b == '/' || b == '_')
        return 63;
    return -1;
}

}  // namespace

bool base64_decode_lenient(const char *text, size_t len, uint8_t *out, size_t *io_bytes)
{
    size_t cap = *io_bytes;
    size_t n = 0;
    uint32_t bits = 0;  // pending bits, the oldest highest
    int pending = 0;
    *io_bytes = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char b = (unsigned char)text[i];
        if (b == '=' || b == '\r' || b == '\n' || b == ' ' || b == '\t')
            continue;
        int v = sextet(b);
        if (v < 0)
            return false;
        bits = (bits << 6) | (uint32_t)v;
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            if (n >= cap)
                return false;
            out[n++] = (uint8_t)(bits >> pending);
            bits &= (1u << pending) - 1;
        }
    }
    *io_bytes = n;
    return true;
}
