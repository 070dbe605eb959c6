// SHA-256 through the processor's SHA extensions where it has them, through
// the platform's cryptography provider (bcrypt) otherwise.
#include "content/content.h"
#include "content/sha256_internal.h"

#include <windows.h>
#include <bcrypt.h>

namespace {

// 0 until the first digest asks; then a Sha256Engine. The choice is the
// same on every thread, so two threads that both choose store the same.
volatile LONG g_engine;

int begin_bcrypt(RunningDigest *digest)
{
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

}  // namespace

int sha256_engine(void)
{
    LONG engine = g_engine;
    if (engine == 0) {
        engine = cpu_has_sha_extensions() ? SHA256_ENGINE_SHA_NI : SHA256_ENGINE_BCRYPT;
        InterlockedCompareExchange(&g_engine, engine, 0);
        engine = g_engine;
    }
    return (int)engine;
}

int sha256_select_engine(int engine)
{
    if (engine == SHA256_ENGINE_SHA_NI && !cpu_has_sha_extensions())
        return 0;
    if (engine != SHA256_ENGINE_SHA_NI && engine != SHA256_ENGINE_BCRYPT)
        return 0;
    InterlockedExchange(&g_engine, engine);
    return 1;
}

int running_digest_begin(RunningDigest *digest)
{
    digest->provider = nullptr;
    digest->hash = nullptr;
    digest->engine = sha256_engine();
    if (digest->engine == SHA256_ENGINE_SHA_NI) {
        sha256_blocks_begin(&digest->blocks);
        return DIGEST_BEGIN_OK;
    }
    return begin_bcrypt(digest);
}

int running_digest_add(RunningDigest *digest, const void *bytes, size_t len)
{
    if (digest->engine == SHA256_ENGINE_SHA_NI) {
        sha256_blocks_add(&digest->blocks, bytes, len);
        return 1;
    }
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
    if (digest->engine == SHA256_ENGINE_SHA_NI) {
        sha256_blocks_finish(&digest->blocks, out);
        return 1;
    }
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
    RunningDigest digest = {};
    int ok = running_digest_begin(&digest) == DIGEST_BEGIN_OK &&
             running_digest_add(&digest, bytes, len) && running_digest_finish(&digest, out);
    running_digest_release(&digest);
    return ok;
}
