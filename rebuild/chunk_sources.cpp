// Where a rebuilt file's chunks come from: the local files cut with the
// launcher's chunker (the files a release removes cut once in a pass), and
// runs of chunks copied from them into the part file.
#include "rebuild/rebuild_internal.h"

#include <string.h>
#include <winternl.h>

namespace {

// A chunk of a local file: every place of the new file that holds the same
// bytes takes it as its source, unless one is already found.
void match_chunk(Rebuild *r, uint8_t source, uint64_t offset, const uint8_t *digest)
{
    int64_t p = chunk_lookup_find(&r->plan.index, r->plan.order, digest);
    for (; p >= 0 && p < r->plan.index.count; p++) {
        uint32_t i = r->plan.order[p];
        if (memcmp(chunk_index_digest(&r->plan.index, i), digest, SHA256_BYTES) != 0)
            break;
        if (source == FROM_IN_PLACE) {
            if (r->plan.offset[i] == offset)
                r->plan.from[i] = FROM_IN_PLACE;
        } else if (r->plan.from[i] == FROM_NONE) {
            r->plan.from[i] = source;
            r->plan.at[i] = offset;
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

// A chunk of the source at hand: matched, and noted when the file is a
// removed one.
void note_chunk(Rebuild *r, uint64_t offset, uint32_t length, const uint8_t *digest)
{
    match_chunk(r, r->sources.source, offset, digest);
    if (r->sources.removed)
        keep_removed(r->sources.removed, r->sources.source, offset, length, digest);
    r->progress.cut_bytes += length;
}

// chunk_file's report of a chunk of the file being cut: noted, and the
// file bar moved.
int on_local_chunk(void *context, uint64_t offset, uint32_t length,
                   const uint8_t digest[SHA256_BYTES])
{
    Rebuild *r = (Rebuild *)context;
    note_chunk(r, offset, length, digest);
    if (r->progress.cut_total &&
        throttle_due(&r->progress.cut_pace, PACE_BAR_MS, progress_tick())) {
        uint64_t permille = r->progress.cut_bytes * 1000 / r->progress.cut_total;
        post_bar(r->progress.share, r->pass->window, BAR_FILE,
                 (uint32_t)(permille > 1000 ? 1000 : permille));
    }
    return !*r->pass->cancel;
}

// The local file `n` among the sources: the part file, the old copy, the
// unpacked file, then the remove list's files. False past the last.
bool source_path(const RebuildPass *pass, int n, const wchar_t *full, wchar_t *path)
{
    if (n == FROM_IN_PLACE || n == FROM_PART)
        return format_wide(path, CLIENT_PATH_CHARS, L"%s.part", full) >= 0;
    if (n == FROM_OLD)
        return lstrcpynW(path, full, CLIENT_PATH_CHARS) != nullptr;
    if (n == FROM_TMP)
        return format_wide(path, CLIENT_PATH_CHARS, L"%s.tmp", full) >= 0;
    int k = n - FROM_REMOVED;
    if (n < FROM_REMOVED || k >= pass->manifest->remove_count || k >= REMOVED_SOURCES_MAX)
        return false;
    wchar_t rel[CLIENT_REL_CHARS];
    rel_path_to_wide(pass->manifest->remove[k], rel, CLIENT_REL_CHARS);
    path_join(path, CLIENT_PATH_CHARS, pass->folder, rel);
    return true;
}

// The relative path of local file `n` when it is an installed file of the
// state (the old copy, a removed file), else null.
const char *installed_path(const Rebuild *r, int n)
{
    const Manifest *m = r->pass->manifest;
    if (n == FROM_OLD)
        return r->plan.entry->path;
    if (n >= FROM_REMOVED && n - FROM_REMOVED < m->remove_count)
        return m->remove[n - FROM_REMOVED];
    return nullptr;
}

// Notes the chunks of local file `n` from the list kept for the installed
// copy, without reading the copy: only when its state record holds its size
// and time, as a check trusts a file, and, for the old copy, names another
// digest than the entry's (an old copy the comparison hashed and found
// damaged is cut). False when there is no such list.
bool from_kept_list(Rebuild *r, int n, const wchar_t *path)
{
    const char *rel = r->sources.cut_everything ? nullptr : installed_path(r, n);
    const StateEntry *record = rel ? state_find(r->pass->state, rel) : nullptr;
    uint64_t size = 0, time = 0;
    if (!record ||
        (n == FROM_OLD && memcmp(record->digest, r->plan.entry->digest, SHA256_BYTES) == 0) ||
        !file_info(path, &size, &time) || size != record->size || time != record->write_time)
        return false;
    uint32_t length = 0;
    char *bytes = chunk_list_find(r->pass->folder, record->digest, &length);
    ChunkIndex list;
    bool listed = bytes && chunk_index_parse(bytes, length, size, &list) == CHUNK_INDEX_OK;
    uint64_t offset = 0;
    for (uint32_t i = 0; listed && i < list.count; i++) {
        note_chunk(r, offset, chunk_index_length(&list, i), chunk_index_digest(&list, i));
        offset += chunk_index_length(&list, i);
    }
    if (bytes)
        HeapFree(GetProcessHeap(), 0, bytes);
    r->sources.lists_used += listed;
    if (listed && r->sources.removed && n >= FROM_REMOVED)
        r->sources.removed->from_lists = true;
    return listed;
}

}  // namespace

void *zeroed_array(size_t count, size_t size)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count ? count * size : 1);
}

// Positioned reads and writes: the carriers write to the one part file at
// once. Through the native calls, without a completion context: ReadFile
// and WriteFile given an OVERLAPPED record hand its address over as one,
// and a synchronous handle then reports every read and write as a
// completion, which Wine does with a round trip to its server per call.
extern "C" {
NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, void *apc, void *apc_context,
                          IO_STATUS_BLOCK *io, void *buffer, ULONG length, LARGE_INTEGER *offset,
                          ULONG *key);
NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, void *apc, void *apc_context,
                           IO_STATUS_BLOCK *io, const void *buffer, ULONG length,
                           LARGE_INTEGER *offset, ULONG *key);
}

