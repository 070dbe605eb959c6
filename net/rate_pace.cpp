// The pace a download limit holds, free of platform calls: every transfer
// of the process reserves its next read from one account of earned bytes
// (a generic cell rate rule) and waits until they are earned; what a read
// did not use goes back. Idle time earns one block's worth at most, so
// that no transfer resumes with a burst larger than that; over time the
// bytes are exactly the limit's.
#include "net/net.h"

namespace {

const uint64_t MICROS = 1000000;
// A read takes an eighth of a second's bytes at most, so that no wait is
// longer than about that and the bursts stay small.
const uint64_t READS_PER_SECOND = 8;
const uint32_t SMALLEST_READ = 1024;

}  // namespace

void rate_pace_set(RatePace *p, uint64_t bytes_per_second, uint64_t now_us)
{
    p->rate = bytes_per_second;
    p->due_us = now_us;
    p->burst_us = bytes_per_second ? (uint64_t)rate_pace_block(p) * MICROS / bytes_per_second : 0;
}

uint32_t rate_pace_block(const RatePace *p)
{
    if (p->rate == 0)
        return HTTP_TRANSFER_BYTES;
    uint64_t block = p->rate / READS_PER_SECOND;
    if (block < SMALLEST_READ)
        block = SMALLEST_READ;
    return block > HTTP_TRANSFER_BYTES ? (uint32_t)HTTP_TRANSFER_BYTES : (uint32_t)block;
}

uint64_t rate_pace_spend(RatePace *p, uint64_t bytes, uint64_t now_us)
{
    if (p->rate == 0)
        return 0;
    uint64_t earliest = now_us > p->burst_us ? now_us - p->burst_us : 0;
    if (p->due_us < earliest)
        p->due_us = earliest;
    p->due_us += bytes * MICROS / p->rate;
    return p->due_us > now_us ? p->due_us - now_us : 0;
}

void rate_pace_refund(RatePace *p, uint64_t bytes)
{
    if (p->rate == 0)
        return;
    uint64_t back = bytes * MICROS / p->rate;
    p->due_us = p->due_us > back ? p->due_us - back : 0;
}
