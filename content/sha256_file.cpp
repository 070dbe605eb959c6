// SHA-256 of a file: read in 1 MiB blocks and fed to the running digest.
// Hashing is what a verify pass waits for. With the platform's provider
// (about 260 MB/s under Wine) reading the next block on a second thread
// while the current one is hashed keeps the reads out of the way on larger
// files. With the SHA extensions (1,700 MB/s) the block is read on the
// hashing thread: the hand-over per block (two waits on events, each a
// round trip to the Wine server, and the block's move between cores) then
// costs more than the copy it hides; measured on a shared two-core machine,
// 0.84 of in-memory hashing read in turn against 0.79 read ahead, and far
// less read ahead once the other core is busy.
#include "content/content.h"

#include <windows.h>

namespace {

const DWORD FILE_BLOCK_BYTES = 1048576;
// Below this a file is read and hashed in turn: a thread costs more than
// the reads it would hide.
const uint64_t READ_AHEAD_MIN_BYTES = 4 * 1048576;

// Two read blocks. Blocks this large are mapped afresh by every allocation
// and their pages zero-filled by the system on first touch: for the many
// small files of a verify pass that cost about a third of the hashing
// itself. So a few pairs are kept for the process, one for each of the
// callers a verify runs at once, each lent to one caller at a time; a
// caller that finds them all lent allocates its own.
const int KEPT_PAIRS = 2;
volatile LONG g_blocks_lent[KEPT_PAIRS];
void *g_blocks[KEPT_PAIRS];

uint8_t *borrow_blocks(int *lent)
{
    for (int k = 0; k < KEPT_PAIRS; k++) {
        if (InterlockedCompareExchange(&g_blocks_lent[k], 1, 0) != 0)
            continue;
        if (!g_blocks[k])
            g_blocks[k] = HeapAlloc(GetProcessHeap(), 0, 2 * FILE_BLOCK_BYTES);
        if (g_blocks[k]) {
            *lent = k;
            return (uint8_t *)g_blocks[k];
        }
        InterlockedExchange(&g_blocks_lent[k], 0);
    }
    *lent = -1;
    return (uint8_t *)HeapAlloc(GetProcessHeap(), 0, 2 * FILE_BLOCK_BYTES);
}

void return_blocks(uint8_t *blocks, int lent)
{
    if (lent >= 0)
        InterlockedExchange(&g_blocks_lent[lent], 0);
    else if (blocks)
        HeapFree(GetProcessHeap(), 0, blocks);
}

// Reads the file into block 0 and 1 alternately; the hashing side hands a
// block back once it is hashed. A failed read, or one of 0 bytes (the end),
// is the reader's last.
struct ReadAhead {
    HANDLE file;
    uint8_t *block[2];
    DWORD got[2];
    BOOL read_ok[2];
    HANDLE filled[2];   // auto-reset: block i holds a read
    HANDLE emptied[2];  // auto-reset: block i may be read into
    volatile LONG stop;
};

DWORD WINAPI read_ahead_thread(void *arg)
{
    ReadAhead *r = (ReadAhead *)arg;
    for (int i = 0;; i ^= 1) {
        WaitForSingleObject(r->emptied[i], INFINITE);
        if (r->stop)
            return 0;
        r->got[i] = 0;
        r->read_ok[i] = ReadFile(r->file, r->block[i], FILE_BLOCK_BYTES, &r->got[i], nullptr);
        bool last = !r->read_ok[i] || r->got[i] == 0;
        SetEvent(r->filled[i]);
        if (last)
            return 0;
    }
}

// 1 with the digest finished into `out`, 0 on a read or hash failure, -1
// when the second thread could not be had (nothing read yet).
int hash_with_read_ahead(HANDLE file, uint8_t *blocks, RunningDigest *digest,
                         uint8_t out[SHA256_BYTES])
{
    ReadAhead r;
    ZeroMemory(&r, sizeof r);
    r.file = file;
    r.block[0] = blocks;
    r.block[1] = blocks + FILE_BLOCK_BYTES;
    int result = -1;
    HANDLE thread = nullptr;
    for (int i = 0; i < 2; i++) {
        r.filled[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        r.emptied[i] = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    }
    if (r.filled[0] && r.filled[1] && r.emptied[0] && r.emptied[1])
        thread = CreateThread(nullptr, 0, read_ahead_thread, &r, 0, nullptr);
    if (thread) {
        result = 0;
        for (int i = 0;; i ^= 1) {
            WaitForSingleObject(r.filled[i], INFINITE);
            if (!r.read_ok[i])
                break;
            if (r.got[i] == 0) {
                result = running_digest_finish(digest, out);
                break;
            }
            if (!running_digest_add(digest, r.block[i], r.got[i]))
                break;
            SetEvent(r.emptied[i]);
        }
        InterlockedExchange(&r.stop, 1);
        SetEvent(r.emptied[0]);
        SetEvent(r.emptied[1]);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    for (int i = 0; i < 2; i++) {
        if (r.filled[i])
            CloseHandle(r.filled[i]);
        if (r.emptied[i])
            CloseHandle(r.emptied[i]);
    }
    return result;
}

}  // namespace

int sha256_file(const wchar_t *path, uint8_t out[SHA256_BYTES])
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    RunningDigest digest = {};
    int ok = 0;
    int lent = -1;
    uint8_t *blocks = borrow_blocks(&lent);
    LARGE_INTEGER size;
    if (blocks && running_digest_begin(&digest) == DIGEST_BEGIN_OK) {
        int ahead = -1;
        if (digest.engine == SHA256_ENGINE_BCRYPT && GetFileSizeEx(file, &size) &&
            (uint64_t)size.QuadPart >= READ_AHEAD_MIN_BYTES)
            ahead = hash_with_read_ahead(file, blocks, &digest, out);
        if (ahead >= 0) {
            ok = ahead;
        } else {
            for (;;) {
                DWORD got = 0;
                if (!ReadFile(file, blocks, FILE_BLOCK_BYTES, &got, nullptr))
                    break;
                if (got == 0) {
                    ok = running_digest_finish(&digest, out);
                    break;
                }
                if (!running_digest_add(&digest, blocks, got))
                    break;
            }
        }
    }
    running_digest_release(&digest);
    return_blocks(blocks, lent);
    CloseHandle(file);
    return ok;
}
