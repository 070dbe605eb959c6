// Content-defined chunks of large files: the cut rule (the launcher's and
// the publisher's one source), the chunk index object that lists a file's
// chunks, and a file cut block by block.
//
// Every function may run on any thread, several at once. The cutter and the
// index reader make no platform calls and also build natively (the
// publisher's korvanth-chunk, the fuzz targets); chunk_file reads with fixed
// memory and closes its file before it returns. A chunk index and its
// lookup table belong to the caller that passed their memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "content/content.h"

// A large file may also be published as chunks: pieces whose ends the
// content itself chooses, so that an insertion or a deletion moves only the
// cuts around it and a patch fetches little more than what changed. The
// publisher's tool (tools/chunker, built natively from this same code) and
// the launcher must cut every file at exactly the same places: the sizes
// below, the gear table in chunker.cpp and the cut rule are all part of the
// format, pinned by tests. Changing any of them needs a new index version.
//
// The cut rule (gear hashing with normalized chunking): inside a chunk the
// first CHUNK_MIN_BYTES are never cut; from there a 32-bit hash rolls over
// the bytes, hash = (hash << 1) + gear[byte], starting from 0; the chunk ends
// after the first byte at which the top CHUNK_AVG_BITS + 1 bits of the hash
// are all zero while the chunk is shorter than CHUNK_AVG_BYTES, or the top
// CHUNK_AVG_BITS - 1 bits from there on; at CHUNK_MAX_BYTES it ends anyway.
//
// The sizes were chosen on scripts/bench-patch (archives with scattered
// edits of 1 to 64 KiB): 4/16/64 KiB fetched 2.5 times what a zstd patch
// from the exact old file takes, 8/32/128 KiB 3.1 times, 16/64/256 KiB 4.1
// times, and 2/8/32 KiB 2.7 times once its twice larger index is paid.
// Chunks average about 20 KB: some 52,000 chunk objects and a 2.1 MB index
// per GiB.

enum {
    CHUNK_MIN_BYTES = 4096,
    CHUNK_AVG_BITS = 14,
    CHUNK_AVG_BYTES = 1 << CHUNK_AVG_BITS,
    CHUNK_MAX_BYTES = 65536,
};

// The gear table of the cut rule: entry i is the first four bytes, read
// big-endian, of the SHA-256 of the single byte i.
extern const uint32_t CHUNK_GEAR_TABLE[256];

// The cutting state of one stream, set up by a begin.
struct Chunker {
    uint32_t min_bytes, avg_bytes, max_bytes;
    uint32_t mask_before_avg;  // harder: more bits must be zero
    uint32_t mask_after_avg;   // easier
    uint32_t length;           // bytes of the current chunk seen so far
    uint32_t hash;
};

// Begins a stream cut with the format's sizes.
void chunker_begin(Chunker *chunker);
// For measurements only (scripts/bench-patch): other sizes, whose cuts no
// launcher accepts. `avg_bytes` a power of two from 256 to 2^24, and
// 0 < min_bytes < avg_bytes < max_bytes <= 2^28; 0 (nothing begun) otherwise.
int chunker_begin_sized(Chunker *chunker, uint32_t min_bytes, uint32_t avg_bytes,
                        uint32_t max_bytes);
// Scans up to `len` bytes that continue the stream and stops right after the
// next cut. Returns the bytes consumed (all `len` unless a cut came first);
// `*cut_length` is the length of the chunk that ends with them, or 0 when no
// chunk ended. The caller feeds the rest again. Blocks of any size give the
// same cuts.
size_t chunker_feed(Chunker *chunker, const uint8_t *bytes, size_t len, uint32_t *cut_length);
// Ends the stream: the length of its last chunk, 0 when no byte waits. The
// chunker is ready for a new stream.
uint32_t chunker_end(Chunker *chunker);

