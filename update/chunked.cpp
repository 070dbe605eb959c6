// A large file rebuilt from chunks: the pieces the player already has
// (in the old copy, in a part file left by an earlier attempt, in the files
// the release removes) copied, and only the missing ones fetched.
//
// The new file grows in "<dest>.part" at its final offsets. A part file left
// by an earlier build (or a plain download) keeps every chunk that already
// stands at its place, so a pass killed at any moment loses nothing of what
// it fetched; chunks of that file standing elsewhere are not moved, since
// moving them could overwrite others still needed. The missing chunks
// travel in the file's order on carrier threads, several on the wire at
// once, each as an object of its own through the object download
// ("<dest>.chunkN", its digest checked there) written straight to its place,
// while this thread completes the file in order behind them: the local
// chunks copied (a local chunk's digest is the one its cutting computed),
// waiting where a missing chunk has not arrived yet. The whole file's
// digest, fed from the very bytes written or found in place, is checked
// before it moves into place: the new file is hashed once.
#include "update/flight.h"

#include "content/content.h"
#include "net/net.h"

#include <stdlib.h>
#include <string.h>

namespace {

const size_t INDEX_URL_CHARS = 400;
// A chunk index that did not arrive is asked for again this often per
// mirror: it is small, and without it the whole object travels.
const int INDEX_ATTEMPTS = 2;
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

}  // namespace

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
};

namespace {

// The state of one file's rebuild.
struct Rebuild {
    ChunkIndex index;
    uint32_t *order;
    uint64_t *offset;   // each chunk's offset in the new file
    uint8_t *from;      // a From for each chunk
    uint64_t *at;       // and its offset there
    uint8_t source;     // the file being cut
    RemovedChunks *removed;  // the removed files' chunks being listed, or null
    uint64_t cut_bytes, cut_total;
    uint32_t last_post;
    Pass *pass;
    const wchar_t *full;
    HANDLE part;
    DownloadShare *share;
    // The chunks to fetch (one of each digest that no source holds, in the
    // file's order), the next one a carrier takes, and the first failure
    // (0: none; else 0 or -1 as a fetch ends, stored plus 2). `from` of a
    // missing chunk and its twins changes as it arrives, under `lock`,
    // which `arrived` signals; `carrying` counts the carrier threads still
    // at work, `stop` ends them after their present chunk.
    uint32_t *missing;
    uint32_t missing_count;
    volatile long next;
    volatile long failed;
    volatile long stop;
    long carrying;
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE arrived;
    volatile long last_text;        // tick of the last detail line
    uint32_t fetch_start;           // tick and share bytes as the fetching began
    uint64_t fetch_start_done;
    uint64_t to_fetch;
    Carrier *carrier;
    int carriers;
    // The local sources' handles, opened at their first chunk and kept to
    // the end of the rebuild (null: not opened yet).
    HANDLE source_file[256];
};

void *alloc_array(size_t count, size_t size)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count ? count * size : 1);
}

// Closes the local sources' handles (the part file's is not theirs).
void close_sources(Rebuild *r)
{
    for (int n = FROM_OLD; n < 256; n++) {
        if (r->source_file[n] && r->source_file[n] != INVALID_HANDLE_VALUE)
            CloseHandle(r->source_file[n]);
        r->source_file[n] = nullptr;
    }
}

void removed_chunks_free(RemovedChunks *list)
{
    if (!list)
        return;
    if (list->chunk)
        HeapFree(GetProcessHeap(), 0, list->chunk);
    HeapFree(GetProcessHeap(), 0, list);
}

void release(Rebuild *r, char *index_bytes)
{
    HANDLE heap = GetProcessHeap();
    removed_chunks_free(r->removed);
    void *blocks[] = {index_bytes, r->order, r->offset, r->from, r->at, r->missing};
    for (void *block : blocks)
        if (block)
            HeapFree(heap, 0, block);
    close_sources(r);
}

