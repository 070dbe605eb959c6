// Test helpers for the gzip decoder: in-memory sources and sinks for its
// callbacks, a bit writer for hand-built deflate streams and a gzip wrapper
// with an independent (bitwise) CRC-32.
#pragma once

#include "content/content.h"

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace gzip_test {

// Hands out `data` in reads of at most `chunk` bytes (the decoder offers
// 65536); read number `fail_at` (0-based) fails when set.
struct Source {
    std::string data;
    size_t chunk = GZIP_IO_CHUNK_BYTES;
    int fail_at = -1;
    size_t pos = 0;
    int reads = 0;
};

inline int source_read(void *context, uint8_t *buffer, int capacity)
{
    Source *s = (Source *)context;
    if (s->reads++ == s->fail_at)
        return -1;
    size_t n = s->data.size() - s->pos;
    if (n > s->chunk)
        n = s->chunk;
    if (n > (size_t)capacity)
        n = (size_t)capacity;
    memcpy(buffer, s->data.data() + s->pos, n);
    s->pos += n;
    return (int)n;
}

// Collects the output and the length of every write; write number `fail_at`
// (0-based) fails when set.
struct Sink {
    std::string out;
    std::vector<size_t> writes;
    int fail_at = -1;
};

inline int sink_write(void *context, const uint8_t *bytes, size_t length)
{
    Sink *s = (Sink *)context;
    if ((int)s->writes.size() == s->fail_at)
        return 0;
    s->writes.push_back(length);
    s->out.append((const char *)bytes, length);
    return 1;
}

// gzip_decode of `member` read in chunks of at most `chunk` bytes.
inline int decode(const std::string &member, Sink *sink, size_t chunk = GZIP_IO_CHUNK_BYTES,
                  uint64_t *size = nullptr)
{
    Source src;
    src.data = member;
    src.chunk = chunk;
    return gzip_decode(source_read, &src, sink_write, sink, size);
}

inline uint32_t reference_crc32(const std::string &data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return crc ^ 0xFFFFFFFFu;
}

// Deflate bits, least significant first; Huffman codes go most significant
// bit first, as RFC 1951 sends them.
class BitWriter {
public:
    BitWriter &bits(uint32_t value, int count)
    {
        for (int i = 0; i < count; i++)
            put((value >> i) & 1);
        return *this;
    }
    BitWriter &code(uint32_t codeword, int length)
    {
        for (int i = length - 1; i >= 0; i--)
            put((codeword >> i) & 1);
        return *this;
    }
    BitWriter &align()
    {
        while (nbits_ % 8)
            put(0);
        return *this;
    }
    // Bytes as they are, from the next byte boundary (a stored block's data).
    BitWriter &raw(const std::string &bytes)
    {
        align();
        bytes_ += bytes;
        nbits_ += 8 * bytes.size();
        return *this;
    }
    std::string data() const { return bytes_; }

    // The fixed code's codewords (RFC 1951, 3.2.6).
    BitWriter &fixed_literal(unsigned sym)
    {
        if (sym < 144)
            return code(0x30 + sym, 8);
        if (sym < 256)
            return code(0x190 + sym - 144, 9);
        if (sym < 280)
            return code(sym - 256, 7);
        return code(0xC0 + sym - 280, 8);
    }
    BitWriter &fixed_distance(unsigned sym) { return code(sym, 5); }

private:
    void put(int bit)
    {
        if (nbits_ % 8 == 0)
            bytes_.push_back(0);
        if (bit)
            bytes_.back() = (char)(bytes_.back() | (1 << (nbits_ % 8)));
        nbits_++;
    }
    std::string bytes_;
    size_t nbits_ = 0;
};

inline void put_le32(std::string *s, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        s->push_back((char)(v >> (8 * i)));
}

// A minimal header (no flags), `deflate`, and the trailer of `decoded`.
inline std::string gzip_member(const std::string &deflate, const std::string &decoded)
{
    std::string m("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    m += deflate;
    put_le32(&m, reference_crc32(decoded));
    put_le32(&m, (uint32_t)decoded.size());
    return m;
}

// One final stored block holding `payload` (at most 65535 bytes).
inline std::string stored_deflate(const std::string &payload)
{
    BitWriter w;
    w.bits(1, 1).bits(0, 2).align();
    w.bits((uint32_t)payload.size(), 16).bits((uint32_t)payload.size() ^ 0xFFFF, 16);
    std::string d = w.data();
    return d + payload;
}

}  // namespace gzip_test
