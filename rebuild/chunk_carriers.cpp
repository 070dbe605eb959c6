// The missing chunks of a rebuilt file, fetched in the file's order on
// carrier threads, several on the wire at once, each written straight to
// its place in the part file; the assembly waits behind them.
#include "rebuild/rebuild_internal.h"

#include "net/net.h"

#include <string.h>

namespace {

// The detail line while chunks arrive, from whichever carrier comes first
// after its interval, its speed measured over the chunks so far (no single
// chunk lasts long enough to measure one). The file bar follows the
// assembly.
void post_fetch_detail(Rebuild *r)
{
    uint32_t now = progress_tick();
    uint32_t elapsed = now - r->progress.fetch_start;
    if (elapsed == 0 || !throttle_due(&r->progress.text_pace, PACE_TEXT_MS, now))
        return;
    uint64_t done = download_share_done(r->progress.share);
    uint64_t total = *r->pass->wire_bytes;
    uint64_t moved = done > r->progress.fetch_start_done ? done - r->progress.fetch_start_done : 0;
    double speed = (double)moved * 1000.0 / elapsed;
    wchar_t text[DETAIL_TEXT_CHARS];
    format_progress_text(done < total ? done : total, total, speed, text, DETAIL_TEXT_CHARS);
    post_progress_text(r->pass->window, text);
}

// A fetched chunk stands at its place: its twins are copied from there.
void fetched_in_place(Rebuild *r, uint32_t i)
{
    int64_t p = chunk_lookup_find(&r->plan.index, r->plan.order,
                                  chunk_index_digest(&r->plan.index, i));
    uint32_t end = p < 0 ? 0 : twins_end(r, (uint32_t)p);
    for (uint32_t q = p < 0 ? 0 : (uint32_t)p; q < end; q++) {
        uint32_t j = r->plan.order[q];
        r->plan.from[j] = j == i ? FROM_IN_PLACE : FROM_PART;
        r->plan.at[j] = r->plan.offset[i];
    }
}

// A carrier's loop: the next missing chunk until none is left, one has
// failed (which ends every carrier after its present chunk) or the
// assembly has ended.
void carry_chunks(Carrier *c)
{
    Rebuild *r = c->r;
    while (r->shared.failed == CARRIERS_AT_WORK && !r->shared.stop) {
        long n = InterlockedIncrement(&r->shared.next) - 1;
        if ((uint32_t)n >= r->plan.missing_count)
            break;
        uint32_t i = r->plan.missing[n];
        FetchResult result = fetch_chunk(c, i);
        EnterCriticalSection(&r->shared.lock);
        if (result == FETCH_IN_PLACE)
            fetched_in_place(r, i);
        else if (r->shared.failed == CARRIERS_AT_WORK)
            r->shared.failed = result == FETCH_CANCELLED ? CARRIERS_CANCELLED : CARRIERS_FAILED;
        LeaveCriticalSection(&r->shared.lock);
        WakeAllConditionVariable(&r->shared.arrived);
    }
}

DWORD WINAPI carry(void *context)
{
    Carrier *c = (Carrier *)context;
    Rebuild *r = c->r;
    carry_chunks(c);
    EnterCriticalSection(&r->shared.lock);
    r->shared.carrying--;
    LeaveCriticalSection(&r->shared.lock);
    WakeAllConditionVariable(&r->shared.arrived);
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
           format_wide(c->path, CLIENT_PATH_CHARS, L"%s.chunk%d", r->plan.full, n) >= 0;
}

void carrier_close(Carrier *c)
{
    if (c->body)
        HeapFree(GetProcessHeap(), 0, c->body);
    if (c->buffer)
        HeapFree(GetProcessHeap(), 0, c->buffer);
    http_close_session(c->session);
}

}  // namespace

