// The download limit's pace over simulated lines: carriers that read as
// fast as the pace lets them, on a line faster than the limit.
#include "net/net.h"

#include <gtest/gtest.h>

namespace {

const uint64_t SECOND = 1000000;

// `carriers` read from a line that always has data, for `run_us`, after an
// idle `idle_us`, each reserving its read and reading once it is earned (a
// read takes 50 us). Bytes read in all, and in the first 100 ms after the
// idle time.
void simulate(uint64_t rate, int carriers, uint64_t idle_us, uint64_t run_us, uint64_t *total,
              uint64_t *first_100ms)
{
    RatePace pace;
    rate_pace_set(&pace, rate, 1000);
    uint64_t next[8];
    for (int c = 0; c < carriers; c++)
        next[c] = 1000 + idle_us;
    *total = *first_100ms = 0;
    for (;;) {
        int c = 0;
        for (int i = 1; i < carriers; i++)
            c = next[i] < next[c] ? i : c;
        uint64_t now = next[c];
        if (now >= 1000 + idle_us + run_us)
            break;
        uint32_t block = rate_pace_block(&pace);
        uint64_t read_at = now + rate_pace_spend(&pace, block, now);
        if (read_at < 1000 + idle_us + run_us)
            *total += block;
        if (read_at < 1000 + idle_us + SECOND / 10)
            *first_100ms += block;
        next[c] = read_at + 50;
    }
}

TEST(RatePace, HoldsTheLimitAcrossCarriersWithoutBursts)
{
    const struct {
        uint64_t rate;
        int carriers;
        uint64_t idle_us;
    } rows[] = {
        {1048576, 1, 0},        {1048576, 4, 0},        {5 * 1048576, 4, 0},
        {1024, 4, 0},           {100 * 1048576, 8, 0},  {1048576, 4, 10 * SECOND},
    };
    for (const auto &r : rows) {
        uint64_t total = 0, first = 0;
        simulate(r.rate, r.carriers, r.idle_us, 30 * SECOND, &total, &first);
        // Exact but for the one block the run ends in.
        RatePace probe = {r.rate, 0, 0};
        uint64_t block = rate_pace_block(&probe);
        EXPECT_LE(total, 30 * r.rate + block) << r.rate << " B/s, " << r.carriers << " carriers";
        EXPECT_GE(total + block, 30 * r.rate) << r.rate << " B/s, " << r.carriers << " carriers";
        // After idling, one block may come at once, then the limit again.
        EXPECT_LE(first, block + r.rate / 10) << r.rate << " B/s after idling";
    }
    // Off: no read waits, and a read takes a whole transfer block.
    RatePace off;
    rate_pace_set(&off, 0, 5);
    EXPECT_EQ(rate_pace_block(&off), (uint32_t)HTTP_TRANSFER_BYTES);
    EXPECT_EQ(rate_pace_spend(&off, 1u << 30, 6), 0u);
    // What a short read did not use is the next read's.
    RatePace one;
    rate_pace_set(&one, 1000, 0);
    EXPECT_EQ(rate_pace_spend(&one, 125, 0), 125000u);
    rate_pace_refund(&one, 100);
    EXPECT_EQ(rate_pace_spend(&one, 100, 25000), 100000u);
}

}  // namespace