// The entry's chunk index from the mirrors, its digest checked: the body (the
// caller frees it) or null.
char *fetch_index(Pass *pass, const ManifestEntry *entry, uint32_t *length)
{
    char hex[SHA256_HEX_CHARS];
    hex_encode(entry->chunks_digest, SHA256_BYTES, hex);
    for (int step = 0; step < pass->mirror_count && !pass->params->cancel; step++) {
        const wchar_t *mirror = pass->mirrors.url[(pass->start_index + step) % pass->mirror_count];
        wchar_t url[INDEX_URL_CHARS];
        if (format_wide(url, INDEX_URL_CHARS, L"%sobjects/%S", mirror, hex) < 0)
            continue;
        for (int attempt = 0; attempt < INDEX_ATTEMPTS && !pass->params->cancel; attempt++) {
            char *body = nullptr;
            int status = http_get_to_memory(url, &body, length, CHUNK_INDEX_MAX_BYTES);
            if (status != 200 || !body) {
                log_wprintf(L"chunk index %S: %s -> %d", hex, mirror, status);
                if (body)
                    HeapFree(GetProcessHeap(), 0, body);
                // A mirror that answers has answered; one that did not
                // (no connection, a server error) may on the next attempt.
                if (status > 0 && status < 500)
                    break;
                continue;
            }
            uint8_t digest[SHA256_BYTES];
            if (sha256_buffer(body, *length, digest) &&
                memcmp(digest, entry->chunks_digest, SHA256_BYTES) == 0)
                return body;
            log_wprintf(L"chunk index %S: hash mismatch from %s", hex, mirror);
            HeapFree(GetProcessHeap(), 0, body);
            break;
        }
    }
    return nullptr;
}

// A chunk of a local file: every place of the new file that holds the same
// bytes takes it as its source, unless one is already found.
void match_chunk(Rebuild *r, uint8_t source, uint64_t offset, const uint8_t *digest)
{
    int64_t p = chunk_lookup_find(&r->index, r->order, digest);
    for (; p >= 0 && p < r->index.count; p++) {
        uint32_t i = r->order[p];
        if (memcmp(chunk_index_digest(&r->index, i), digest, SHA256_BYTES) != 0)
            break;
        if (source == FROM_IN_PLACE) {
            if (r->offset[i] == offset)
                r->from[i] = FROM_IN_PLACE;
        } else if (r->from[i] == FROM_NONE) {
            r->from[i] = source;
            r->at[i] = offset;
        }
    }
}

// Notes a removed file's chunk in the list kept for the phase.
void keep_removed(RemovedChunks *list, uint8_t source, uint64_t offset, uint32_t length,
                  const uint8_t *digest)
{
    if (list->failed)
        return;
    if (list->count == list->capacity) {
        uint32_t capacity = list->capacity ? list->capacity * 2 : 1024;
        HANDLE heap = GetProcessHeap();
        void *grown = list->chunk
            ? HeapReAlloc(heap, 0, list->chunk, (SIZE_T)capacity * sizeof *list->chunk)
            : HeapAlloc(heap, 0, (SIZE_T)capacity * sizeof *list->chunk);
        if (!grown) {
            list->failed = true;
            return;
        }
        list->chunk = (RemovedChunk *)grown;
        list->capacity = capacity;
    }
    RemovedChunk *c = &list->chunk[list->count++];
    c->offset = offset;
    c->length = length;
    c->source = source;
    memcpy(c->digest, digest, SHA256_BYTES);
}

// chunk_file's report of a chunk of the file being cut: matched, noted
// when the file is a removed one, and the file bar moved.
int on_local_chunk(void *context, uint64_t offset, uint32_t length,
                   const uint8_t digest[SHA256_BYTES])
{
    Rebuild *r = (Rebuild *)context;
    match_chunk(r, r->source, offset, digest);
    if (r->removed)
        keep_removed(r->removed, r->source, offset, length, digest);
    r->cut_bytes += length;
    uint32_t now = GetTickCount();
    if (now - r->last_post >= 100 && r->cut_total) {
        r->last_post = now;
        uint64_t permille = r->cut_bytes * 1000 / r->cut_total;
        post_bar(r->share, r->pass->window, BAR_FILE,
                 (uint32_t)(permille > 1000 ? 1000 : permille));
    }
    return !r->pass->params->cancel;
}

