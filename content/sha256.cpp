// SHA-256 through the platform's cryptography provider (bcrypt).
#include "content/content.h"

#include <windows.h>
#include <bcrypt.h>

namespace {
const DWORD FILE_BLOCK_BYTES = 1048576;

// A block this large is mapped afresh by every allocation and its pages are
// zero-filled by the system on first touch: for the many small files of a
// verify pass that costs about a third of the hashing itself. One block is
// kept for the process and lent to one caller at a time; a caller that finds
// it lent allocates its own.
volatile LONG g_block_lent;
void *g_block;

void *borrow_block(bool *lent)
{
    if (InterlockedCompareExchange(&g_block_lent, 1, 0) == 0) {
        if (!g_block)
            g_block = HeapAlloc(GetProcessHeap(), 0, FILE_BLOCK_BYTES);
        if (g_block) {
            *lent = true;
            return g_block;
        }
        InterlockedExchange(&g_block_lent, 0);
    }
    *lent = false;
    return HeapAlloc(GetProcessHeap(), 0, FILE_BLOCK_BYTES);
}

void return_block(void *block, bool lent)
{
    if (lent)
        InterlockedExchange(&g_block_lent, 0);
    else if (block)
        HeapFree(GetProcessHeap(), 0, block);
}
}  // namespace

int running_digest_begin(RunningDigest *digest)
{
    digest->provider = nullptr;
    digest->hash = nullptr;
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return DIGEST_BEGIN_NO_PROVIDER;
    digest->provider = provider;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) != 0)
        return DIGEST_BEGIN_NO_HASH;
    digest->hash = hash;
    return DIGEST_BEGIN_OK;
}

int running_digest_add(RunningDigest *digest, const void *bytes, size_t len)
{
    const UCHAR *p = (const UCHAR *)bytes;
    while (len > 0) {
        ULONG chunk = len > 0x40000000 ? 0x40000000 : (ULONG)len;
        if (BCryptHashData((BCRYPT_HASH_HANDLE)digest->hash, (PUCHAR)p, chunk, 0) != 0)
            return 0;
        p += chunk;
        len -= chunk;
    }
    return 1;
}

int running_digest_finish(RunningDigest *digest, uint8_t out[SHA256_BYTES])
{
    return BCryptFinishHash((BCRYPT_HASH_HANDLE)digest->hash, out, SHA256_BYTES, 0) == 0;
}

void running_digest_release(RunningDigest *digest)
{
    if (digest->hash)
        BCryptDestroyHash((BCRYPT_HASH_HANDLE)digest->hash);
    if (digest->provider)
        BCryptCloseAlgorithmProvider((BCRYPT_ALG_HANDLE)digest->provider, 0);
    digest->hash = nullptr;
    digest->provider = nullptr;
}

int sha256_buffer(const void *bytes, size_t len, uint8_t out[SHA256_BYTES])
{
    RunningDigest digest = {nullptr, nullptr};
    int ok = running_digest_begin(&digest) == DIGEST_BEGIN_OK &&
             running_digest_add(&digest, bytes, len) && running_digest_finish(&digest, out);
    running_digest_release(&digest);
    return ok;
}

int sha256_file(const wchar_t *path, uint8_t out[SHA256_BYTES])
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    RunningDigest digest = {nullptr, nullptr};
    int ok = 0;
    bool lent = false;
    void *buf = borrow_block(&lent);
    if (buf && running_digest_begin(&digest) == DIGEST_BEGIN_OK) {
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file, buf, FILE_BLOCK_BYTES, &got, nullptr))
                break;
            if (got == 0) {
                ok = running_digest_finish(&digest, out);
                break;
            }
            if (!running_digest_add(&digest, buf, got))
                break;
        }
    }
    running_digest_release(&digest);
    return_block(buf, lent);
    CloseHandle(file);
    return ok;
}

void hex_encode(const uint8_t *bytes, size_t n, char *out)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * n] = 0;
}
