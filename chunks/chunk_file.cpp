// A local file cut into the format's chunks, each hashed as it passes: one
// read of the file, in blocks, with fixed memory whatever its size. The
// thin platform layer over the byte-level chunker.
//
// Cutting and hashing cost about the same per byte, so they run side by
// side: this thread reads a block and finds its cuts while a second one
// hashes the block before it and reports its chunks, in order. Without
// that thread the same steps run in turn here.
#include "chunks/chunks.h"

#include <windows.h>

namespace {

const DWORD READ_BLOCK_BYTES = 1048576;
// Blocks in the ring: one being cut, one being hashed, one to spare.
const int BLOCKS = 3;
// A block holds at most this many chunk ends (no chunk but the last is
// shorter than CHUNK_MIN_BYTES).
const uint32_t BLOCK_CUTS_MAX = READ_BLOCK_BYTES / CHUNK_MIN_BYTES + 2;

struct Block {
    uint8_t *bytes;
    uint32_t length;
    uint32_t cut_count;
    uint32_t cut_end[BLOCK_CUTS_MAX];     // where in the block each chunk ends
    uint32_t cut_length[BLOCK_CUTS_MAX];  // and its whole length
    bool last;              // the stream ends here: no block follows
    uint32_t last_length;   // the length of the stream's last chunk, or 0
};

struct Cutting {
    Block block[BLOCKS];
    // The ring's hand-over: blocks filled and not hashed yet, under a lock
    // whose waits stay in the process (a semaphore's wait and release are
    // each a round trip to the Wine server, four per block).
    SRWLOCK lock;
    CONDITION_VARIABLE changed;
    int queued;
    bool hasher;              // a second thread hashes; else the reader does
    volatile ChunkFileResult result;  // the first failure sticks, whichever thread meets it
    RunningDigest digest;
    bool digest_open;
    uint64_t chunk_offset;    // where the current chunk began
    ChunkFoundFn found;
    void *context;
};

// Ends the current chunk of `length` bytes: its digest to the caller, and
// a fresh digest for the next. A ChunkFileResult.
ChunkFileResult close_chunk(Cutting *c, uint32_t length)
{
    uint8_t digest[SHA256_BYTES];
    int ok = running_digest_finish(&c->digest, digest);
    running_digest_release(&c->digest);
    c->digest_open = false;
    if (!ok)
        return CHUNK_FILE_FAILED;
    if (!c->found(c->context, c->chunk_offset, length, digest))
        return CHUNK_FILE_STOPPED;
    c->chunk_offset += length;
    return CHUNK_FILE_OK;
}

// Feeds bytes to the current chunk's digest, opening it first if needed.
bool hash_bytes(Cutting *c, const uint8_t *bytes, uint32_t len)
{
    if (!c->digest_open)
        c->digest_open = running_digest_begin(&c->digest) == DIGEST_BEGIN_OK;
    return c->digest_open && running_digest_add(&c->digest, bytes, len);
}

// Hashes a cut block and reports the chunks that end in it.
ChunkFileResult hash_block(Cutting *c, const Block *b)
{
    uint32_t at = 0;
    for (uint32_t k = 0; k < b->cut_count; k++) {
        if (!hash_bytes(c, b->bytes + at, b->cut_end[k] - at))
            return CHUNK_FILE_FAILED;
        ChunkFileResult r = close_chunk(c, b->cut_length[k]);
        if (r != CHUNK_FILE_OK)
            return r;
        at = b->cut_end[k];
    }
    if (at < b->length && !hash_bytes(c, b->bytes + at, b->length - at))
        return CHUNK_FILE_FAILED;
    return b->last && b->last_length ? close_chunk(c, b->last_length) : CHUNK_FILE_OK;
}

// Finds the cuts of a block just read.
void cut_block(Chunker *chunker, Block *b)
{
    b->cut_count = 0;
    for (uint32_t at = 0; at < b->length;) {
        uint32_t cut = 0;
        at += (uint32_t)chunker_feed(chunker, b->bytes + at, b->length - at, &cut);
        if (cut && b->cut_count < BLOCK_CUTS_MAX) {
            b->cut_end[b->cut_count] = at;
            b->cut_length[b->cut_count++] = cut;
        }
    }
}

// Records a block's outcome: a failure only where none was met before. The
// reader and the hasher both meet failures; a success written over the
// reader's failed read would end the cut early and call it complete.
void settle(Cutting *c, ChunkFileResult outcome)
{
    ChunkFileResult ok = CHUNK_FILE_OK;
    if (outcome != CHUNK_FILE_OK)
        __atomic_compare_exchange_n(&c->result, &ok, outcome, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
}

// The hashing thread: the ring's blocks in order until the last one. After
// a failure it only passes the blocks back.
DWORD WINAPI hash_ring(void *context)
{
    Cutting *c = (Cutting *)context;
    for (int n = 0;; n = (n + 1) % BLOCKS) {
        AcquireSRWLockExclusive(&c->lock);
        while (c->queued == 0)
            SleepConditionVariableSRW(&c->changed, &c->lock, INFINITE, 0);
        ReleaseSRWLockExclusive(&c->lock);
        const Block *b = &c->block[n];
        if (c->result == CHUNK_FILE_OK)
            settle(c, hash_block(c, b));
        bool last = b->last;
        AcquireSRWLockExclusive(&c->lock);
        c->queued--;
        ReleaseSRWLockExclusive(&c->lock);
        WakeAllConditionVariable(&c->changed);
        if (last)
            return 0;
    }
}

// Reads, cuts and hands over blocks until the file ends, a read fails or
// the hasher has stopped.
void read_ring(Cutting *c, HANDLE file, uint64_t *total)
{
    Chunker chunker;
    chunker_begin(&chunker);
    for (int n = 0;; n = (n + 1) % BLOCKS) {
        if (c->hasher) {
            AcquireSRWLockExclusive(&c->lock);
            while (c->queued == BLOCKS)
                SleepConditionVariableSRW(&c->changed, &c->lock, INFINITE, 0);
            ReleaseSRWLockExclusive(&c->lock);
        }
        Block *b = &c->block[n];
        DWORD got = 0;
        b->length = 0;
        b->cut_count = 0;
        b->last = c->result != CHUNK_FILE_OK;
        if (!b->last && !ReadFile(file, b->bytes, READ_BLOCK_BYTES, &got, nullptr)) {
            settle(c, CHUNK_FILE_FAILED);
            b->last = true;
        } else if (!b->last && got == 0) {
            b->last = true;
            b->last_length = chunker_end(&chunker);
        } else if (!b->last) {
            b->length = got;
            *total += got;
            cut_block(&chunker, b);
        }
        if (c->hasher) {
            AcquireSRWLockExclusive(&c->lock);
            c->queued++;
            ReleaseSRWLockExclusive(&c->lock);
            WakeAllConditionVariable(&c->changed);
        } else if (c->result == CHUNK_FILE_OK)
            settle(c, hash_block(c, b));
        if (b->last)
            return;
    }
}

}  // namespace

ChunkFileResult chunk_file(const wchar_t *path, ChunkFoundFn found, void *context, uint64_t *size)
{
    if (size)
        *size = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return CHUNK_FILE_FAILED;
    HANDLE heap = GetProcessHeap();
    Cutting *c = (Cutting *)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof *c);
    uint8_t *bytes = (uint8_t *)HeapAlloc(heap, 0, (SIZE_T)READ_BLOCK_BYTES * BLOCKS);
    if (!c || !bytes) {
        if (c)
            HeapFree(heap, 0, c);
        if (bytes)
            HeapFree(heap, 0, bytes);
        CloseHandle(file);
        return CHUNK_FILE_FAILED;
    }
    for (int n = 0; n < BLOCKS; n++)
        c->block[n].bytes = bytes + (size_t)n * READ_BLOCK_BYTES;
    c->found = found;
    c->context = context;
    c->result = CHUNK_FILE_OK;
    InitializeSRWLock(&c->lock);
    InitializeConditionVariable(&c->changed);
    HANDLE hasher = CreateThread(nullptr, 0, hash_ring, c, 0, nullptr);
    c->hasher = hasher != nullptr;
    uint64_t total = 0;
    read_ring(c, file, &total);
    if (hasher) {
        WaitForSingleObject(hasher, INFINITE);
        CloseHandle(hasher);
    }
    ChunkFileResult result = c->result;
    if (c->digest_open)
        running_digest_release(&c->digest);
    HeapFree(heap, 0, bytes);
    HeapFree(heap, 0, c);
    CloseHandle(file);
    if (size)
        *size = total;
    return result;
}
