// Reading the pictures' packs and averaging pictures down (art_pack.h).
#include "ui/art_pack.h"

#include <stdlib.h>
#include <string.h>

namespace {

unsigned read_u16(const uint8_t *p)
{
    return (unsigned)p[0] | (unsigned)p[1] << 8;
}

// The source pixels under target pixel `t` of `dn` along a side of `sn`
// source pixels: [first, last], and what each weighs, in units of which a
// source pixel holds `dn` and a target pixel `sn`.
struct Span {
    int first, last;
};

Span span_of(int t, int sn, int dn)
{
    long long from = (long long)t * sn, to = (long long)(t + 1) * sn;  // units
    return {(int)(from / dn), (int)((to - 1) / dn)};
}

unsigned weight_of(int s, int t, int sn, int dn)
{
    long long from = (long long)t * sn, to = (long long)(t + 1) * sn;
    long long a = (long long)s * dn, b = a + dn;
    long long lo = a > from ? a : from, hi = b < to ? b : to;
    return hi > lo ? (unsigned)(hi - lo) : 0;
}

}  // namespace

int art_pack_read(uint8_t *bytes, size_t len, ArtPack *out)
{
    const size_t head = 8 + 4 * ART_PACK_PICTURES;
    if (len < head || memcmp(bytes, "KART", 4) != 0 ||
        read_u16(bytes + 6) != ART_PACK_PICTURES)
        return 0;
    ArtPack pack;
    pack.percent = (int)read_u16(bytes + 4);
    size_t at = head;
    for (int k = 0; k < ART_PACK_PICTURES; k++) {
        int w = (int)read_u16(bytes + 8 + 4 * k), h = (int)read_u16(bytes + 10 + 4 * k);
        if (w < 1 || h < 1 || w > ART_PACK_MAX_SIDE || h > ART_PACK_MAX_SIDE)
            return 0;
        size_t size = (size_t)w * h * 3;
        if (len - at < size)
            return 0;
        pack.picture[k] = {w, h, bytes + at};
        at += size;
    }
    if (at != len)
        return 0;
    for (int k = 0; k < ART_PACK_PICTURES; k++) {
        const ArtPicture &p = pack.picture[k];
        size_t row = (size_t)p.width * 3;
        uint8_t *first = bytes + (p.pixels - bytes);
        for (int y = 0; y < p.height; y++) {
            uint8_t *r = first + y * row;
            for (size_t i = 3; i < row; i++)
                r[i] = (uint8_t)(r[i] + r[i - 3]);
        }
    }
    *out = pack;
    return 1;
}

int art_pack_choice(int dpi, const int *carried, int count)
{
    if (dpi <= 96)
        return 0;
    int exact = 0, above = 0, largest = 0;
    for (int k = 0; k < count; k++) {
        int p = carried[k];
        if (p * 96 == dpi * 100)
            exact = p;
        else if (p * 96 > dpi * 100 && (!above || p < above))
            above = p;
        if (p > largest)
            largest = p;
    }
    return exact ? exact : above ? above : largest;
}

void area_average(const uint8_t *src, int sw, int sh, uint8_t *dst, int dw, int dh,
                  int dst_stride)
{
    // A target pixel's weights sum to sw * sh; with bytes below 256 and
    // sides up to 4096 the sums stay below 2^32.
    unsigned *row = (unsigned *)malloc(sizeof(unsigned) * 3 * (size_t)dw);
    unsigned *sum = (unsigned *)malloc(sizeof(unsigned) * 3 * (size_t)dw);
    Span *columns = (Span *)malloc(sizeof(Span) * (size_t)dw);
    if (!row || !sum || !columns) {
        // Without memory for the sums: the nearest pixel, unfiltered but whole.
        for (int y = 0; y < dh; y++)
            for (int x = 0; x < dw; x++)
                memcpy(dst + (size_t)y * dst_stride + 3 * x,
                       src + ((size_t)(y * sh / dh) * sw + x * sw / dw) * 3, 3);
        free(row);
        free(sum);
        free(columns);
        return;
    }
    for (int x = 0; x < dw; x++)
        columns[x] = span_of(x, sw, dw);
    unsigned total = (unsigned)sw * (unsigned)sh;
    for (int y = 0; y < dh; y++) {
        memset(sum, 0, sizeof(unsigned) * 3 * (size_t)dw);
        Span rows = span_of(y, sh, dh);
        for (int sy = rows.first; sy <= rows.last; sy++) {
            unsigned wy = weight_of(sy, y, sh, dh);
            const uint8_t *line = src + (size_t)sy * sw * 3;
            for (int x = 0; x < dw; x++) {
                unsigned b = 0, g = 0, r = 0;
                for (int sx = columns[x].first; sx <= columns[x].last; sx++) {
                    unsigned wx = weight_of(sx, x, sw, dw);
                    b += wx * line[3 * sx];
                    g += wx * line[3 * sx + 1];
                    r += wx * line[3 * sx + 2];
                }
                row[3 * x] = b;
                row[3 * x + 1] = g;
                row[3 * x + 2] = r;
            }
            for (int i = 0; i < 3 * dw; i++)
                sum[i] += wy * row[i];
        }
        uint8_t *out = dst + (size_t)y * dst_stride;
        for (int i = 0; i < 3 * dw; i++)
            out[i] = (uint8_t)((sum[i] + total / 2) / total);
    }
    free(row);
    free(sum);
    free(columns);
}
