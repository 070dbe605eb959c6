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
// before it moves into place: the new file is hashed once, on a second
// thread a block behind the copying (writing and hashing cost about the
// same per byte).
#include "rebuild/rebuild_internal.h"

#include "net/net.h"

#include <stdlib.h>
#include <string.h>

namespace {

const size_t INDEX_URL_CHARS = 400;
// A chunk index that did not arrive is asked for again this often per
// mirror: it is small, and without it the whole object travels.
const int INDEX_ATTEMPTS = 2;

// Closes the local sources' handles (the part file's is not theirs).
void close_sources(Rebuild *r)
{
    for (int n = FROM_OLD; n < SOURCE_SLOTS; n++) {
        if (r->sources.file[n] && r->sources.file[n] != INVALID_HANDLE_VALUE)
            CloseHandle(r->sources.file[n]);
        r->sources.file[n] = nullptr;
    }
}

void release(Rebuild *r, char *index_bytes)
{
    HANDLE heap = GetProcessHeap();
    removed_chunks_free(r->sources.removed);
    void *blocks[] = {index_bytes,  r->plan.order, r->plan.offset,
                      r->plan.from, r->plan.at,    r->plan.missing};
    for (void *block : blocks)
        if (block)
            HeapFree(heap, 0, block);
    close_sources(r);
}

// The entry's chunk index from the mirrors, its digest checked: the body (the
// caller frees it) or null.
char *fetch_index(RebuildPass *pass, const ManifestEntry *entry, uint32_t *length)
{
    char hex[SHA256_HEX_CHARS];
    hex_encode(entry->chunks_digest, SHA256_BYTES, hex);
    for (int step = 0; step < pass->mirror_count && !*pass->cancel; step++) {
        int slot = (*pass->start_index + step) % pass->mirror_count;
        const wchar_t *mirror = pass->mirrors->url[slot];
        wchar_t url[INDEX_URL_CHARS];
        if (format_wide(url, INDEX_URL_CHARS, L"%sobjects/%S", mirror, hex) < 0)
            continue;
        for (int attempt = 0; attempt < INDEX_ATTEMPTS && !*pass->cancel; attempt++) {
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
    r->plan.missing_count = 0;
    for (uint32_t p = 0; p < r->plan.index.count;) {
        uint32_t end = twins_end(r, p);
        uint32_t source = UINT32_MAX;
        for (uint32_t q = p; q < end; q++)
            if (r->plan.from[r->plan.order[q]] != FROM_NONE) {
                source = r->plan.order[q];
                ++*local;
            }
        for (uint32_t q = p; q < end && source != UINT32_MAX; q++) {
            uint32_t i = r->plan.order[q];
            if (r->plan.from[i] != FROM_NONE)
                continue;
            bool in_place = r->plan.from[source] == FROM_IN_PLACE;
            r->plan.from[i] = in_place ? (uint8_t)FROM_PART : r->plan.from[source];
            r->plan.at[i] = in_place ? r->plan.offset[source] : r->plan.at[source];
        }
        if (source == UINT32_MAX) {
            // The first in the file: the assembly meets its twins after it.
            uint32_t i = r->plan.order[p];
            for (uint32_t q = p + 1; q < end; q++)
                i = r->plan.order[q] < i ? r->plan.order[q] : i;
            r->plan.missing[r->plan.missing_count++] = i;
            uint32_t packed = chunk_index_packed(&r->plan.index, i);
            total += packed ? packed : chunk_index_length(&r->plan.index, i);
        }
        p = end;
    }
    qsort(r->plan.missing, r->plan.missing_count, sizeof *r->plan.missing, compare_places);
    return total;
}

// Completes the part file in order: every chunk not in place copied from
// its source (a run of them at a time), and the new file hashed on the way
// (`digest`) from the bytes written or found in place: FETCH_IN_PLACE,
// FETCH_FAILED (reading, writing or hashing failed, or a chunk whose source
// failed could not be fetched) or FETCH_CANCELLED.
FetchResult assemble(Rebuild *r, uint8_t digest[SHA256_BYTES])
{
    DigestRing ring;
    memset(&ring, 0, sizeof ring);
    if (!digest_ring_open(&ring, RUN_BYTES)) {
        digest_ring_close(&ring);
        return FETCH_FAILED;
    }
    FetchResult result = FETCH_IN_PLACE;
    Throttle bar_pace;
    throttle_reset(&bar_pace, progress_tick());
    for (uint32_t i = 0, count = 0; result == FETCH_IN_PLACE && i < r->plan.index.count;
         i += count) {
        if (*r->pass->cancel) {
            result = FETCH_CANCELLED;
            break;
        }
        uint32_t bytes = 0;
        count = wait_for_run(r, i, &bytes, &result);
        if (!count)
            break;
        uint8_t *buffer = digest_ring_block(&ring);
        if (!copy_run(r, i, bytes, buffer)) {
            // A source that cannot be read (gone, or locked since it was
            // cut): this chunk from the mirrors after all.
            count = 1;
            bytes = chunk_index_length(&r->plan.index, i);
            result = fetch_chunk(&r->shared.carrier[0], i);
            if (result == FETCH_IN_PLACE && !read_at(r->part, r->plan.offset[i], buffer, bytes))
                result = FETCH_FAILED;
        }
        if (result == FETCH_IN_PLACE && !digest_ring_add(&ring, bytes))
            result = FETCH_FAILED;
        if (throttle_due(&bar_pace, PACE_BAR_MS, progress_tick())) {
            uint64_t size = r->plan.index.file_size ? r->plan.index.file_size : 1;
            post_bar(r->progress.share, r->pass->window, BAR_FILE,
                     (uint32_t)((r->plan.offset[i] + bytes) * 1000 / size));
        }
    }
    if (result == FETCH_IN_PLACE && !digest_ring_finish(&ring, digest))
        result = FETCH_FAILED;
    digest_ring_close(&ring);
    return result;
}

// How a try at the file from its sources ends.
enum Built {
    BUILT_CANCELLED,
    BUILT_FAILED,
    BUILT_IN_PLACE,
    BUILT_WHOLE_CHEAPER,  // nothing local, or the whole object costs less
    BUILT_WRONG,          // built to its end, but not the entry's file
};

Built built_from(FetchResult result)
{
    return result == FETCH_IN_PLACE ? BUILT_IN_PLACE
                                    : result == FETCH_CANCELLED ? BUILT_CANCELLED : BUILT_FAILED;
}

// Builds the part file and moves it into place.
Built build(Rebuild *r, const ManifestEntry *entry, int connections)
{
    wchar_t part[CLIENT_PATH_CHARS];
    if (format_wide(part, CLIENT_PATH_CHARS, L"%s.part", r->plan.full) < 0)
        return BUILT_FAILED;
    r->part = make_parent_dirs(r->plan.full)
        ? CreateFileW(part, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                      0, nullptr)
        : INVALID_HANDLE_VALUE;
    if (r->part == INVALID_HANDLE_VALUE) {
        log_wprintf(L"cannot open %s (%lu)", part, GetLastError());
        return BUILT_FAILED;
    }
    r->progress.fetch_start = progress_tick();
    throttle_reset(&r->progress.text_pace, r->progress.fetch_start);
    r->progress.fetch_start_done = download_share_done(r->progress.share);
    InitializeCriticalSection(&r->shared.lock);
    InitializeConditionVariable(&r->shared.arrived);
    uint8_t digest[SHA256_BYTES];
    FetchResult result = start_carriers(r, connections) ? assemble(r, digest) : FETCH_FAILED;
    join_carriers(r);
    DeleteCriticalSection(&r->shared.lock);
    close_sources(r);
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)r->plan.index.file_size;
    if (result == FETCH_IN_PLACE &&
        (!SetFilePointerEx(r->part, end, nullptr, FILE_BEGIN) || !SetEndOfFile(r->part)))
        result = FETCH_FAILED;
    CloseHandle(r->part);
    clear_chunk_files(r->plan.full);
    if (result != FETCH_IN_PLACE)
        return built_from(result);
    if (memcmp(digest, entry->digest, SHA256_BYTES) != 0) {
        log_printf("file %s: the rebuilt file is not the release's", entry->path);
        DeleteFileW(part);
        return BUILT_WRONG;
    }
    return part_into_place(part, r->plan.full) ? BUILT_IN_PLACE : BUILT_FAILED;
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

// The file from its local sources plus the missing chunks, or the whole
// object when that is cheaper or nothing is local.
Built from_sources(RebuildPass *pass, Rebuild *r)
{
    const ManifestEntry *entry = r->plan.entry;
    const wchar_t *full = r->plan.full;
    uint32_t n = r->plan.index.count;
    if (!cut_sources(pass, r, full))
        return BUILT_CANCELLED;
    if (r->sources.lists_used > 0)
        log_printf("kept chunk lists for %s: %d local files not cut", entry->path,
                   r->sources.lists_used);
    uint32_t local = 0;
    r->plan.to_fetch = plan(r, &local);
    uint64_t whole = entry_wire_size(entry);
    if (local == 0 && n > 0) {
        log_printf("file %s: 0 of %lu chunks local, whole object", entry->path, (unsigned long)n);
        return BUILT_WHOLE_CHEAPER;
    }
    if (r->plan.to_fetch >= whole) {
        log_printf("file %s: %lu of %lu chunks local, %llu bytes to fetch, whole object cheaper",
                   entry->path, (unsigned long)local, (unsigned long)n,
                   (unsigned long long)r->plan.to_fetch);
        // A part file with chunks in place is an earlier rebuild's.
        for (uint32_t i = 0; i < n; i++)
            if (r->plan.from[i] == FROM_IN_PLACE) {
                drop_part(full);
                break;
            }
        return BUILT_WHOLE_CHEAPER;
    }
    log_printf("file %s: %lu of %lu chunks local, %llu bytes to fetch", entry->path,
               (unsigned long)local, (unsigned long)n, (unsigned long long)r->plan.to_fetch);
    // The total bar counts what really travels from here on.
    *pass->wire_bytes -= whole - r->plan.to_fetch;
    Built result = build(r, entry, pass->connections);
    if (result != BUILT_IN_PLACE)
        *pass->wire_bytes += whole - r->plan.to_fetch;
    if (result == BUILT_FAILED) {
        log_printf("file %s: chunked rebuild failed, whole object", entry->path);
        drop_part(full);
        result = BUILT_WHOLE_CHEAPER;
    }
    return result;
}

}  // namespace

bool part_into_place(const wchar_t *part, const wchar_t *full)
{
    // The old copy goes first: a rename over an existing file makes ext4
    // write the new one out before the rename returns (its guard for
    // programs that replace files without flushing), a wait as long as
    // the file is large. Killed in between, the next pass finds the
    // verified part file and makes the file from it alone.
    DeleteFileW(full);
    if (!MoveFileExW(part, full, MOVEFILE_REPLACE_EXISTING)) {
        log_wprintf(L"rename failed %s (%lu)", full, GetLastError());
        return false;
    }
    // What a cut-short whole download unpacked has served as a source.
    wchar_t tmp[CLIENT_PATH_CHARS];
    if (format_wide(tmp, CLIENT_PATH_CHARS, L"%s.tmp", full) >= 0)
        DeleteFileW(tmp);
    return true;
}

void rebuild_reset_sources(Rebuild *r)
{
    uint32_t n = r->plan.index.count;
    memset(r->plan.from, 0, n * sizeof *r->plan.from);
    memset(r->plan.at, 0, n * sizeof *r->plan.at);
    r->shared.next = r->shared.stop = 0;
    r->shared.failed = CARRIERS_AT_WORK;
    r->progress.cut_bytes = r->progress.cut_total = 0;
    r->sources.lists_used = 0;
    r->sources.cut_everything = true;
    removed_chunks_free(r->sources.removed);
    r->sources.removed = nullptr;
}

RebuildResult chunked_update(RebuildPass *pass, const ManifestEntry *entry, const wchar_t *full)
{
    if (!entry->has_chunks)
        return REBUILD_WHOLE;
    // What a killed rebuild's carriers left, whichever way this one goes.
    clear_chunk_files(full);
    uint32_t length = 0;
    char *bytes = fetch_index(pass, entry, &length);
    if (!bytes) {
        if (*pass->cancel)
            return REBUILD_CANCELLED;
        log_printf("file %s: chunk index not available, whole object", entry->path);
        return REBUILD_WHOLE;
    }
    Rebuild r;
    memset(&r, 0, sizeof r);
    r.pass = pass;
    r.plan.full = full;
    r.progress.share = pass->share;
    r.plan.entry = entry;
    ChunkIndexResult parsed = chunk_index_parse(bytes, length, entry->size, &r.plan.index);
    if (parsed != CHUNK_INDEX_OK) {
        log_printf("file %s: chunk index %s, whole object", entry->path,
                   chunk_index_result_text(parsed));
        release(&r, bytes);
        return REBUILD_WHOLE;
    }
    // Kept before the file is built: it describes the file whichever way
    // the file comes, and is pruned if none comes.
    chunk_list_keep(pass->folder, entry, bytes, length);
    uint32_t n = r.plan.index.count;
    r.plan.order = (uint32_t *)zeroed_array(n, sizeof *r.plan.order);
    r.plan.offset = (uint64_t *)zeroed_array(n, sizeof *r.plan.offset);
    r.plan.from = (uint8_t *)zeroed_array(n, sizeof *r.plan.from);
    r.plan.at = (uint64_t *)zeroed_array(n, sizeof *r.plan.at);
    r.plan.missing = (uint32_t *)zeroed_array(n, sizeof *r.plan.missing);
    if (!r.plan.order || !r.plan.offset || !r.plan.from || !r.plan.at || !r.plan.missing) {
        release(&r, bytes);
        return REBUILD_WHOLE;
    }
    chunk_lookup_build(&r.plan.index, r.plan.order);
    for (uint32_t i = 1; i < n; i++)
        r.plan.offset[i] = r.plan.offset[i - 1] + chunk_index_length(&r.plan.index, i - 1);
    Built result = from_sources(pass, &r);
    if (result == BUILT_WRONG && r.sources.lists_used > 0) {
        // A local copy is not what its kept list says: the lists set
        // aside (the removed files' chunks too), every source cut.
        log_printf("file %s: cutting the local files", entry->path);
        rebuild_reset_sources(&r);
        chunked_forget(pass);
        result = from_sources(pass, &r);
    }
    if (result == BUILT_WRONG)
        log_printf("file %s: fetching the whole object", entry->path);
    release(&r, bytes);
    switch (result) {
    case BUILT_CANCELLED:
        return REBUILD_CANCELLED;
    case BUILT_FAILED:
        return REBUILD_FAILED;
    case BUILT_IN_PLACE:
        return REBUILD_IN_PLACE;
    case BUILT_WHOLE_CHEAPER:
    case BUILT_WRONG:
        break;
    }
    return REBUILD_WHOLE;
}
