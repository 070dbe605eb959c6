// The process's download limit: one pace that every transfer's reads
// reserve from, under a lock; each waits for its reservation outside the
// lock, so transfers that run at once share the limit between them.
#include "net/net_internal.h"

#include <windows.h>

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
RatePace g_pace = {0, 0, 0};

uint64_t now_us(void)
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (uint64_t)count.QuadPart / (uint64_t)frequency.QuadPart * 1000000u +
           (uint64_t)count.QuadPart % (uint64_t)frequency.QuadPart * 1000000u /
               (uint64_t)frequency.QuadPart;
}

}  // namespace

void http_set_rate_limit(uint64_t bytes_per_second)
{
    AcquireSRWLockExclusive(&g_lock);
    if (g_pace.rate != bytes_per_second)
        rate_pace_set(&g_pace, bytes_per_second, now_us());
    ReleaseSRWLockExclusive(&g_lock);
}

uint64_t http_rate_limit(void)
{
    AcquireSRWLockShared(&g_lock);
    uint64_t rate = g_pace.rate;
    ReleaseSRWLockShared(&g_lock);
    return rate;
}

uint32_t rate_limit_take(uint32_t available)
{
    AcquireSRWLockExclusive(&g_lock);
    uint32_t block = rate_pace_block(&g_pace);
    uint32_t take = available < block ? available : block;
    uint64_t wait_us = rate_pace_spend(&g_pace, take, now_us());
    ReleaseSRWLockExclusive(&g_lock);
    if (wait_us >= 1000)
        Sleep((DWORD)(wait_us / 1000));
    return take;
}

void rate_limit_unused(uint32_t bytes)
{
    if (bytes == 0)
        return;
    AcquireSRWLockExclusive(&g_lock);
    rate_pace_refund(&g_pace, bytes);
    ReleaseSRWLockExclusive(&g_lock);
}
