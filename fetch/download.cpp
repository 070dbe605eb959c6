// One content-addressed object from the mirrors into the client folder.
//
// The object travels through two working files beside its destination:
// "<dest>.part" holds the bytes as downloaded (kept across attempts and runs
// so that a later attempt resumes it) and "<dest>.tmp" the unpacked content
// of a gzip object. Only content whose digest matches the manifest is moved
// onto the destination.
#include "fetch/fetch.h"

#include "content/content.h"
#include "net/net.h"

#include <windows.h>

#include <string.h>

namespace {

const int ATTEMPTS_PER_VARIANT = 3;
// A mirror's base URL, "objects/", the digest in hex and ".gz".
const size_t OBJECT_URL_CHARS = 400;
const DWORD RETRY_PAUSE_MS = 1000;
// Smaller gzip objects are unpacked after their download: for them a thread
// costs more than the overlap saves.
const uint64_t STREAM_MIN_PACKED_BYTES = 65536;
// The same for hashing a plain object while it downloads.
const uint64_t STREAM_MIN_PLAIN_BYTES = 1048576;

enum Variant { VARIANT_GZIP = 0, VARIANT_PLAIN = 1, VARIANT_COUNT = 2, VARIANT_NONE = 3 };

// The variant's body into the part file (or memory), with the stream that
// unpacks or hashes it on the way when it is large. 200/206 when the whole
// object arrived, else the transfer's result.
int transfer(ObjectFetch *f, const wchar_t *url, bool gzip, uint64_t expected)
{
    f->digest_known = false;
    f->unpacked = -1;
    // Smaller gzip objects are fetched into memory when no part file of
    // theirs exists, and unpacked from there: a part file (created, written,
    // read back and deleted) and a thread to unpack it behind the download
    // cost more than such an object's transfer, and a broken transfer of it
    // loses little.
    if (gzip && f->body_buffer && expected < FETCH_MEMORY_BYTES &&
        GetFileAttributesW(f->part) == INVALID_FILE_ATTRIBUTES) {
        int status = http_get_into_on(f->session, url, f->body_buffer, (uint32_t)expected,
                                      &f->body_length);
        if (status == 200 && f->body_length != expected) {
            log_printf("net: short body %lu of %llu", (unsigned long)f->body_length,
                       (unsigned long long)expected);
            status = 0;
        }
        f->in_memory = status == 200;
        if (f->in_memory)
            report_download_progress(&f->progress, expected, expected);
        return status;
    }
    // Larger objects are unpacked or hashed behind the download on a thread
    // of their own (a gzip object's own digest is of no use: its decoded
    // content is what the manifest names).
    bool follow = expected >= (gzip ? STREAM_MIN_PACKED_BYTES : STREAM_MIN_PLAIN_BYTES);
    f->stream = follow ? unpack_stream_open(f->part, gzip ? f->tmp : nullptr, &f->progress,
                                            f->unpackers)
                       : nullptr;
    int result = f->stream
        ? http_download_to_file_on(f->session, url, f->part, expected, nullptr,
                                   unpack_stream_progress, f->stream)
        : http_download_to_file_on(f->session, url, f->part, expected, gzip ? nullptr : f->digest,
                                   report_download_progress, &f->progress);
    bool arrived = result == 200 || result == 206;
    f->digest_known = arrived && !gzip && !f->stream;
    if (f->stream && !arrived) {
        unpack_stream_finish(f->stream, 0, f->digest, f->error);
        f->stream = nullptr;
    }
    return result;
}

// The player cancelled, or the pass ended while this fetch was on its way.
bool stopped(const ObjectFetch *f)
{
    return *f->progress.cancel_flag || (f->progress.share && f->progress.share->abandon);
}

// Leaves the variant the cursor stands on: the next one of this mirror.
void next_variant(ObjectFetch *f)
{
    f->variant++;
    f->attempt = 0;
}

// Whether the fetch passes mirror `m` over: while other mirrors have their
// turn, one that lost it (benched) is noted and passed over; once they have
// all failed the object, only those noted are tried.
bool passes_over(ObjectFetch *f, const MirrorList *list, int m)
{
    int bit = 1 << m;
    if (f->last_resort)
        return !(f->passed_over & bit);
    if (!(list->benched & bit))
        return false;
    f->passed_over |= bit;
    return true;
}

// After the slow-transfer rule cut a transfer from mirror `m`: true when the
// fetch leaves the mirror at once, benched for the rest of the pass (unless
// it is trying the benched mirrors already, as the last resort).
bool bench(ObjectFetch *f, MirrorList *list, int m)
{
    if (f->last_resort)
        return false;
    f->passed_over |= 1 << m;
    if (!(InterlockedOr(&list->benched, 1L << m) & (1L << m)))
        log_wprintf(L"mirror %s too slow: no more objects from it in this pass while another "
                    L"mirror has them",
                    list->url[m]);
    return true;
}

}  // namespace

