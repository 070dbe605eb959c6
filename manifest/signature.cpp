// Detached signatures: ECDSA P-256 over SHA-256, verified by the platform
// (bcrypt) against keys built into the launcher or named by its key list.
#include "manifest/manifest.h"

#include "content/content.h"
#include "korvanth_config.h"

#include <windows.h>
#include <bcrypt.h>

#include <string.h>

namespace {

// X then Y of the publisher's P-256 key, big-endian; chosen at build time.
const uint8_t MANIFEST_PUBLIC_KEY[P256_POINT_BYTES] = KORVANTH_MANIFEST_PUBKEY_BYTES;
// The root keys that sign the key list; KORVANTH_ROOT_PUBKEY_COUNT of them.
const uint8_t BUILTIN_ROOTS[][P256_POINT_BYTES] = KORVANTH_ROOT_PUBKEYS_BYTES;

const ULONG ECS1_MAGIC = 0x31534345;  // BCRYPT_ECDSA_PUBLIC_P256_MAGIC
const ULONG P256_COORD_BYTES = 32;
const size_t KEY_BLOB_BYTES = 8 + 2 * P256_COORD_BYTES;

static_assert(sizeof MANIFEST_PUBLIC_KEY == 2 * P256_COORD_BYTES,
              "the built-in key is the raw X||Y of a P-256 point");
static_assert(KORVANTH_ROOT_PUBKEY_COUNT <= ROOT_KEYS_MAX, "one or two root keys");
static_assert(sizeof BUILTIN_ROOTS / sizeof BUILTIN_ROOTS[0] >= KORVANTH_ROOT_PUBKEY_COUNT,
              "every root key is in the table");

// The roots a test set in place of the built-in ones (g_test_root_count >= 0).
uint8_t g_test_roots[ROOT_KEYS_MAX][P256_POINT_BYTES];
int g_test_root_count = -1;

// Whether `signature` verifies `digest` under the key at `point`; a key the
// platform will not import verifies nothing.
bool verifies(BCRYPT_ALG_HANDLE provider, const uint8_t *point, uint8_t *digest,
              uint8_t *signature)
{
    // BCRYPT_ECCKEY_BLOB header (magic, coordinate length; little-endian)
    // followed by X and Y.
    uint8_t blob[KEY_BLOB_BYTES];
    for (int i = 0; i < 4; i++) {
        blob[i] = (uint8_t)(ECS1_MAGIC >> (8 * i));
        blob[4 + i] = (uint8_t)(P256_COORD_BYTES >> (8 * i));
    }
    memcpy(blob + 8, point, P256_POINT_BYTES);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob,
                            0) != 0)
        return false;
    bool valid = BCryptVerifySignature(key, nullptr, digest, SHA256_BYTES, signature,
                                       SIGNATURE_BYTES, 0) == 0;
    BCryptDestroyKey(key);
    return valid;
}

}  // namespace

int signature_match(const void *bytes, size_t len, const char *sig_text, size_t sig_len,
                    const uint8_t *points, int count)
{
    // The text is judged before the document is touched: a signature of the
    // wrong shape costs no hashing.
    uint8_t signature[SIGNATURE_DECODE_BYTES];
    size_t sig_bytes = sizeof signature;
    if (!sig_text || count <= 0 ||
        !base64_decode_lenient(sig_text, sig_len, signature, &sig_bytes) ||
        sig_bytes != SIGNATURE_BYTES)
        return -1;

    uint8_t digest[SHA256_BYTES];
    if (!sha256_buffer(bytes, len, digest))
        return -1;

    BCRYPT_ALG_HANDLE provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0)
        return -1;
    int found = -1;
    for (int i = 0; i < count && found < 0; i++)
        if (verifies(provider, points + (size_t)i * P256_POINT_BYTES, digest, signature))
            found = i;
    BCryptCloseAlgorithmProvider(provider, 0);
    return found;
}

bool manifest_signature_valid(const void *manifest, size_t manifest_len, const char *sig_text,
                              size_t sig_len)
{
    return signature_match(manifest, manifest_len, sig_text, sig_len, MANIFEST_PUBLIC_KEY, 1) == 0;
}

int root_keys(const uint8_t **points)
{
    bool test = g_test_root_count >= 0;
    if (points)
        *points = test ? g_test_roots[0] : BUILTIN_ROOTS[0];
    return test ? g_test_root_count : KORVANTH_ROOT_PUBKEY_COUNT;
}

void signature_set_roots(const uint8_t *points, int count)
{
    if (count < 0 || (count > 0 && !points)) {
        g_test_root_count = -1;
        return;
    }
    g_test_root_count = count < ROOT_KEYS_MAX ? count : ROOT_KEYS_MAX;
    memcpy(g_test_roots, points, (size_t)g_test_root_count * P256_POINT_BYTES);
}