// Fetches chunk i through carrier c as an object of its own and writes it
// at its place in the part file: FETCH_IN_PLACE, FETCH_FAILED (failed on
// every mirror) or FETCH_CANCELLED. The total bar counts its bytes as they arrive.
FetchResult fetch_chunk(Carrier *c, uint32_t i)
{
    Rebuild *r = c->r;
    RebuildPass *pass = r->pass;
    ManifestEntry chunk;
    memset(&chunk, 0, sizeof chunk);
    lstrcpynA(chunk.path, "chunk", sizeof chunk.path);
    memcpy(chunk.digest, chunk_index_digest(&r->plan.index, i), SHA256_BYTES);
    chunk.size = chunk_index_length(&r->plan.index, i);
    chunk.packed_size = chunk_index_packed(&r->plan.index, i);
    // A chunk is small: a part file of one is not worth resuming. A failed
    // fetch deletes its own below, and a killed pass's carriers' files go
    // as the file's rebuild begins (clear_chunk_files), so none is left to
    // look for here.
    wchar_t chunk_part[CLIENT_PATH_CHARS];
    if (format_wide(chunk_part, CLIENT_PATH_CHARS, L"%s.part", c->path) < 0)
        return FETCH_FAILED;
    ObjectFetch *f = &c->fetch;
    int start = c->mirror >= 0 ? c->mirror : *pass->start_index;
    FetchResult result = FETCH_FAILED;
    if (fetch_begin(f, pass->window, &chunk, c->path, start, pass->cancel,
                    download_share_done(r->progress.share), *pass->wire_bytes,
                    chunk.packed_size ? c->body : nullptr)) {
        f->session = c->session;
        // A chunk that travels packed is unpacked into the carrier's buffer:
        // no working file for it.
        f->plain_out = c->buffer;
        // Never the speaker: the file bar follows the whole file.
        f->progress.share = r->progress.share;
        f->progress.ticket = -1;
        result = fetch_finish(f, pass->mirrors, pass->mirror_count, FETCH_GO_ON);
    }
    if (result != FETCH_IN_PLACE) {
        DeleteFileW(chunk_part);
        return result;
    }
    c->mirror = f->mirror;
    uint64_t wire = entry_wire_size(&chunk);
    download_share_add(r->progress.share, (int64_t)(wire - f->progress.shared_present));
    bool ok;
    if (f->plain_held) {
        ok = write_at(r->part, r->plan.offset[i], c->buffer, (uint32_t)chunk.size);
    } else {
        HANDLE file = CreateFileW(c->path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ok = file != INVALID_HANDLE_VALUE && read_at(file, 0, c->buffer, (uint32_t)chunk.size) &&
             write_at(r->part, r->plan.offset[i], c->buffer, (uint32_t)chunk.size);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        DeleteFileW(c->path);
    }
    if (!ok)
        return FETCH_FAILED;
    post_fetch_detail(r);
    return FETCH_IN_PLACE;
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
    int threads = (int)(r->plan.missing_count < (uint32_t)connections ? r->plan.missing_count
                                                                  : (uint32_t)connections);
    r->shared.carrier = (Carrier *)zeroed_array((size_t)threads + 1, sizeof *r->shared.carrier);
    if (!r->shared.carrier)
        return false;
    for (int n = 0; n <= threads; n++) {
        r->shared.carriers = n + 1;
        if (!carrier_open(&r->shared.carrier[n], r, n))
            return false;
    }
    for (int n = 1; n <= threads; n++) {
        r->shared.carrier[n].thread =
            CreateThread(nullptr, 0, carry, &r->shared.carrier[n], 0, nullptr);
        if (r->shared.carrier[n].thread)
            r->shared.carrying++;
    }
    if (r->shared.carrying == 0)
        carry_chunks(&r->shared.carrier[0]);
    return true;
}

// Ends the carriers (after their present chunk) and frees them.
void join_carriers(Rebuild *r)
{
    InterlockedExchange(&r->shared.stop, 1);
    for (int n = 0; n < r->shared.carriers; n++) {
        if (r->shared.carrier[n].thread) {
            WaitForSingleObject(r->shared.carrier[n].thread, INFINITE);
            CloseHandle(r->shared.carrier[n].thread);
        }
        if (r->shared.carrier[n].mirror >= 0)
            *r->pass->start_index = r->shared.carrier[n].mirror;
        carrier_close(&r->shared.carrier[n]);
    }
    if (r->shared.carrier)
        HeapFree(GetProcessHeap(), 0, r->shared.carrier);
    r->shared.carrier = nullptr;
}

// Waits until chunk i has a source (a missing one has arrived), and finds
// the run from it as run_of: its count, or 0 when the chunk will not come
// (*result then says why: FETCH_FAILED or FETCH_CANCELLED).
uint32_t wait_for_run(Rebuild *r, uint32_t i, uint32_t *bytes, FetchResult *result)
{
    EnterCriticalSection(&r->shared.lock);
    while (r->plan.from[i] == FROM_NONE && r->shared.failed == CARRIERS_AT_WORK &&
           r->shared.carrying > 0)
        SleepConditionVariableCS(&r->shared.arrived, &r->shared.lock, INFINITE);
    uint32_t count = r->plan.from[i] == FROM_NONE ? 0 : run_of(r, i, bytes);
    if (!count)
        *result = r->shared.failed == CARRIERS_CANCELLED ? FETCH_CANCELLED : FETCH_FAILED;
    LeaveCriticalSection(&r->shared.lock);
    return count;
}
