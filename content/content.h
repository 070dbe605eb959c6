// Content verification: SHA-256 digests of buffers and files, and the gzip
// decoder that unpacks downloaded objects while hashing them.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { SHA256_BYTES = 32, SHA256_HEX_CHARS = 65 };

// A digest fed chunk by chunk. Zero-initialise, then begin; release closes
// whatever was opened and is safe after a partial begin.
struct RunningDigest {
    void *provider;  // BCRYPT_ALG_HANDLE
    void *hash;      // BCRYPT_HASH_HANDLE
};

enum DigestBegin {
    DIGEST_BEGIN_OK = 1,
    DIGEST_BEGIN_NO_PROVIDER = 0,  // "sha256 provider"
    DIGEST_BEGIN_NO_HASH = -1,     // "sha256 hash"
};

// Opens the provider and the hash object: a DigestBegin value.
int running_digest_begin(RunningDigest *digest);
int running_digest_add(RunningDigest *digest, const void *bytes, size_t len);
// Stores the 32-byte digest; the object cannot be fed afterwards.
int running_digest_finish(RunningDigest *digest, uint8_t out[SHA256_BYTES]);
void running_digest_release(RunningDigest *digest);

// 1 with the digest of `len` bytes in `out`, 0 on a platform failure.
int sha256_buffer(const void *bytes, size_t len, uint8_t out[SHA256_BYTES]);
// 1 with the digest of the file's content; 0 when it cannot be opened or read
// (a folder, a missing path) or hashing fails. Others may keep writing the file.
int sha256_file(const wchar_t *path, uint8_t out[SHA256_BYTES]);
// Writes 2n lower-case hexadecimal characters and a NUL into `out`.
void hex_encode(const uint8_t *bytes, size_t n, char *out);
