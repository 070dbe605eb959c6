// Content-Length values as the server wrote them. WinHTTP reads the header
// into 32 bits, so a server announcing 4 GiB or more would be taken at a
// wrapped or saturated value; we parse the text in 64 bits instead.
#include "net/net.h"

uint64_t http_parse_length(const wchar_t *text)
{
    const uint64_t bad = UINT64_MAX;
    const wchar_t *p = text;
    while (*p == L' ' || *p == L'\t')
        p++;
    if (*p < L'0' || *p > L'9')
        return bad;
    uint64_t value = 0;
    for (; *p >= L'0' && *p <= L'9'; p++) {
        uint64_t digit = (uint64_t)(*p - L'0');
        if (value > (UINT64_MAX - digit) / 10)
            return bad;
        value = value * 10 + digit;
    }
    while (*p == L' ' || *p == L'\t')
        p++;
    return *p ? bad : value;
}
