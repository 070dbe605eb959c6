// The JSON reader of the manifest. It reads only what a manifest needs:
// objects and arrays walked by the caller, strings into fixed buffers,
// unsigned integers, and skipping of unknown values. Every failure records
// one text with the byte offset where it was found; the first error of a
// document wins, so callers simply return false on the way out.
//
// Documents are untrusted bytes that need not end in a NUL: no read goes past
// `end`, and the length is checked before every multi-byte look.
//
// No platform calls: this file also builds natively for fuzzing.
#include "manifest/manifest.h"

#include "base/base.h"
#include "content/content.h"

namespace {

// The largest value that may still take one more digit without passing
// 18446744073709551609 (which keeps the arithmetic clear of wrapping).
const uint64_t U64_DIGIT_LIMIT = 1844674407370955160ull;

bool is_ws(unsigned char b)
{
    return b == ' ' || b == '\t' || b == '\n' || b == '\r';
}

bool match_literal(const JsonCursor *c, const char *word, size_t n)
{
    if ((size_t)(c->end - c->current) < n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (c->current[i] != (unsigned char)word[i])
            return false;
    return true;
}

// `depth`: containers already open around the value being skipped.
bool skip_value(JsonCursor *c, int depth)
{
    int b = json_peek(c);
    switch (b) {
    case '"':
        return json_read_string(c, nullptr, 0);
    case '{':
    case '[': {
        if (depth >= JSON_MAX_SKIP_DEPTH)
            return json_fail(c, "unexpected token");
        char closer = b == '{' ? '}' : ']';
        c->current++;
        if (json_peek(c) == closer) {
            c->current++;
            return true;
        }
        for (;;) {
            if (b == '{' && (!json_read_string(c, nullptr, 0) || !json_expect(c, ':')))
                return false;
            if (!skip_value(c, depth + 1))
                return false;
            if (json_peek(c) != ',')
                return json_expect(c, closer);
            c->current++;
        }
    }
    case 't':
    case 'n':
    case 'f': {
        const char *word = b == 't' ? "true" : b == 'n' ? "null" : "false";
        size_t n = b == 'f' ? 5 : 4;
        if (match_literal(c, word, n)) {
            c->current += n;
            return true;
        }
        return json_read_u64(c, nullptr);  // fails with "number expected"
    }
    case '-':
        c->current++;
        return json_read_u64(c, nullptr);
    default:
        return json_read_u64(c, nullptr);
    }
}

}  // namespace

void json_skip_ws(JsonCursor *c)
{
    while (c->current < c->end && is_ws(*c->current))
        c->current++;
}

int json_peek(JsonCursor *c)
{
    json_skip_ws(c);
    return c->current < c->end ? *c->current : -1;
}

bool json_expect(JsonCursor *c, char ch)
{
    if (json_peek(c) != (unsigned char)ch)
        return json_fail(c, "unexpected token");
    c->current++;
    return true;
}

bool json_fail(JsonCursor *c, const char *message)
{
    if (c->error && !c->error[0])
        format_narrow(c->error, JSON_ERROR_BYTES, "%s: %s at byte %lld",
                      c->subject ? c->subject : "manifest", message,
                      (long long)(c->current - c->start));
    return false;
}

bool json_read_string(JsonCursor *c, char *buf, size_t cap_bytes)
{
    if (!json_expect(c, '"'))
        return false;
    if (c->current == c->end)
        return json_fail(c, "unterminated string");
    size_t stored = 0;
    for (;;) {
        unsigned char b = *c->current++;
        unsigned char bytes[4];  // one code point of UTF-8
        size_t k = 1;
        if (b == '"') {
            if (buf) {
                if (cap_bytes == 0)
                    return json_fail(c, "string too long");
                buf[stored] = 0;
            }
            return true;
        }
        if (b == '\\') {
            if (c->current == c->end)
                return json_fail(c, "bad escape");
            unsigned char e = *c->current++;
            switch (e) {
            case '"': case '\\': case '/': bytes[0] = e; break;
            case 'b': bytes[0] = 0x08; break;
            case 'f': bytes[0] = 0x0C; break;
            case 'n': bytes[0] = 0x0A; break;
            case 'r': bytes[0] = 0x0D; break;
            case 't': bytes[0] = 0x09; break;
            case 'u': {
                if (c->end - c->current < 4)
                    return json_fail(c, "bad \\u");
                int unit = hex_quad_value((const char *)c->current);
                if (unit < 0)
                    return json_fail(c, "bad \\u");
                uint32_t cp = (uint32_t)unit;
                c->current += 4;
                if (cp >= 0xD800 && cp <= 0xDFFF)
                    return json_fail(c, "surrogates unsupported");
                k = utf8_encode(cp, (char *)bytes);
                break;
            }
            default:
                return json_fail(c, "bad escape");
            }
        } else if (b < 0x20) {
            return json_fail(c, "control char in string");
        } else {
            bytes[0] = b;
        }
        if (buf) {
            if (stored + k >= cap_bytes)
                return json_fail(c, "string too long");
            for (size_t i = 0; i < k; i++)
                buf[stored++] = (char)bytes[i];
        }
        if (c->current == c->end)
            return json_fail(c, "unterminated string");
    }
}

bool json_read_u64(JsonCursor *c, uint64_t *out)
{
    json_skip_ws(c);
    uint64_t v = 0;
    const unsigned char *first = c->current;
    while (c->current < c->end && *c->current >= '0' && *c->current <= '9') {
        if (v > U64_DIGIT_LIMIT)
            return json_fail(c, "number too big");
        v = v * 10 + (uint64_t)(*c->current - '0');
        c->current++;
    }
    if (c->current == first)
        return json_fail(c, "number expected");
    if (c->current < c->end &&
        (*c->current == '.' || *c->current == 'e' || *c->current == 'E'))
        return json_fail(c, "integer expected");
    if (out)
        *out = v;
    return true;
}

bool json_skip_value(JsonCursor *c)
{
    return skip_value(c, 0);
}
