// A chunked file's rebuild, shared by its three parts: chunked.cpp (the
// index, the plan, the assembly in order and the move into place),
// chunk_sources.cpp (the local files cut into sources, and runs of chunks
// copied from them) and chunk_carriers.cpp (the missing chunks fetched on
// carrier threads). Internal to rebuild/.
#pragma once

#include "rebuild/rebuild.h"

#include "chunks/chunks.h"

#include <windows.h>

// Chunks standing one behind the other in their source travel to the part
// file in one read and one write of at most this many bytes.
const uint32_t RUN_BYTES = 1048576;
// Where an index chunk's bytes are found: nowhere yet, already in place in
// the part file, in the part file elsewhere (a twin already in place), in
// the old copy, in the unpacked front of a whole gzip object whose download
// was cut short, or in the n-th file of the remove list (FROM_REMOVED + n).
enum From { FROM_NONE = 0, FROM_IN_PLACE, FROM_PART, FROM_OLD, FROM_TMP, FROM_REMOVED };
const int REMOVED_SOURCES_MAX = 255 - FROM_REMOVED;

struct Rebuild;

// Whether the carriers of a rebuild are still at work or why they stopped:
// the first chunk that failed on every mirror, or a cancelled pass.
enum CarriersEnd { CARRIERS_AT_WORK, CARRIERS_FAILED, CARRIERS_CANCELLED };

// One way of chunk objects to the part file: a fetch over a session of its
// own, whose connections stay open from one chunk to the next, a body
// buffer for gzip chunks (at most CHUNK_MAX_BYTES: smaller than their
// content), a buffer for the plain bytes and a working file of its own.
struct Carrier {
    Rebuild *r;
    ObjectFetch fetch;
    void *session;
    char *body;
    uint8_t *buffer;
    wchar_t path[CLIENT_PATH_CHARS];
    int mirror;         // the mirror of its last chunk, or -1
    HANDLE thread;
};

// The chunks of the files the release removes, cut at the first chunked file
// that needs them and kept for the others: a removed archive is read once in
// a pass, not once for every chunked file. Complete, or not kept at all.
struct RemovedChunk {
    uint64_t offset;
    uint32_t length;
    uint8_t source;  // FROM_REMOVED + the file's place in the remove list
    uint8_t digest[SHA256_BYTES];
};

struct RemovedChunks {
    RemovedChunk *chunk;
    uint32_t count, capacity;
    bool failed;     // out of memory while cutting: the list is dropped
    bool from_lists; // some of its files' chunks come from their kept lists
};

// Every value a chunk's source byte takes names a slot of the sources'
// handles: the part file, the old copy, the unpacked front and the removed
// files up to REMOVED_SOURCES_MAX.
const int SOURCE_SLOTS = FROM_REMOVED + REMOVED_SOURCES_MAX + 1;
static_assert(SOURCE_SLOTS == UINT8_MAX + 1, "a uint8_t source names every slot");

// What the new file is made of and where each chunk comes from. Laid out by
// the rebuild's thread before any carrier runs; afterwards only `from` and
// `at` of a missing chunk and its twins change, as it arrives, under
// CarrierShare::lock.
struct RebuildPlan {
    ChunkIndex index;
    const ManifestEntry *entry;
    const wchar_t *full;  // the destination
    uint32_t *order;      // the chunks sorted by digest, for lookups
    uint64_t *offset;     // each chunk's offset in the new file
    uint8_t *from;        // a From for each chunk
    uint64_t *at;         // and its offset there
    // The chunks to fetch: one of each digest that no source holds, in the
    // file's order.
    uint32_t *missing;
    uint32_t missing_count;
    uint64_t to_fetch;    // their bytes on the wire
};

// The local files the chunks are found in, on the rebuild's thread only.
struct RebuildSources {
    uint8_t source;          // the file being cut
    // Local copies whose kept chunk lists stood in for cutting them, and
    // whether every source is to be cut (a rebuild from lists failed).
    int lists_used;
    bool cut_everything;
    RemovedChunks *removed;  // the removed files' chunks being listed, or null
    // Handles opened at a source's first chunk and kept to the end of the
    // rebuild (null: not opened yet).
    HANDLE file[SOURCE_SLOTS];
};