// The local file `n` among the sources: the part file, the old copy, the
// unpacked file, then the remove list's files. False past the last.
bool source_path(Pass *pass, int n, const wchar_t *full, wchar_t *path)
{
    if (n == FROM_IN_PLACE || n == FROM_PART)
        return format_wide(path, CLIENT_PATH_CHARS, L"%s.part", full) >= 0;
    if (n == FROM_OLD)
        return lstrcpynW(path, full, CLIENT_PATH_CHARS) != nullptr;
    if (n == FROM_TMP)
        return format_wide(path, CLIENT_PATH_CHARS, L"%s.tmp", full) >= 0;
    int k = n - FROM_REMOVED;
    if (n < FROM_REMOVED || k >= pass->manifest.remove_count || k >= REMOVED_SOURCES_MAX)
        return false;
    wchar_t rel[CLIENT_REL_CHARS];
    rel_path_to_wide(pass->manifest.remove[k], rel, CLIENT_REL_CHARS);
    path_join(path, CLIENT_PATH_CHARS, pass->folder, rel);
    return true;
}

// Positioned reads and writes: the carriers write to the one part file at
// once.
bool read_at(HANDLE file, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD got = 0;
    return ReadFile(file, buffer, length, &got, &at) && got == length;
}

bool write_at(HANDLE file, uint64_t offset, const uint8_t *bytes, uint32_t length)
{
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD put = 0;
    return WriteFile(file, bytes, length, &put, &at) && put == length;
}

// The chunks from i on that one read can bring in: those after it with the
// same source, standing right behind it there, up to RUN_BYTES. Their
// count and bytes.
uint32_t run_of(const Rebuild *r, uint32_t i, uint32_t *bytes)
{
    uint32_t end = i + 1;
    *bytes = chunk_index_length(&r->index, i);
    while (end < r->index.count && r->from[end] == r->from[i]) {
        uint32_t length = chunk_index_length(&r->index, end);
        bool behind = r->from[i] == FROM_IN_PLACE ||
                      r->at[end] == r->at[end - 1] + chunk_index_length(&r->index, end - 1);
        if (!behind || *bytes + length > RUN_BYTES)
            break;
        *bytes += length;
        end++;
    }
    return end - i;
}

// Brings the run of `bytes` from chunk i from its source into `buffer` and,
// unless it stands in place, into the part file. The chunks' digests were
// checked as their source was cut; a source changed since then fails the
// whole file's digest, which these same bytes feed. False when the source
// cannot be read.
bool copy_run(Rebuild *r, uint32_t i, uint32_t bytes, uint8_t *buffer)
{
    if (r->from[i] == FROM_IN_PLACE)
        return read_at(r->part, r->offset[i], buffer, bytes);
    HANDLE *file = &r->source_file[r->from[i]];
    if (r->from[i] == FROM_PART) {
        *file = r->part;
    } else if (!*file) {
        wchar_t path[CLIENT_PATH_CHARS];
        *file = source_path(r->pass, r->from[i], r->full, path)
            ? CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr)
            : INVALID_HANDLE_VALUE;
    }
    return *file != INVALID_HANDLE_VALUE && read_at(*file, r->at[i], buffer, bytes) &&
           write_at(r->part, r->offset[i], buffer, bytes);
}

// The detail line while chunks arrive, from whichever carrier comes first
// after its interval, its speed measured over the chunks so far (no single
// chunk lasts long enough to measure one). The file bar follows the
// assembly.
void post_fetch_detail(Rebuild *r)
{
    uint32_t now = GetTickCount();
    long last = r->last_text;
    uint32_t elapsed = now - r->fetch_start;
    if (now - (uint32_t)last < 500 || elapsed == 0 ||
        InterlockedCompareExchange(&r->last_text, (long)now, last) != last)
        return;
    uint64_t done = download_share_done(r->share);
    uint64_t total = r->pass->wire_bytes;
    uint64_t moved = done > r->fetch_start_done ? done - r->fetch_start_done : 0;
    double speed = (double)moved * 1000.0 / elapsed;
    wchar_t text[DETAIL_TEXT_CHARS];
    format_progress_text(done < total ? done : total, total, speed, text, DETAIL_TEXT_CHARS);
    post_progress_text(r->pass->window, text);
}

