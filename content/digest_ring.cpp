// A running digest fed on a thread of its own through a ring of blocks.
#include "content/content.h"

#include <windows.h>

namespace {

SRWLOCK *lock_of(DigestRing *ring)
{
    return (SRWLOCK *)&ring->lock;
}

CONDITION_VARIABLE *changed_of(DigestRing *ring)
{
    return (CONDITION_VARIABLE *)&ring->changed;
}

void hash_block(DigestRing *ring, int n)
{
    if (!ring->failed && !running_digest_add(&ring->digest, ring->block[n], ring->length[n]))
        InterlockedExchange(&ring->failed, 1);
}

DWORD WINAPI hash_behind(void *context)
{
    DigestRing *ring = (DigestRing *)context;
    for (int n = 0;; n = (n + 1) % DIGEST_RING_BLOCKS) {
        AcquireSRWLockExclusive(lock_of(ring));
        while (ring->queued == 0 && !ring->ending)
            SleepConditionVariableSRW(changed_of(ring), lock_of(ring), INFINITE, 0);
        bool done = ring->queued == 0;
        ReleaseSRWLockExclusive(lock_of(ring));
        if (done)
            return 0;
        hash_block(ring, n);
        AcquireSRWLockExclusive(lock_of(ring));
        ring->queued--;
        ReleaseSRWLockExclusive(lock_of(ring));
        WakeAllConditionVariable(changed_of(ring));
    }
}

// Ends the thread once it has hashed every block handed over.
void stop_thread(DigestRing *ring)
{
    if (!ring->thread)
        return;
    AcquireSRWLockExclusive(lock_of(ring));
    ring->ending = true;
    ReleaseSRWLockExclusive(lock_of(ring));
    WakeAllConditionVariable(changed_of(ring));
    WaitForSingleObject(ring->thread, INFINITE);
    CloseHandle(ring->thread);
    ring->thread = nullptr;
}

}  // namespace

int digest_ring_open(DigestRing *ring, uint32_t block_bytes)
{
    if (running_digest_begin(&ring->digest) != DIGEST_BEGIN_OK)
        return 0;
    for (int n = 0; n < DIGEST_RING_BLOCKS; n++) {
        ring->block[n] = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, block_bytes);
        if (!ring->block[n])
            return 0;
    }
    InitializeSRWLock(lock_of(ring));
    InitializeConditionVariable(changed_of(ring));
    ring->thread = CreateThread(nullptr, 0, hash_behind, ring, 0, nullptr);
    return 1;
}

uint8_t *digest_ring_block(DigestRing *ring)
{
    if (ring->thread && !ring->held) {
        AcquireSRWLockExclusive(lock_of(ring));
        while (ring->queued == DIGEST_RING_BLOCKS)
            SleepConditionVariableSRW(changed_of(ring), lock_of(ring), INFINITE, 0);
        ReleaseSRWLockExclusive(lock_of(ring));
    }
    ring->held = true;
    return ring->block[ring->next];
}

int digest_ring_add(DigestRing *ring, uint32_t length)
{
    if (!ring->held)
        digest_ring_block(ring);
    ring->length[ring->next] = length;
    ring->held = false;
    if (ring->thread) {
        AcquireSRWLockExclusive(lock_of(ring));
        ring->queued++;
        ReleaseSRWLockExclusive(lock_of(ring));
        WakeAllConditionVariable(changed_of(ring));
    } else {
        hash_block(ring, ring->next);
    }
    ring->next = (ring->next + 1) % DIGEST_RING_BLOCKS;
    return !ring->failed;
}

int digest_ring_finish(DigestRing *ring, uint8_t out[SHA256_BYTES])
{
    stop_thread(ring);
    return !ring->failed && running_digest_finish(&ring->digest, out);
}

void digest_ring_close(DigestRing *ring)
{
    stop_thread(ring);
    for (int n = 0; n < DIGEST_RING_BLOCKS; n++) {
        if (ring->block[n])
            HeapFree(GetProcessHeap(), 0, ring->block[n]);
        ring->block[n] = nullptr;
    }
    running_digest_release(&ring->digest);
}
