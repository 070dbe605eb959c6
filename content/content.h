// Content verification: SHA-256 digests of buffers and files, hexadecimal
// text both ways, and the gzip decoder that unpacks downloaded objects while
// hashing them.
//
// Every function may run on any thread, several at once. A RunningDigest
// owns its provider and hash handles from begin to running_digest_release.
// sha256_file may read ahead on a second thread that ends before it returns.
// Its read blocks and gzip_decode's state block, costly to map afresh, are
// kept for the process between calls; a call that finds them in use
// allocates its own. gunzip_file_hashed and gunzip_hashed own their output
// file: complete on success, deleted on failure; their input is never
// changed. gunzip_hashed_open hands its complete output's handle to the
// caller. The hexadecimal text and the decoder make no platform calls and
// also build natively.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { SHA256_BYTES = 32, SHA256_HEX_CHARS = 65 };

// The in-process engine's state: the chaining value, the number of bytes
// fed, the part of a block that waits for more, and whether the blocks go
// through the plain rounds instead of the SHA extensions.
struct Sha256Blocks {
    uint32_t h[8];
    uint64_t total;
    uint8_t partial[64];
    bool plain;
};

// A digest fed chunk by chunk. Zero-initialise, then begin; release closes
// whatever was opened and is safe after a partial begin. The engine is fixed
// at begin, so a digest never mixes the two.
struct RunningDigest {
    void *provider;  // BCRYPT_ALG_HANDLE while bcrypt hashes
    void *hash;      // BCRYPT_HASH_HANDLE
    int engine;      // a Sha256Engine once begun, 0 before
    Sha256Blocks blocks;
};

// Who computes SHA-256: the processor's SHA extensions where it has them
// (several times faster), the platform's bcrypt provider otherwise.
enum Sha256Engine {
    SHA256_ENGINE_BCRYPT = 1,
    SHA256_ENGINE_SHA_NI = 2,
};

// The engine of this process, chosen on first use from what CPUID reports.
int sha256_engine(void);
// For tests and benchmarks: later digests use `engine`. 1 when it is
// available, 0 (nothing changed) when this processor lacks it.
int sha256_select_engine(int engine);

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
// The value of one hexadecimal digit (either case), -1 for any other byte.
int hex_digit_value(char c);
// The value of the four hexadecimal digits at `digits` (a \uXXXX escape's),
// -1 when one of them is no digit.
int hex_quad_value(const char *digits);

// A digest fed on a second thread, behind the caller: the caller fills a
// ring block, hands it over and fills the next while the one before is
// hashed, so that writing a file and hashing it cost the longer of the two,
// not their sum. Without that thread (none could start) a block is hashed as
// it is handed over. Zero-initialise, then open; close ends the thread and
// frees the blocks, also after a failed open or without a finish.
enum { DIGEST_RING_BLOCKS = 3 };
struct DigestRing {
    RunningDigest digest;
    uint8_t *block[DIGEST_RING_BLOCKS];
    uint32_t length[DIGEST_RING_BLOCKS];
    int next;            // the block the caller fills next
    bool held;           // the caller holds that block
    // Under `lock` (an SRWLOCK; `changed` a CONDITION_VARIABLE: waits that
    // stay in the process, unlike a semaphore's): the blocks handed over
    // and not hashed yet, and whether the caller has handed over its last.
    void *lock, *changed;
    int queued;
    bool ending;
    void *thread;
    volatile long failed;  // hashing failed: later blocks are not hashed
};

// 1 with `block_bytes` per block, 0 when out of memory or without a digest.
int digest_ring_open(DigestRing *ring, uint32_t block_bytes);
// The next block to fill, once the hasher has passed it.
uint8_t *digest_ring_block(DigestRing *ring);
// Hands over the block from digest_ring_block with its first `length` bytes
// filled: 0 when hashing has failed so far.
int digest_ring_add(DigestRing *ring, uint32_t length);
// Waits for every block handed over and stores the digest: 1, or 0.
int digest_ring_finish(DigestRing *ring, uint8_t out[SHA256_BYTES]);
void digest_ring_close(DigestRing *ring);