// Fetches chunk i through carrier c as an object of its own and writes it
// at its place in the part file: 1, 0 (failed on every mirror) or -1
// (cancelled). The total bar counts its bytes as they arrive.
int fetch_chunk(Carrier *c, uint32_t i)
{
    Rebuild *r = c->r;
    Pass *pass = r->pass;
    ManifestEntry chunk;
    memset(&chunk, 0, sizeof chunk);
    lstrcpynA(chunk.path, "chunk", sizeof chunk.path);
    memcpy(chunk.digest, chunk_index_digest(&r->index, i), SHA256_BYTES);
    chunk.size = chunk_index_length(&r->index, i);
    chunk.packed_size = chunk_index_packed(&r->index, i);
    // A chunk is small: a part file of one (left by a failed attempt or by
    // another chunk) is not worth resuming.
    wchar_t chunk_part[CLIENT_PATH_CHARS];
    if (format_wide(chunk_part, CLIENT_PATH_CHARS, L"%s.part", c->path) < 0)
        return 0;
    DeleteFileW(chunk_part);
    ObjectFetch *f = &c->fetch;
    int start = c->mirror >= 0 ? c->mirror : pass->start_index;
    int result = fetch_begin(f, pass->window, &chunk, c->path, start, &pass->params->cancel,
                             download_share_done(r->share), pass->wire_bytes,
                             chunk.packed_size ? c->body : nullptr);
    if (result == 1) {
        f->session = c->session;
        // Never the speaker: the file bar follows the whole file.
        f->progress.share = r->share;
        f->progress.ticket = -1;
        result = fetch_finish(f, &pass->mirrors, pass->mirror_count, FETCH_GO_ON);
    }
    if (result != 1) {
        DeleteFileW(chunk_part);
        return result;
    }
    c->mirror = f->mirror;
    uint64_t wire = entry_wire_size(&chunk);
    download_share_add(r->share, (int64_t)(wire - f->progress.shared_present));
    HANDLE file = CreateFileW(c->path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    bool ok = file != INVALID_HANDLE_VALUE &&
              read_at(file, 0, c->buffer, (uint32_t)chunk.size) &&
              write_at(r->part, r->offset[i], c->buffer, (uint32_t)chunk.size);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    DeleteFileW(c->path);
    if (!ok)
        return 0;
    post_fetch_detail(r);
    return 1;
}

// The first and one past the last place in the lookup order of the chunks
// with the digest of the chunk at place p.
uint32_t twins_end(const Rebuild *r, uint32_t p)
{
    const uint8_t *digest = chunk_index_digest(&r->index, r->order[p]);
    uint32_t end = p + 1;
    while (end < r->index.count &&
           memcmp(chunk_index_digest(&r->index, r->order[end]), digest, SHA256_BYTES) == 0)
        end++;
    return end;
}

int compare_places(const void *a, const void *b)
{
    uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
    return x < y ? -1 : x > y;
}

// Gives every chunk without a source its twin's (a twin in place is read
// from the part file), lists one chunk of each digest no source holds as
// missing, and returns the bytes they cost on the wire. `local`: the chunks
// with a source of their own.
uint64_t plan(Rebuild *r, uint32_t *local)
{
    uint64_t total = 0;
    *local = 0;
    r->missing_count = 0;
    for (uint32_t p = 0; p < r->index.count;) {
        uint32_t end = twins_end(r, p);
        uint32_t source = UINT32_MAX;
        for (uint32_t q = p; q < end; q++)
            if (r->from[r->order[q]] != FROM_NONE) {
                source = r->order[q];
                ++*local;
            }
        for (uint32_t q = p; q < end && source != UINT32_MAX; q++) {
            uint32_t i = r->order[q];
            if (r->from[i] != FROM_NONE)
                continue;
            bool in_place = r->from[source] == FROM_IN_PLACE;
            r->from[i] = in_place ? (uint8_t)FROM_PART : r->from[source];
            r->at[i] = in_place ? r->offset[source] : r->at[source];
        }
        if (source == UINT32_MAX) {
            // The first in the file: the assembly meets its twins after it.
            uint32_t i = r->order[p];
            for (uint32_t q = p + 1; q < end; q++)
                i = r->order[q] < i ? r->order[q] : i;
            r->missing[r->missing_count++] = i;
            uint32_t packed = chunk_index_packed(&r->index, i);
            total += packed ? packed : chunk_index_length(&r->index, i);
        }
        p = end;
    }
    qsort(r->missing, r->missing_count, sizeof *r->missing, compare_places);
    return total;
}

// A fetched chunk stands at its place: its twins are copied from there.
void fetched_in_place(Rebuild *r, uint32_t i)
{
    int64_t p = chunk_lookup_find(&r->index, r->order, chunk_index_digest(&r->index, i));
    uint32_t end = p < 0 ? 0 : twins_end(r, (uint32_t)p);
    for (uint32_t q = p < 0 ? 0 : (uint32_t)p; q < end; q++) {
        uint32_t j = r->order[q];
        r->from[j] = j == i ? FROM_IN_PLACE : FROM_PART;
        r->at[j] = r->offset[i];
    }
}

// A carrier's loop: the next missing chunk until none is left, one has
// failed (which ends every carrier after its present chunk) or the
// assembly has ended.
void carry_chunks(Carrier *c)
{
    Rebuild *r = c->r;
    while (!r->failed && !r->stop) {
        long n = InterlockedIncrement(&r->next) - 1;
        if ((uint32_t)n >= r->missing_count)
            break;
        uint32_t i = r->missing[n];
        int result = fetch_chunk(c, i);
        EnterCriticalSection(&r->lock);
        if (result == 1)
            fetched_in_place(r, i);
        else
            InterlockedCompareExchange(&r->failed, result + 2, 0);
        LeaveCriticalSection(&r->lock);
        WakeAllConditionVariable(&r->arrived);
    }
}

DWORD WINAPI carry(void *context)
{
    Carrier *c = (Carrier *)context;
    Rebuild *r = c->r;
    carry_chunks(c);
    EnterCriticalSection(&r->lock);
    r->carrying--;
    LeaveCriticalSection(&r->lock);
    WakeAllConditionVariable(&r->arrived);
    return 0;
}

bool carrier_open(Carrier *c, Rebuild *r, int n)
{
    memset(c, 0, sizeof *c);
    c->r = r;
    c->mirror = -1;
    c->body = (char *)HeapAlloc(GetProcessHeap(), 0, CHUNK_MAX_BYTES);
    c->buffer = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, CHUNK_MAX_BYTES);
    c->session = http_open_session();
    return c->body && c->buffer &&
           format_wide(c->path, CLIENT_PATH_CHARS, L"%s.chunk%d", r->full, n) >= 0;
}

