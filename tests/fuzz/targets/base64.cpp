// Base64 of the signature text against a plain model of its rules (both
// alphabets, '=', CR, LF, blank and tab skipped anywhere, leftover bits
// dropped), at every output capacity up to the decode buffer; then the
// signature text check's shape rule: only exactly 64 bytes may go on. The
// capacities tried are those at the edges: none, one short, exact, one more,
// the signature's and the decode buffer's.
#include "manifest/manifest.h"

#include "tests/fuzz/fuzz.h"

#include <string>

namespace {

int model_sextet(unsigned char b)
{
    static const char A[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (b == '-')
        return 62;
    if (b == '_')
        return 63;
    const char *at = b ? strchr(A, b) : nullptr;
    return at ? (int)(at - A) : -1;
}

// False for a byte outside the rules; else the decoded bytes.
bool model_decode(const uint8_t *data, size_t size, std::string *out)
{
    std::string sextets;
    for (size_t i = 0; i < size; i++) {
        if (strchr("=\r\n \t", data[i]) && data[i])
            continue;
        int v = model_sextet(data[i]);
        if (v < 0)
            return false;
        sextets.push_back((char)v);
    }
    for (size_t bit = 0; bit + 8 <= sextets.size() * 6; bit += 8) {
        unsigned byte = 0;
        for (size_t k = bit; k < bit + 8; k++)
            byte = byte << 1 | ((unsigned)sextets[k / 6] >> (5 - k % 6) & 1);
        out->push_back((char)byte);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ExactCopy in(data, size);
    std::string want;
    bool valid = model_decode(data, size, &want);
    const size_t caps[] = {0, want.size() ? want.size() - 1 : 0, want.size(), want.size() + 1,
                           SIGNATURE_BYTES, SIGNATURE_DECODE_BYTES};
    for (size_t cap : caps) {
        uint8_t *out = (uint8_t *)malloc(cap ? cap : 1);  // exact: a write past cap is caught
        size_t n = cap;
        bool ok = base64_decode_lenient(in.p, size, out, &n);
        bool fits = valid && want.size() <= cap;
        FUZZ_CHECK(ok == fits, "accepted or refused against the rules");
        if (ok)
            FUZZ_CHECK(n == want.size() && memcmp(out, want.data(), n) == 0, "decoded bytes differ");
        else
            FUZZ_CHECK(n == 0, "refusal with a length");
        if (cap == SIGNATURE_DECODE_BYTES) {
            bool shape_ok = ok && n == SIGNATURE_BYTES;
            FUZZ_CHECK(shape_ok == (valid && want.size() == SIGNATURE_BYTES),
                       "signature shape judged wrongly");
        }
        free(out);
    }
    return 0;
}
