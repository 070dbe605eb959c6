// The manifest's detached signature: ECDSA P-256 over SHA-256, verified by
// the platform (bcrypt) against the publisher's key built into the launcher.
#include "manifest/manifest.h"

#include "content/content.h"
#include "korvanth_config.h"

#include <windows.h>
#include <bcrypt.h>

#include <string.h>

namespace {

// X then Y of the publisher's P-256 key, big-endian; chosen at build time.
const uint8_t MANIFEST_PUBLIC_KEY[64] = KORVANTH_MANIFEST_PUBKEY_BYTES;

const ULONG ECS1_MAGIC = 0x31534345;  // BCRYPT_ECDSA_PUBLIC_P256_MAGIC
const ULONG P256_COORD_BYTES = 32;
const size_t KEY_BLOB_BYTES = 8 + 2 * P256_COORD_BYTES;

static_assert(sizeof MANIFEST_PUBLIC_KEY == 2 * P256_COORD_BYTES,
              "the built-in key is the raw X||Y of a P-256 point");

}  // namespace

bool manifest_signature_valid(const void *manifest, size_t manifest_len, const char *sig_text,
                              size_t sig_len)
{
    // The text is judged before the manifest is touched: a signature of the
    // wrong shape costs no hashing.
    uint8_t signature[SIGNATURE_DECODE_BYTES];
    size_t sig_bytes = sizeof signature;
    if (!sig_text || !base64_decode_lenient(sig_text, sig_len, signature, &sig_bytes) ||
        sig_bytes != SIGNATURE_BYTES)
        return false;

    uint8_t digest[SHA256_BYTES];
    if (!sha256_buffer(manifest, manifest_len, digest))
        return false;

    // BCRYPT_ECCKEY_BLOB header (magic, coordinate length; little-endian)
    // followed by X and Y.
    uint8_t blob[KEY_BLOB_BYTES];
    for (int i = 0; i < 4; i++) {
        blob[i] = (uint8_t)(ECS1_MAGIC >> (8 * i));
        blob[4 + i] = (uint8_t)(P256_COORD_BYTES >> (8 * i));
    }
    memcpy(blob + 8, MANIFEST_PUBLIC_KEY, sizeof MANIFEST_PUBLIC_KEY);

    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    bool valid = false;
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) {
        provider = nullptr;
        goto cleanup;
    }
    if (BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob,
                            0) != 0) {
        key = nullptr;
        goto cleanup;
    }
    valid = BCryptVerifySignature(key, nullptr, digest, sizeof digest, signature,
                                  SIGNATURE_BYTES, 0) == 0;
cleanup:
    if (key)
        BCryptDestroyKey(key);
    if (provider)
        BCryptCloseAlgorithmProvider(provider, 0);
    return valid;
}