void carrier_close(Carrier *c)
{
    if (c->body)
        HeapFree(GetProcessHeap(), 0, c->body);
    if (c->buffer)
        HeapFree(GetProcessHeap(), 0, c->buffer);
    http_close_session(c->session);
}

// The carriers' working files (an object, its part file, its unpacked
// content): none stays behind the file's rebuild, whichever way it went (a
// killed pass may have had more carriers).
void clear_chunk_files(const wchar_t *full)
{
    static const wchar_t *const NAMES[] = {L"%s.chunk%d", L"%s.chunk%d.part", L"%s.chunk%d.tmp"};
    for (int n = 0; n <= DOWNLOAD_CONNECTIONS_MAX; n++)
        for (const wchar_t *name : NAMES) {
            wchar_t path[CLIENT_PATH_CHARS];
            if (format_wide(path, CLIENT_PATH_CHARS, name, full, n) >= 0)
                DeleteFileW(path);
        }
}

// Sets the missing chunks on their way: up to `connections` carrier
// threads, plus the assembly's own carrier (the first) for a chunk whose
// local source fails. Without a thread the first carrier brings them all
// now. False when out of memory.
bool start_carriers(Rebuild *r, int connections)
{
    int threads = (int)(r->missing_count < (uint32_t)connections ? r->missing_count
                                                                  : (uint32_t)connections);
    r->carrier = (Carrier *)alloc_array((size_t)threads + 1, sizeof *r->carrier);
    if (!r->carrier)
        return false;
    for (int n = 0; n <= threads; n++) {
        r->carriers = n + 1;
        if (!carrier_open(&r->carrier[n], r, n))
            return false;
    }
    for (int n = 1; n <= threads; n++) {
        r->carrier[n].thread = CreateThread(nullptr, 0, carry, &r->carrier[n], 0, nullptr);
        if (r->carrier[n].thread)
            r->carrying++;
    }
    if (r->carrying == 0)
        carry_chunks(&r->carrier[0]);
    return true;
}

