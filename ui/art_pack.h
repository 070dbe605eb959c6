// The window's pictures for display scales above 100%: the packs that
// res/make_art.py draws for some scales (art_tools.py art_pack) and the
// launcher carries as resources, and the area-average filter that makes a
// smaller scale's pictures from a larger one's. No platform calls: this
// builds natively too.
// Internal to ui/.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    ART_PACK_PICTURES = 3,      // the background, the button rows, the round button's rows
    ART_PACK_ID_BASE = 1000,    // a pack's RCDATA id: this plus its percentage
    ART_PACK_MAX_SIDE = 4096,   // keeps area_average's sums within 32 bits
    ART_PACK_MAX_BYTES = 64 << 20,
};

// Rows top to bottom, three bytes a pixel (blue, green, red), no padding.
struct ArtPicture {
    int width, height;
    const uint8_t *pixels;
};

struct ArtPack {
    int percent;
    ArtPicture picture[ART_PACK_PICTURES];
};

// Reads a decoded pack of `len` bytes and undoes its byte differences in
// place: 1 with `out` pointing into `bytes`, 0 when it is not a whole pack
// (its mark, count, a side of 0 or above ART_PACK_MAX_SIDE, its length).
int art_pack_read(uint8_t *bytes, size_t len, ArtPack *out);

// Which carried pack to draw a window of `dpi` from: the one drawn for that
// scale, else the smallest larger one (averaged down), else the largest (the
// only one not averaged down but stretched up); 0 when none is carried or
// the density is 96 or below, where the 100% pictures serve.
int art_pack_choice(int dpi, const int *carried_percents, int count);

// Scales `src` (sw x sh pixels, rows of sw * 3 bytes) to dw x dh into `dst`
// (rows `dst_stride` bytes apart): each target pixel is the mean of the
// source area it covers, partly covered pixels weighted by their share.
// Every side at least 1 and at most ART_PACK_MAX_SIDE.
void area_average(const uint8_t *src, int sw, int sh, uint8_t *dst, int dw, int dh,
                  int dst_stride);
