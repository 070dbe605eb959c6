// Pacing of progress posts. No platform calls: the fuzz targets and native
// tests build this file too; the atomics are the compiler's own.
#include "base/base.h"

int throttle_due(Throttle *t, PaceInterval interval, uint32_t now)
{
    long last = __atomic_load_n(&t->last, __ATOMIC_RELAXED);
    if ((uint32_t)(now - (uint32_t)last) < (uint32_t)interval)
        return 0;
    return __atomic_compare_exchange_n(&t->last, &last, (long)now, false, __ATOMIC_RELAXED,
                                       __ATOMIC_RELAXED);
}

void throttle_reset(Throttle *t, uint32_t now)
{
    __atomic_store_n(&t->last, (long)now, __ATOMIC_RELAXED);
}

void throttle_arm(Throttle *t, PaceInterval interval, uint32_t now)
{
    throttle_reset(t, now - (uint32_t)interval);
}

uint32_t throttle_wait_ms(const Throttle *t, PaceInterval interval, uint32_t now)
{
    uint32_t since = now - (uint32_t)__atomic_load_n(&t->last, __ATOMIC_RELAXED);
    return since < (uint32_t)interval ? (uint32_t)interval - since : 0;
}