// Ends the carriers (after their present chunk) and frees them.
void join_carriers(Rebuild *r)
{
    InterlockedExchange(&r->stop, 1);
    for (int n = 0; n < r->carriers; n++) {
        if (r->carrier[n].thread) {
            WaitForSingleObject(r->carrier[n].thread, INFINITE);
            CloseHandle(r->carrier[n].thread);
        }
        if (r->carrier[n].mirror >= 0)
            r->pass->start_index = r->carrier[n].mirror;
        carrier_close(&r->carrier[n]);
    }
    if (r->carrier)
        HeapFree(GetProcessHeap(), 0, r->carrier);
    r->carrier = nullptr;
}

// Waits until chunk i has a source (a missing one has arrived), and finds
// the run from it as run_of: its count, or 0 when the chunk will not come
// (*result then says why: 0 or -1).
uint32_t wait_for_run(Rebuild *r, uint32_t i, uint32_t *bytes, int *result)
{
    EnterCriticalSection(&r->lock);
    while (r->from[i] == FROM_NONE && !r->failed && r->carrying > 0)
        SleepConditionVariableCS(&r->arrived, &r->lock, INFINITE);
    uint32_t count = r->from[i] == FROM_NONE ? 0 : run_of(r, i, bytes);
    if (!count)
        *result = r->failed ? (int)r->failed - 2 : 0;
    LeaveCriticalSection(&r->lock);
    return count;
}

// Completes the part file in order: every chunk not in place copied from
// its source (a run of them at a time), and the new file hashed on the way
// (`digest`) from the bytes written or found in place: 1, 0 (reading,
// writing or hashing failed, or a chunk whose source failed could not be
// fetched) or -1 (cancelled).
int assemble(Rebuild *r, uint8_t digest[SHA256_BYTES])
{
    RunningDigest file_digest;
    memset(&file_digest, 0, sizeof file_digest);
    uint8_t *buffer = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, RUN_BYTES);
    if (!buffer || running_digest_begin(&file_digest) != DIGEST_BEGIN_OK) {
        if (buffer)
            HeapFree(GetProcessHeap(), 0, buffer);
        running_digest_release(&file_digest);
        return 0;
    }
    int result = 1;
    uint32_t last_post = GetTickCount();
    for (uint32_t i = 0, count = 0; result == 1 && i < r->index.count; i += count) {
        if (r->pass->params->cancel) {
            result = -1;
            break;
        }
        uint32_t bytes = 0;
        count = wait_for_run(r, i, &bytes, &result);
        if (!count)
            break;
        if (!copy_run(r, i, bytes, buffer)) {
            // A source that cannot be read (gone, or locked since it was
            // cut): this chunk from the mirrors after all.
            count = 1;
            bytes = chunk_index_length(&r->index, i);
            result = fetch_chunk(&r->carrier[0], i);
            if (result == 1 && !read_at(r->part, r->offset[i], buffer, bytes))
                result = 0;
        }
        if (result == 1 && !running_digest_add(&file_digest, buffer, bytes))
            result = 0;
        uint32_t now = GetTickCount();
        if (now - last_post >= 100) {
            last_post = now;
            uint64_t size = r->index.file_size ? r->index.file_size : 1;
            post_bar(r->share, r->pass->window, BAR_FILE,
                     (uint32_t)((r->offset[i] + bytes) * 1000 / size));
        }
    }
    if (result == 1 && !running_digest_finish(&file_digest, digest))
        result = 0;
    running_digest_release(&file_digest);
    HeapFree(GetProcessHeap(), 0, buffer);
    return result;
}