// ---------------------------------------------------------------------------
// Gzip decoding (one RFC 1952 member holding RFC 1951 deflate data)

// Results of gzip_decode; gzip_result_text names each one.
enum GzipResult {
    GZIP_OK = 0,
    GZIP_OUT_OF_MEMORY = 1,
    GZIP_READ_ERROR = 2,
    GZIP_WRITE_ERROR = 3,
    GZIP_NOT_GZIP = 4,        // magic bytes, method or reserved flag bits
    GZIP_TRUNCATED = 5,       // the input ended before the member did
    GZIP_CORRUPT = 6,         // anything invalid inside the deflate data
    GZIP_CHECK_MISMATCH = 7,  // the trailer's CRC-32 or length
    GZIP_TRAILING_DATA = 8,   // input continues after the trailer
};

enum {
    GZIP_IO_CHUNK_BYTES = 65536,  // what a read is offered and a full write holds
    GZIP_ERROR_TEXT_BYTES = 64,   // minimum error text buffer of gunzip_file_hashed
};

// Input source: places up to `capacity` bytes (always GZIP_IO_CHUNK_BYTES) in
// `buffer` and returns their number; 0 at the end of the input, negative on
// failure.
typedef int (*GzipReadFn)(void *context, uint8_t *buffer, int capacity);
// Output sink: non-zero on success, 0 on failure. `length` is
// GZIP_IO_CHUNK_BYTES except for the member's last chunk, and never 0.
typedef int (*GzipWriteFn)(void *context, const uint8_t *bytes, size_t length);

// Decodes one gzip member from `read` into `write` with fixed memory, checks
// its CRC-32 and length and refuses anything after it. The input is
// untrusted. `decoded_size` (optional) is set to 0 at the start and to the
// number of bytes written on success. Returns a GzipResult; output already
// handed to `write` stays written whatever the result.
int gzip_decode(GzipReadFn read, void *read_context, GzipWriteFn write, void *write_context,
                uint64_t *decoded_size);
// The constant English text of a GzipResult ("unknown error" for others).
const char *gzip_result_text(int result);

// A body held in memory as gzip_decode's input (memory_read), and a block
// as its output (memory_write: a write past the capacity fails the
// decoding).
struct MemoryInput {
    const uint8_t *bytes;
    size_t length;
    size_t offset;
};
struct MemoryOutput {
    uint8_t *bytes;
    size_t capacity;
    size_t length;
};
int memory_read(void *input, uint8_t *buffer, int capacity);
int memory_write(void *output, const uint8_t *bytes, size_t length);

// Decodes the gzip file `gz_path` into a new file `out_path` (replacing one
// that exists) while computing the SHA-256 of the decoded bytes into `digest`.
// 1 when the output file holds the whole decoded content; otherwise 0, the
// output file is deleted and `error_text` (at least GZIP_ERROR_TEXT_BYTES
// bytes) names the failure: "sha256 provider", "sha256 hash", "open .gz",
// "create output", a gzip_result_text, or "sha256 finish". The gzip file is
// left in place.
int gunzip_file_hashed(const wchar_t *gz_path, const wchar_t *out_path,
                       uint8_t digest[SHA256_BYTES], char *error_text);

// The same from any input: decodes the gzip member that `read` delivers into
// a new file `out_path` while hashing the decoded bytes. Results and error
// texts as above, without "open .gz" (the input is the caller's).
int gunzip_hashed(GzipReadFn read, void *read_context, const wchar_t *out_path,
                  uint8_t digest[SHA256_BYTES], char *error_text);
// The same with the output left open on success: `*out_file` is its HANDLE,
// open for writing and with DELETE access, for the caller to move
// (move_open_file) once the digest is judged, and to close. Null on
// failure, when the output is deleted as above.
int gunzip_hashed_open(GzipReadFn read, void *read_context, const wchar_t *out_path,
                       uint8_t digest[SHA256_BYTES], char *error_text, void **out_file);