bool read_at(HANDLE file, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    return NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer, length, &at, nullptr) >= 0 &&
           io.Information == length;
}

bool write_at(HANDLE file, uint64_t offset, const uint8_t *bytes, uint32_t length)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    return NtWriteFile(file, nullptr, nullptr, nullptr, &io, bytes, length, &at, nullptr) >= 0 &&
           io.Information == length;
}

// One past the last place in the lookup order of the chunks with the
// digest of the chunk at place p, the first of them.
uint32_t twins_end(const Rebuild *r, uint32_t p)
{
    const ChunkIndex *index = &r->plan.index;
    const uint8_t *digest = chunk_index_digest(index, r->plan.order[p]);
    uint32_t end = p + 1;
    while (end < index->count &&
           memcmp(chunk_index_digest(index, r->plan.order[end]), digest, SHA256_BYTES) == 0)
        end++;
    return end;
}

// The chunks from i on that one read can bring in: those after it with the
// same source, standing right behind it there, up to RUN_BYTES. Their
// count and bytes.
uint32_t run_of(const Rebuild *r, uint32_t i, uint32_t *bytes)
{
    uint32_t end = i + 1;
    *bytes = chunk_index_length(&r->plan.index, i);
    while (end < r->plan.index.count && r->plan.from[end] == r->plan.from[i]) {
        uint32_t length = chunk_index_length(&r->plan.index, end);
        uint64_t previous_end = r->plan.at[end - 1] + chunk_index_length(&r->plan.index, end - 1);
        bool behind = r->plan.from[i] == FROM_IN_PLACE || r->plan.at[end] == previous_end;
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
    if (r->plan.from[i] == FROM_IN_PLACE)
        return read_at(r->part, r->plan.offset[i], buffer, bytes);
    HANDLE *file = &r->sources.file[r->plan.from[i]];
    if (r->plan.from[i] == FROM_PART) {
        *file = r->part;
    } else if (!*file) {
        wchar_t path[CLIENT_PATH_CHARS];
        *file = source_path(r->pass, r->plan.from[i], r->plan.full, path)
            ? CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr)
            : INVALID_HANDLE_VALUE;
    }
    return *file != INVALID_HANDLE_VALUE && read_at(*file, r->plan.at[i], buffer, bytes) &&
           write_at(r->part, r->plan.offset[i], buffer, bytes);
}

// Cuts the local files into the rebuild's sources, the removed files only
// when the phase has not kept their chunks yet. False when cancelled.
bool cut_sources(RebuildPass *pass, Rebuild *r, const wchar_t *full)
{
    RemovedChunks *kept = pass->removed_chunks;
    wchar_t path[CLIENT_PATH_CHARS];
    uint64_t size = 0;
    for (int n = FROM_IN_PLACE; source_path(pass, n, full, path); n++)
        if (n != FROM_PART && (n < FROM_REMOVED || !kept) && file_info(path, &size, nullptr))
            r->progress.cut_total += size;
    throttle_reset(&r->progress.cut_pace, progress_tick());
    if (!kept && pass->manifest->remove_count > 0)
        r->sources.removed = (RemovedChunks *)zeroed_array(1, sizeof *r->sources.removed);
    for (int n = FROM_IN_PLACE; source_path(pass, n, full, path); n++) {
        if (n == FROM_PART || (n >= FROM_REMOVED && kept) || !file_info(path, nullptr, nullptr))
            continue;
        r->sources.source = (uint8_t)n;
        if (!from_kept_list(r, n, path) &&
            chunk_file(path, on_local_chunk, r, nullptr) == CHUNK_FILE_STOPPED)
            return false;
    }
    r->sources.lists_used += kept && kept->from_lists;
    for (uint32_t k = 0; kept && k < kept->count; k++)
        match_chunk(r, kept->chunk[k].source, kept->chunk[k].offset, kept->chunk[k].digest);
    if (r->sources.removed && !r->sources.removed->failed) {
        pass->removed_chunks = r->sources.removed;
        r->sources.removed = nullptr;
    }
    return true;
}

void removed_chunks_free(RemovedChunks *list)
{
    if (!list)
        return;
    if (list->chunk)
        HeapFree(GetProcessHeap(), 0, list->chunk);
    HeapFree(GetProcessHeap(), 0, list);
}

void chunked_forget(RebuildPass *pass)
{
    removed_chunks_free(pass->removed_chunks);
    pass->removed_chunks = nullptr;
}
