// The slow-transfer rule over one transfer: bytes per slot of time, summed
// over the newest slots that cover the window. Free of platform calls.
#include "net/net.h"

#include <string.h>

namespace {

const uint32_t RING = RATE_WATCH_SLOTS + 1;

}  // namespace

void rate_watch_begin(RateWatch *w, uint32_t now, uint32_t min_bytes, uint32_t window_ms)
{
    memset(w, 0, sizeof *w);
    w->min_bytes = min_bytes;
    // Rounded up: RATE_WATCH_SLOTS slots then span at least the window.
    w->slot_ms = (window_ms + RATE_WATCH_SLOTS - 1) / RATE_WATCH_SLOTS;
    if (w->slot_ms == 0)
        w->slot_ms = 1;
    w->start = now;
}

int rate_watch_step(RateWatch *w, uint32_t now, uint64_t bytes, HttpStall *stall)
{
    uint32_t elapsed = now - w->start;
    uint32_t slot = elapsed / w->slot_ms;
    if (slot > w->slot) {
        // The slots passed over moved nothing; past a whole ring, none is kept.
        uint32_t passed = slot - w->slot < RING ? slot - w->slot : RING;
        for (uint32_t i = 1; i <= passed; i++)
            w->bytes[(slot - passed + i) % RING] = 0;
        w->slot = slot;
    }
    w->bytes[w->slot % RING] += bytes;
    if (w->min_bytes == 0 || w->slot < RATE_WATCH_SLOTS)
        return 1;
    uint64_t moved = 0;
    for (uint32_t i = 0; i < RING; i++)
        moved += w->bytes[i];
    if (moved >= w->min_bytes)
        return 1;
    stall->bytes = moved;
    // The measured span: from the oldest slot's start to now.
    stall->seconds = (elapsed - (w->slot - RATE_WATCH_SLOTS) * w->slot_ms) / 1000;
    return 0;
}