// Cuts the local files into the rebuild's sources, the removed files only
// when the phase has not kept their chunks yet. False when cancelled.
bool cut_sources(Phase *ph, Rebuild *r, const wchar_t *full)
{
    Pass *pass = ph->pass;
    RemovedChunks *kept = ph->removed_chunks;
    wchar_t path[CLIENT_PATH_CHARS];
    uint64_t size = 0;
    for (int n = FROM_IN_PLACE; source_path(pass, n, full, path); n++)
        if (n != FROM_PART && (n < FROM_REMOVED || !kept) && file_info(path, &size, nullptr))
            r->cut_total += size;
    r->last_post = GetTickCount();
    if (!kept && pass->manifest.remove_count > 0)
        r->removed = (RemovedChunks *)alloc_array(1, sizeof *r->removed);
    for (int n = FROM_IN_PLACE; source_path(pass, n, full, path); n++) {
        if (n == FROM_PART || (n >= FROM_REMOVED && kept) || !file_info(path, nullptr, nullptr))
            continue;
        r->source = (uint8_t)n;
        if (chunk_file(path, on_local_chunk, r, nullptr) == CHUNK_FILE_STOPPED)
            return false;
    }
    for (uint32_t k = 0; kept && k < kept->count; k++)
        match_chunk(r, kept->chunk[k].source, kept->chunk[k].offset, kept->chunk[k].digest);
    if (r->removed && !r->removed->failed) {
        ph->removed_chunks = r->removed;
        r->removed = nullptr;
    }
    return true;
}

// Builds the part file and moves it into place: 1, 0 or -1 as the fetch
// and the assembly end, or CHUNKED_WHOLE when the built file is not the
// entry's.
int build(Rebuild *r, const ManifestEntry *entry, int connections)
{
    wchar_t part[CLIENT_PATH_CHARS];
    if (format_wide(part, CLIENT_PATH_CHARS, L"%s.part", r->full) < 0)
        return 0;
    r->part = make_parent_dirs(r->full)
        ? CreateFileW(part, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                      0, nullptr)
        : INVALID_HANDLE_VALUE;
    if (r->part == INVALID_HANDLE_VALUE) {
        log_wprintf(L"cannot open %s (%lu)", part, GetLastError());
        return 0;
    }
    r->fetch_start = GetTickCount();
    r->last_text = (long)r->fetch_start;
    r->fetch_start_done = download_share_done(r->share);
    InitializeCriticalSection(&r->lock);
    InitializeConditionVariable(&r->arrived);
    uint8_t digest[SHA256_BYTES];
    int result = start_carriers(r, connections) ? assemble(r, digest) : 0;
    join_carriers(r);
    DeleteCriticalSection(&r->lock);
    close_sources(r);
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)r->index.file_size;
    if (result == 1 &&
        (!SetFilePointerEx(r->part, end, nullptr, FILE_BEGIN) || !SetEndOfFile(r->part)))
        result = 0;
    CloseHandle(r->part);
    clear_chunk_files(r->full);
    if (result != 1)
        return result;
    if (memcmp(digest, entry->digest, SHA256_BYTES) != 0) {
        log_printf("file %s: the rebuilt file is not the release's, fetching the whole object",
                   entry->path);
        DeleteFileW(part);
        return CHUNKED_WHOLE;
    }
    if (!MoveFileExW(part, r->full, MOVEFILE_REPLACE_EXISTING)) {
        log_wprintf(L"rename failed %s (%lu)", r->full, GetLastError());
        return 0;
    }
    // What a cut-short whole download unpacked has served as a source.
    wchar_t tmp[CLIENT_PATH_CHARS];
    if (format_wide(tmp, CLIENT_PATH_CHARS, L"%s.tmp", r->full) >= 0)
        DeleteFileW(tmp);
    return 1;
}