int fetch_begin(ObjectFetch *f, void *window, const ManifestEntry *entry,
                const wchar_t *destination, int start_index, volatile long *cancel_flag,
                uint64_t run_done, uint64_t run_total, char *body_buffer)
{
    memset(f, 0, sizeof *f);
    f->body_buffer = body_buffer;
    f->entry = entry;
    // Working files under cut names would be some other file's: such a
    // destination (or none) is refused before anything is touched.
    if (!destination[0] ||
        format_wide(f->destination, CLIENT_PATH_CHARS, L"%s", destination) < 0 ||
        format_wide(f->part, CLIENT_PATH_CHARS, L"%s.part", destination) < 0 ||
        format_wide(f->tmp, CLIENT_PATH_CHARS, L"%s.tmp", destination) < 0) {
        log_wprintf(L"object path too long: %s", destination);
        return 0;
    }
    hex_encode(entry->digest, SHA256_BYTES, f->hex);
    f->start = start_index;
    f->last = VARIANT_NONE;
    f->progress.window = window;
    f->progress.cancel_flag = cancel_flag;
    f->progress.finished_before = run_done;
    f->progress.run_total = run_total;
    if (!make_parent_dirs(destination)) {
        log_wprintf(L"mkdir failed for %s", destination);
        return 0;
    }
    return 1;
}

FetchResult fetch_transfer(ObjectFetch *f, MirrorList *list, int count)
{
    for (; f->step < count; f->step++, f->variant = 0, f->attempt = 0) {
        int m = (f->start + f->step) % count;
        const wchar_t *mirror = list->url[m];
        if (passes_over(f, list, m))
            continue;
        for (; f->variant < VARIANT_COUNT; next_variant(f)) {
            bool gzip = f->variant == VARIANT_GZIP;
            if (gzip && f->entry->packed_size == 0)
                continue;
            const wchar_t *suffix = gzip ? L".gz" : L"";
            if (f->attempt == 0) {
                // A part file of the other variant holds bytes that cannot be resumed.
                if (f->last != VARIANT_NONE && f->last != f->variant)
                    DeleteFileW(f->part);
                f->last = f->variant;
            }
            wchar_t url[OBJECT_URL_CHARS];
            if (format_wide(url, OBJECT_URL_CHARS, L"%sobjects/%S%s", mirror, f->hex,
                            suffix) < 0) {
                // Never a request for a cut address: the variant is passed over.
                log_wprintf(L"object %S%s: address on %s too long", f->hex, suffix, mirror);
                continue;
            }
            uint64_t expected = gzip ? f->entry->packed_size : f->entry->size;
            while (f->attempt < ATTEMPTS_PER_VARIANT) {
                f->attempt++;
                if (stopped(f))
                    return FETCH_CANCELLED;
                int result = transfer(f, url, gzip, expected);
                if (result == -1)
                    return FETCH_CANCELLED;
                if (result == 200 || result == 206) {
                    f->mirror = m;
                    return FETCH_TRANSFERRED;
                }
                if (result == HTTP_TOO_SLOW) {
                    // Abandoned like a broken transfer: the part file stays
                    // for the next attempt or mirror to resume.
                    HttpStall stall = http_last_stall();
                    log_wprintf(L"object %S%s: %s too slow, %llu bytes in %u s (try %d)", f->hex,
                                suffix, mirror, (unsigned long long)stall.bytes, stall.seconds,
                                f->attempt);
                    if (bench(f, list, m)) {
                        f->variant = VARIANT_COUNT;  // no variant left on this mirror
                        break;
                    }
                } else {
                    log_wprintf(L"object %S%s: %s -> %d (try %d)", f->hex, suffix, mirror, result,
                                f->attempt);
                }
                if (result == 404)
                    break;
                if (f->attempt < ATTEMPTS_PER_VARIANT)
                    Sleep(RETRY_PAUSE_MS);
            }
        }
    }
    if (f->last_resort || !f->passed_over)
        return FETCH_FAILED;
    // Every mirror that had its turn failed the object: those that lost it
    // are its last chance.
    f->last_resort = true;
    f->step = f->variant = f->attempt = 0;
    return fetch_transfer(f, list, count);
}

