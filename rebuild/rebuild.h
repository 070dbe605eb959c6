// Rebuilding a large file from chunks: the pieces the player already has (in
// the old copy, in a part file left by an earlier attempt, in the files the
// release removes, found through the kept chunk lists or by cutting) copied
// into "<destination>.part", only the missing chunks fetched, the whole file
// checked before it moves into place; and the chunk lists of installed files
// kept in "Korvanth.chunks" for the next release.
//
// Who owns what:
// - Threads. A rebuild runs on the calling thread (the update pass's) with
//   nothing else of the pass in flight; it starts carrier threads for its
//   missing chunks (one per connection) and a hashing thread for the new
//   file, and joins all of them before it returns.
// - Memory and handles. Everything a rebuild opens or allocates is released
//   before chunked_update returns, except the removed files' chunks, which
//   RebuildPass keeps for the pass's later chunked files until
//   chunked_forget.
// - Files. The new file grows in "<destination>.part" at its final offsets
//   (kept when the rebuild fails, so that a later attempt finds its chunks);
//   each carrier has a working file of its own, deleted at the end.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fetch/fetch.h"

struct RemovedChunks;

// What a rebuild takes from the pass that runs it. The pass fills it once
// for its download phase; the rebuilds of its chunked files share it.
struct RebuildPass {
    void *window;
    const wchar_t *folder;
    const Manifest *manifest;
    const LocalState *state;     // the records whose kept chunk lists stand in for cutting
    volatile long *cancel;       // the pass's cancel flag
    MirrorList *mirrors;
    int mirror_count;
    int *start_index;            // in and out: the mirror to start at, the one that served last
    uint64_t *wire_bytes;        // in and out: the pass's bytes on the wire, less what chunks save
    int connections;             // chunks on the wire at once
    DownloadShare *share;        // the pass's bars and bytes
    RemovedChunks *removed_chunks;  // the removed files' chunks, cut once; chunked_forget frees
};

enum RebuildResult {
    REBUILD_CANCELLED = -1,
    REBUILD_FAILED = 0,
    REBUILD_IN_PLACE = 1,
    // Not made this way: the next way instead (chunks after a delta, the
    // whole object after chunks), logged. No delta from the player's copy,
    // no index, the next way cheaper, nothing shared, a delta or a chunk
    // that failed on every mirror, or a delta that made another file.
    REBUILD_WHOLE = 2,
};

// A wanted file with deltas made from the player's old copy and the
// cheapest delta from it, when one costs less than the whole object: the
// old copy's digest from its state record while its size and time are
// those recorded, else hashed; the delta fetched as an object
// ("<full>.delta"), applied into "<full>.part" and moved into place only
// with the entry's digest. Also moves into place a part file that an
// earlier pass made whole.
RebuildResult delta_update(RebuildPass *pass, const ManifestEntry *entry, const wchar_t *full);
// Deletes the delta object of `full` and what a transfer of it left: of no
// use once the file is in place. The pass sweeps them again at its end, in
// case a deletion failed.
void delta_clear(const wchar_t *full);
// A wanted file with a chunk index rebuilt from the chunks found locally
// plus the missing ones fetched, several on the wire at once.
RebuildResult chunked_update(RebuildPass *pass, const ManifestEntry *entry, const wchar_t *full);
// Frees what chunked_update keeps for the pass: the chunks of the files the
// release removes, cut once for every chunked file.
void chunked_forget(RebuildPass *pass);

// Deletes the kept chunk lists of files the state no longer records.
void chunk_lists_prune(const wchar_t *folder, const LocalState *state);

// ---------------------------------------------------------------------------
// Delta objects: a new file made from the player's old copy and the
// publisher's instructions between the two (delta.cpp, no platform calls).
//
// Format, integers little-endian:
//   offset  bytes  field
//   0       4      "KVDL"
//   4       1      version, DELTA_VERSION
//   5       3      zero
//   8       8      the old file's size
//   16      8      the new file's size
//   24      32     the old file's SHA-256
//   56      32     the new file's SHA-256
//   88      8      the bytes of the gzip member that follows, to the end
//   96             one gzip member whose content is records, one after the
//                  other, until the new file is whole:
//                    add    LEB128: bytes made from the old copy at the old
//                           position, each plus its byte in this record
//                    copy   LEB128: new bytes that follow in this record
//                    seek   LEB128 of the zigzag move (2n forward, 2n+1
//                           back n) of the old position after the added run
//                    then `add` bytes to add, then `copy` new bytes.
//                  The old position starts at 0; nothing follows the record
//                  that completes the new file.

enum {
    DELTA_VERSION = 1,
    DELTA_HEADER_BYTES = 96,
};

enum DeltaResult {
    DELTA_OK,
    DELTA_MALFORMED,            // the header, the gzip member or a record is not of the format
    DELTA_UNKNOWN_VERSION,
    DELTA_NOT_FOR_THESE_FILES,  // its sizes or digests are not the ones expected
    DELTA_OUTSIDE_OLD,          // a run or a move leaves the old copy
    DELTA_PAST_NEW_SIZE,        // a run makes more than the new file holds
    DELTA_ENDS_EARLY,           // the records end before the new file is whole
    DELTA_READ_FAILED,          // the delta could not be read
    DELTA_OLD_READ_FAILED,      // the old copy could not be read
    DELTA_WRITE_FAILED,         // the sink refused the new bytes
    DELTA_OUT_OF_MEMORY,
};

struct DeltaHeader {
    uint64_t old_size, new_size;
    uint8_t old_digest[SHA256_BYTES], new_digest[SHA256_BYTES];
    uint64_t stream_bytes;
};

// The delta's bytes in order, as GzipReadFn: up to `capacity` bytes into
// `buffer`, their number; 0 at the end, negative on failure.
typedef int (*DeltaReadFn)(void *context, uint8_t *buffer, int capacity);
// `length` bytes of the old copy from `offset` (inside the old copy, checked
// by the caller of this function): 1, or 0 when they cannot be read.
typedef int (*DeltaOldReadFn)(void *context, uint64_t offset, uint8_t *buffer, size_t length);

// Reads the header of `len` bytes (DELTA_HEADER_BYTES of them at least).
DeltaResult delta_parse_header(const uint8_t *bytes, size_t len, DeltaHeader *header);
// Applies the delta of `delta_size` bytes that `read` delivers, made for the
// files `expected` names (its stream_bytes unused), reading the old copy
// through `read_old` and handing the new file to `write` in order (pieces of
// at most 65536 bytes). With fixed memory; the delta is untrusted. On any
// result but DELTA_OK, what was written is no new file: the caller discards
// it. The digest of what was written is the caller's to check.
DeltaResult delta_apply(DeltaReadFn read, void *read_context, uint64_t delta_size,
                        const DeltaHeader *expected, DeltaOldReadFn read_old, void *old_context,
                        GzipWriteFn write, void *write_context);
// A constant English phrase for a result ("malformed", ...).
const char *delta_result_text(DeltaResult result);