// The chunk index: the object that lists a file's chunks in order, named
// by its SHA-256 on the mirror like every object. Numbers little-endian.
//   offset  size  field
//   0       4     magic "KCIX"
//   4       1     version, 1
//   5       3     zero
//   8       8     the file's size in bytes
//   16      4     the number of chunks n
//   20      40n   per chunk: its length (4 bytes); the size of its gzip
//                 object, 0 when it has none (4 bytes); its SHA-256 (32)
// Version 1 means the cut rule and sizes above. The lengths add up to the
// file's size; every chunk but the last is CHUNK_MIN_BYTES to
// CHUNK_MAX_BYTES long, the last 1 to CHUNK_MAX_BYTES; an empty file has no
// chunks. A chunk is the object objects/<sha256>, and objects/<sha256>.gz
// too where gzip makes it smaller: its packed size is then below its length.
// Nothing follows the last record.
enum {
    CHUNK_INDEX_VERSION = 1,
    CHUNK_INDEX_HEADER_BYTES = 20,
    CHUNK_INDEX_RECORD_BYTES = 8 + SHA256_BYTES,
    // A reader holds the whole index: 64 MiB lists 1.6 million chunks, a
    // file of about 30 GiB at the average size.
    CHUNK_INDEX_MAX_BYTES = 64 << 20,
};

// A parsed index. `records` points into the caller's bytes, which must stay
// as they are while it is used.
struct ChunkIndex {
    uint64_t file_size;
    uint32_t count;
    const uint8_t *records;
};

enum ChunkIndexResult {
    CHUNK_INDEX_OK = 1,
    CHUNK_INDEX_MALFORMED = 0,         // anything against the rules above
    CHUNK_INDEX_UNKNOWN_VERSION = -1,  // a later format: cannot be read
};

// Checks `len` untrusted bytes as the chunk index of a file of `file_size`
// bytes and fills `index`; on any other result `index` is cleared. A
// version other than 1 is CHUNK_INDEX_UNKNOWN_VERSION before anything after
// it is looked at; more than CHUNK_INDEX_MAX_BYTES is malformed.
ChunkIndexResult chunk_index_parse(const void *bytes, size_t len, uint64_t file_size,
                                   ChunkIndex *index);
// The constant English text of a ChunkIndexResult.
const char *chunk_index_result_text(ChunkIndexResult result);
// Chunk `i` (below index->count) of a parsed index: its length, the size
// of its gzip object (0: none) and its digest.
uint32_t chunk_index_length(const ChunkIndex *index, uint32_t i);
uint32_t chunk_index_packed(const ChunkIndex *index, uint32_t i);
const uint8_t *chunk_index_digest(const ChunkIndex *index, uint32_t i);

// Finding an index's chunks by digest, for the chunks of local files. The
// caller lends `order` (index->count entries); the build sorts the chunk
// numbers in it by digest. Equal digests (a chunk that occurs twice) stay in
// file order.
void chunk_lookup_build(const ChunkIndex *index, uint32_t *order);
// The first position in `order` whose chunk has `digest`; -1 when none has.
// The positions after it with the same digest follow it in `order`.
int64_t chunk_lookup_find(const ChunkIndex *index, const uint32_t *order,
                          const uint8_t digest[SHA256_BYTES]);

// One chunk of a file as chunk_file reports it: `context` is the caller's.
// Returns non-zero to go on, 0 to stop the cutting.
typedef int (*ChunkFoundFn)(void *context, uint64_t offset, uint32_t length,
                            const uint8_t digest[SHA256_BYTES]);

enum ChunkFileResult {
    CHUNK_FILE_OK = 1,
    CHUNK_FILE_FAILED = 0,    // cannot be opened or read, or hashing failed
    CHUNK_FILE_STOPPED = -1,  // `found` said stop
};

// Cuts the file at `path` with the format's sizes, read block by block with
// fixed memory, and hands every chunk with its SHA-256 to `found` in order.
// `size` (optional) gets the bytes read. Others may keep writing the file: a
// file that changes meanwhile is cut as it was read.
ChunkFileResult chunk_file(const wchar_t *path, ChunkFoundFn found, void *context, uint64_t *size);