FetchResult fetch_judge(ObjectFetch *f, const MirrorList *list)
{
    const wchar_t *mirror = list->url[f->mirror];
    bool gzip = f->variant == VARIANT_GZIP;
    const wchar_t *suffix = gzip ? L".gz" : L"";
    bool had_part = !f->in_memory;
    // The output of an unpacking from memory stays open until it is judged:
    // moved into place by its handle, it need not be opened again by name.
    void *out = nullptr;
    if (f->stream) {
        f->unpacked = unpack_stream_finish(f->stream, 1, f->digest, f->error);
        f->stream = nullptr;
        f->digest_known = f->unpacked != -1;
    }
    f->plain_held = false;
    if (f->in_memory && f->plain_out) {
        // Into the caller's buffer: no file is written, read back or moved.
        MemoryInput in = {(const uint8_t *)f->body_buffer, f->body_length, 0};
        // The buffer was made of the entry's size, so the size fits a size_t.
        MemoryOutput plain = {f->plain_out, (size_t)f->entry->size, 0};
        int decoded = gzip_decode(memory_read, &in, memory_write, &plain, nullptr);
        f->unpacked = decoded == GZIP_OK && sha256_buffer(plain.bytes, (size_t)plain.length,
                                                          f->digest);
        if (decoded != GZIP_OK)
            lstrcpynA(f->error, gzip_result_text(decoded), sizeof f->error);
        else if (!f->unpacked)
            lstrcpynA(f->error, "sha256 hash", sizeof f->error);
        f->plain_held = f->unpacked == 1;
        f->in_memory = false;
    } else if (f->in_memory) {
        MemoryInput in = {(const uint8_t *)f->body_buffer, f->body_length, 0};
        f->unpacked = gunzip_hashed_open(memory_read, &in, f->tmp, f->digest, f->error, &out);
        f->in_memory = false;
    }
    // A plain object whose stream was of no use: its digest from the file
    // (a file that cannot be hashed counts as wrong).
    if (!gzip && !f->digest_known && !sha256_file(f->part, f->digest))
        memset(f->digest, 0, sizeof f->digest);
    if (gzip) {
        if (f->unpacked == -1)
            f->unpacked = gunzip_file_hashed(f->part, f->tmp, f->digest, f->error);
        if (!f->unpacked) {
            log_wprintf(L"object %S.gz from %s: %S, discarding", f->hex, mirror, f->error);
            if (had_part)
                DeleteFileW(f->part);
            next_variant(f);
            return FETCH_GO_ON;
        }
    }
    if (memcmp(f->digest, f->entry->digest, SHA256_BYTES) != 0) {
        log_wprintf(L"object %S%s: hash mismatch from %s, discarding", f->hex, suffix, mirror);
        f->plain_held = false;
        if (out)
            CloseHandle((HANDLE)out);
        if (had_part)
            DeleteFileW(f->part);
        if (gzip) {
            DeleteFileW(f->tmp);
            next_variant(f);
        }
        return FETCH_GO_ON;  // plain: again at once, while attempts are left
    }

    if (f->plain_held)
        return FETCH_IN_PLACE;
    // A gzip object's part file goes before its content moves into place: a
    // process ended between the two then leaves a tmp file that the next
    // download of the object overwrites, not a part file beside an
    // up-to-date file, which no later pass would ever look at.
    if (gzip && had_part)
        DeleteFileW(f->part);
    const wchar_t *result_file = gzip ? f->tmp : f->part;
    int moved = out ? move_open_file(out, f->destination)
                    : MoveFileExW(result_file, f->destination, MOVEFILE_REPLACE_EXISTING);
    DWORD error = moved ? 0 : GetLastError();
    if (out)
        CloseHandle((HANDLE)out);
    if (!moved) {
        log_wprintf(L"rename failed %s (%lu)", f->destination, error);
        if (gzip)
            DeleteFileW(f->tmp);
        return FETCH_FAILED;
    }
    return FETCH_IN_PLACE;
}

void fetch_release(ObjectFetch *f)
{
    if (f->stream) {
        unpack_stream_finish(f->stream, 0, f->digest, f->error);
        f->stream = nullptr;
    }
    f->in_memory = false;
}

FetchResult fetch_finish(ObjectFetch *f, MirrorList *list, int count, FetchResult judged)
{
    FetchResult result = judged;
    while (result == FETCH_GO_ON) {
        result = fetch_transfer(f, list, count);
        if (result == FETCH_TRANSFERRED)
            result = fetch_judge(f, list);
    }
    fetch_release(f);
    return result;
}

FetchResult download_object(void *window, MirrorList *list, int count, int *start_index,
                    const ManifestEntry *entry, const wchar_t *destination,
                    volatile long *cancel_flag, uint64_t run_done, uint64_t run_total)
{
    HANDLE heap = GetProcessHeap();
    ObjectFetch *f = (ObjectFetch *)HeapAlloc(heap, 0, sizeof *f);
    if (!f)
        return FETCH_FAILED;
    // Without the buffer a small object takes the way through a part file.
    char *body = entry->packed_size && entry->packed_size < FETCH_MEMORY_BYTES
        ? (char *)HeapAlloc(heap, 0, (SIZE_T)entry->packed_size) : nullptr;
    FetchResult result = FETCH_FAILED;
    if (fetch_begin(f, window, entry, destination, *start_index, cancel_flag, run_done,
                    run_total, body)) {
        result = fetch_finish(f, list, count, FETCH_GO_ON);
        if (result == FETCH_IN_PLACE)
            *start_index = f->mirror;
    }
    if (body)
        HeapFree(heap, 0, body);
    HeapFree(heap, 0, f);
    return result;
}