// Deletes the part file of a rebuild before the whole object comes: that
// download would take the rebuilt bytes for the front of its object and
// fetch the rest in vain.
void drop_part(const wchar_t *full)
{
    wchar_t part[CLIENT_PATH_CHARS];
    if (format_wide(part, CLIENT_PATH_CHARS, L"%s.part", full) >= 0)
        DeleteFileW(part);
}

}  // namespace

void chunked_forget(Phase *ph)
{
    removed_chunks_free(ph->removed_chunks);
    ph->removed_chunks = nullptr;
}

int chunked_update(Phase *ph, const ManifestEntry *entry, const wchar_t *full)
{
    Pass *pass = ph->pass;
    if (!entry->has_chunks)
        return CHUNKED_WHOLE;
    // What a killed rebuild's carriers left, whichever way this one goes.
    clear_chunk_files(full);
    uint32_t length = 0;
    char *bytes = fetch_index(pass, entry, &length);
    if (!bytes) {
        if (pass->params->cancel)
            return -1;
        log_printf("file %s: chunk index not available, whole object", entry->path);
        return CHUNKED_WHOLE;
    }
    Rebuild r;
    memset(&r, 0, sizeof r);
    r.pass = pass;
    r.full = full;
    r.share = &ph->share;
    int parsed = chunk_index_parse(bytes, length, entry->size, &r.index);
    if (parsed != CHUNK_INDEX_OK) {
        log_printf("file %s: chunk index %s, whole object", entry->path,
                   chunk_index_result_text(parsed));
        release(&r, bytes);
        return CHUNKED_WHOLE;
    }
    uint32_t n = r.index.count;
    r.order = (uint32_t *)alloc_array(n, sizeof *r.order);
    r.offset = (uint64_t *)alloc_array(n, sizeof *r.offset);
    r.from = (uint8_t *)alloc_array(n, sizeof *r.from);
    r.at = (uint64_t *)alloc_array(n, sizeof *r.at);
    r.missing = (uint32_t *)alloc_array(n, sizeof *r.missing);
    if (!r.order || !r.offset || !r.from || !r.at || !r.missing) {
        release(&r, bytes);
        return CHUNKED_WHOLE;
    }
    chunk_lookup_build(&r.index, r.order);
    for (uint32_t i = 1; i < n; i++)
        r.offset[i] = r.offset[i - 1] + chunk_index_length(&r.index, i - 1);
    if (!cut_sources(ph, &r, full)) {
        release(&r, bytes);
        return -1;
    }
    uint32_t local = 0;
    r.to_fetch = plan(&r, &local);
    uint64_t whole = entry_wire_size(entry);
    int result;
    if (local == 0 && n > 0) {
        log_printf("file %s: 0 of %lu chunks local, whole object", entry->path, (unsigned long)n);
        result = CHUNKED_WHOLE;
    } else if (r.to_fetch >= whole) {
        log_printf("file %s: %lu of %lu chunks local, %llu bytes to fetch, whole object cheaper",
                   entry->path, (unsigned long)local, (unsigned long)n,
                   (unsigned long long)r.to_fetch);
        // A part file with chunks in place is an earlier rebuild's.
        for (uint32_t i = 0; i < n; i++)
            if (r.from[i] == FROM_IN_PLACE) {
                drop_part(full);
                break;
            }
        result = CHUNKED_WHOLE;
    } else {
        log_printf("file %s: %lu of %lu chunks local, %llu bytes to fetch", entry->path,
                   (unsigned long)local, (unsigned long)n, (unsigned long long)r.to_fetch);
        // The total bar counts what really travels from here on.
        pass->wire_bytes -= whole - r.to_fetch;
        result = build(&r, entry, ph->connections);
        if (result != 1)
            pass->wire_bytes += whole - r.to_fetch;
        if (result == 0) {
            log_printf("file %s: chunked rebuild failed, whole object", entry->path);
            drop_part(full);
            result = CHUNKED_WHOLE;
        }
    }
    release(&r, bytes);
    return result;
}