// What the carriers and the assembly share while chunks travel. Who writes
// each field, and how:
struct CarrierShare {
    CRITICAL_SECTION lock;
    // Signalled by a carrier after a chunk arrived or failed and as it ends;
    // the assembly waits on it for the chunk it needs next.
    CONDITION_VARIABLE arrived;
    volatile long next;          // carriers, interlocked: the next missing chunk to take
    volatile long stop;          // the assembly, interlocked, as it ends: no more chunks
    // A carrier, under `lock`: the first failure, which ends every carrier
    // after its present chunk (they glance at it unlocked between chunks).
    volatile CarriersEnd failed;
    long carrying;               // carriers, under `lock`: those still at work
    Carrier *carrier;            // the rebuild's thread, before and after the carriers run
    int carriers;
};

// The progress one file's rebuild reports, on whichever thread gets there.
struct RebuildProgress {
    DownloadShare *share;        // the pass's bars and bytes
    uint64_t cut_bytes, cut_total;
    Throttle cut_pace;           // the file bar while local files are cut
    Throttle text_pace;          // the detail line while chunks arrive (any carrier)
    uint32_t fetch_start;        // tick and share bytes as the fetching began
    uint64_t fetch_start_done;
};

// The state of one file's rebuild.
struct Rebuild {
    RebuildPass *pass;
    HANDLE part;                 // "<destination>.part", the file being built
    RebuildPlan plan;
    RebuildSources sources;
    CarrierShare shared;
    RebuildProgress progress;
};

// Sets a rebuild back to before its sources were found, for a second try
// that cuts every local file: the plan's sources forgotten, the kept lists
// and the removed files' chunks set aside.
void rebuild_reset_sources(Rebuild *r);

// chunked.cpp: a verified part file moved over the destination (false,
// logged, when it could not be).
bool part_into_place(const wchar_t *part, const wchar_t *full);

// chunk_sources.cpp: heap arrays zeroed (null when out of memory);
// positioned reads and writes (the carriers write to the one part file at
// once); where the twins of the chunk at lookup place p end; the run of
// chunks from i that one read brings in; that run copied; the local files
// cut into the rebuild's sources (false when cancelled); the removed files'
// list freed.
void *zeroed_array(size_t count, size_t size);
bool read_at(HANDLE file, uint64_t offset, uint8_t *buffer, uint32_t length);
bool write_at(HANDLE file, uint64_t offset, const uint8_t *bytes, uint32_t length);
uint32_t twins_end(const Rebuild *r, uint32_t p);
uint32_t run_of(const Rebuild *r, uint32_t i, uint32_t *bytes);
bool copy_run(Rebuild *r, uint32_t i, uint32_t bytes, uint8_t *buffer);
bool cut_sources(RebuildPass *pass, Rebuild *r, const wchar_t *full);
void removed_chunks_free(RemovedChunks *list);

// chunk_carriers.cpp: one chunk fetched and written at its place; the
// carriers started and joined; the assembly's wait for chunk i and its run
// (0 when it will not come, *result saying why); the carriers' working
// files deleted.
FetchResult fetch_chunk(Carrier *c, uint32_t i);
bool start_carriers(Rebuild *r, int connections);
void join_carriers(Rebuild *r);
uint32_t wait_for_run(Rebuild *r, uint32_t i, uint32_t *bytes, FetchResult *result);
void clear_chunk_files(const wchar_t *full);

// chunk_lists.cpp: the entry's chunk index kept as the list of the file
// installed from it; the kept list of the installed file with `file_digest`,
// its bytes checked (the caller frees them; null when none is kept).
void chunk_list_keep(const wchar_t *folder, const ManifestEntry *entry, const char *bytes,
                     uint32_t length);
char *chunk_list_find(const wchar_t *folder, const uint8_t *file_digest, uint32_t *length);
