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
    // Fetch the whole object instead (no index, cheaper whole, nothing
    // shared, or a chunk that failed on every mirror), logged.
    REBUILD_WHOLE = 2,
};

// A wanted file with a chunk index rebuilt from the chunks found locally
// plus the missing ones fetched, several on the wire at once.
RebuildResult chunked_update(RebuildPass *pass, const ManifestEntry *entry, const wchar_t *full);
// Frees what chunked_update keeps for the pass: the chunks of the files the
// release removes, cut once for every chunked file.
void chunked_forget(RebuildPass *pass);

// Deletes the kept chunk lists of files the state no longer records.
void chunk_lists_prune(const wchar_t *folder, const LocalState *state);
