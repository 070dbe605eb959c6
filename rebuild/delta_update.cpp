// A changed file made from the player's copy of an earlier release and a
// delta object: the delta fetched as an object of its own (attempts,
// variants, the slow-transfer rule and the mirrors' turns as any object,
// resumed through "<destination>.delta.part"), then applied into
// "<destination>.part" front to back, reading the old copy at the offsets
// it names, the new bytes hashed on a second thread as they are written.
// Only a file whose digest is the entry's moves into place; anything else
// leaves the old copy as it was, for the chunks or the whole object next.
#include "rebuild/rebuild_internal.h"

#include <string.h>

namespace {

// The players' old copies get a delta when they hold exactly the file it
// was made from; the log names that file by its digest's first digits.
const int SHORT_DIGEST_CHARS = 8;
// The file's bar while the delta is applied.
const uint32_t PERMILLE = 1000;
// The delta's transfer as the share's speaker: no entry's ticket (those
// count from 0) nor the chunk carriers' (-1).
const long DELTA_TICKET = -2;

// The new file as the delta makes it, written to the part file in blocks of
// the hashing ring, each hashed on the ring's thread while the next fills.
struct NewFile {
    HANDLE part;
    uint64_t at, size;
    DigestRing ring;
    uint8_t *block;  // the ring's block being filled, or null
    uint32_t used;
    RebuildPass *pass;
    DownloadShare *share;
    Throttle bar_pace;
};

bool flush_block(NewFile *n)
{
    if (!n->block || n->used == 0)
        return true;
    bool ok = write_at(n->part, n->at, n->block, n->used) && digest_ring_add(&n->ring, n->used);
    n->at += n->used;
    n->used = 0;
    n->block = nullptr;
    if (throttle_due(&n->bar_pace, PACE_BAR_MS, progress_tick()))
        post_bar(n->share, n->pass->window, BAR_FILE,
                 (uint32_t)(n->at * PERMILLE / (n->size ? n->size : 1)));
    return ok;
}

int write_new(void *context, const uint8_t *bytes, size_t length)
{
    NewFile *n = (NewFile *)context;
    if (*n->pass->cancel)
        return 0;
    while (length > 0) {
        if (!n->block) {
            n->block = digest_ring_block(&n->ring);
            if (!n->block)
                return 0;
        }
        size_t room = RUN_BYTES - n->used;
        size_t take = length < room ? length : room;
        memcpy(n->block + n->used, bytes, take);
        n->used += (uint32_t)take;
        bytes += take;
        length -= take;
        if (n->used == RUN_BYTES && !flush_block(n))
            return 0;
    }
    return 1;
}

int read_old(void *context, uint64_t offset, uint8_t *buffer, size_t length)
{
    return read_at((HANDLE)context, offset, buffer, (uint32_t)length) ? 1 : 0;
}

int read_delta(void *context, uint8_t *buffer, int capacity)
{
    DWORD got = 0;
    return ReadFile((HANDLE)context, buffer, (DWORD)capacity, &got, nullptr) ? (int)got : -1;
}

HANDLE open_to_read(const wchar_t *path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

void close_file(HANDLE file)
{
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

uint64_t delta_wire_size(const ManifestDelta *d)
{
    return d->packed_size ? d->packed_size : d->size;
}

// What the player's copy holds: its digest from the state record when the
// file still has the size and time it had when recorded (the trust a check
// gives a record), else hashed. False when there is no readable copy.
bool old_copy(const RebuildPass *pass, const ManifestEntry *entry, const wchar_t *full,
              uint64_t *size, uint8_t digest[SHA256_BYTES])
{
    uint64_t time = 0;
    if (!file_info(full, size, &time))
        return false;
    const StateEntry *record = pass->state ? state_find(pass->state, entry->path) : nullptr;
    if (record && record->size == *size && record->write_time == time) {
        memcpy(digest, record->digest, SHA256_BYTES);
        return true;
    }
    return sha256_file(full, digest) != 0;
}

// The entry's delta from the file with `digest` that costs the fewest bytes
// and fewer than the whole object; null when there is none.
const ManifestDelta *cheapest_delta(const RebuildPass *pass, const ManifestEntry *entry,
                                    const uint8_t digest[SHA256_BYTES])
{
    const ManifestDelta *best = nullptr;
    for (int n = 0; n < entry->delta_count; n++) {
        const ManifestDelta *d = manifest_delta(pass->manifest, entry, n);
        if (memcmp(d->from, digest, SHA256_BYTES) == 0 &&
            delta_wire_size(d) < entry_wire_size(entry) &&
            (!best || delta_wire_size(d) < delta_wire_size(best)))
            best = d;
    }
    return best;
}

// Whether `path` holds the content with `digest` and `size`.
bool holds(const wchar_t *path, uint64_t size, const uint8_t digest[SHA256_BYTES])
{
    uint64_t have = 0;
    uint8_t found[SHA256_BYTES];
    return file_info(path, &have, nullptr) && have == size && sha256_file(path, found) &&
           memcmp(found, digest, SHA256_BYTES) == 0;
}

// The delta object at `path`, its digest checked; a copy kept by a pass
// that ended before applying it is taken as it stands.
FetchResult fetch_delta(RebuildPass *pass, const ManifestDelta *d, const wchar_t *path)
{
    uint64_t wire = delta_wire_size(d);
    if (holds(path, d->size, d->digest)) {
        download_share_add(pass->share, (int64_t)wire);
        return FETCH_IN_PLACE;
    }
    ManifestEntry object;
    memset(&object, 0, sizeof object);
    lstrcpynA(object.path, "delta", sizeof object.path);
    memcpy(object.digest, d->digest, SHA256_BYTES);
    object.size = d->size;
    object.packed_size = d->packed_size;
    ObjectFetch f;
    if (!fetch_begin(&f, pass->window, &object, path, *pass->start_index, pass->cancel,
                     download_share_done(pass->share), *pass->wire_bytes, nullptr))
        return FETCH_FAILED;
    // The file bar and the detail line follow it, as they follow a whole
    // object: nothing else of the pass is on the wire meanwhile.
    f.progress.share = pass->share;
    f.progress.ticket = DELTA_TICKET;
    InterlockedExchange(&pass->share->speaker, DELTA_TICKET);
    FetchResult result = fetch_finish(&f, pass->mirrors, pass->mirror_count, FETCH_GO_ON);
    if (result == FETCH_IN_PLACE) {
        *pass->start_index = f.mirror;
        download_share_add(pass->share, (int64_t)(wire - f.progress.shared_present));
    } else {
        download_share_add(pass->share, -(int64_t)f.progress.shared_present);
    }
    return result;
}

// The delta applied to the old copy of `old_size` bytes with `old_digest`
// into the part file; `made` is the digest of what was written.
DeltaResult apply(RebuildPass *pass, const ManifestEntry *entry, const ManifestDelta *d,
                  const wchar_t *delta_path, const wchar_t *full, const wchar_t *part,
                  uint64_t old_size, const uint8_t old_digest[SHA256_BYTES],
                  uint8_t made[SHA256_BYTES])
{
    DeltaHeader expected;
    memset(&expected, 0, sizeof expected);
    expected.old_size = old_size;
    expected.new_size = entry->size;
    memcpy(expected.old_digest, old_digest, SHA256_BYTES);
    memcpy(expected.new_digest, entry->digest, SHA256_BYTES);
    NewFile n;
    memset(&n, 0, sizeof n);
    n.pass = pass;
    n.share = pass->share;
    n.size = entry->size;
    throttle_reset(&n.bar_pace, progress_tick());
    HANDLE delta = open_to_read(delta_path);
    HANDLE old = CreateFileW(full, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    n.part = CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DeltaResult result = DELTA_WRITE_FAILED;
    if (delta == INVALID_HANDLE_VALUE)
        result = DELTA_READ_FAILED;
    else if (old == INVALID_HANDLE_VALUE)
        result = DELTA_OLD_READ_FAILED;
    else if (n.part == INVALID_HANDLE_VALUE)
        log_wprintf(L"cannot open %s (%lu)", part, GetLastError());
    else if (!digest_ring_open(&n.ring, RUN_BYTES))
        result = DELTA_OUT_OF_MEMORY;
    else
        result = delta_apply(read_delta, delta, d->size, &expected, read_old, old, write_new, &n);
    if (result == DELTA_OK && (!flush_block(&n) || !digest_ring_finish(&n.ring, made)))
        result = DELTA_WRITE_FAILED;
    digest_ring_close(&n.ring);
    close_file(delta);
    close_file(old);
    close_file(n.part);
    return result;
}

// How the way by delta ended.
enum Applied { APPLIED_IN_PLACE, APPLIED_CANCELLED, APPLIED_NOT };

Applied by_delta(RebuildPass *pass, const ManifestEntry *entry, const ManifestDelta *d,
                 const wchar_t *full, const wchar_t *part, uint64_t old_size,
                 const uint8_t old_digest[SHA256_BYTES])
{
    wchar_t delta_path[CLIENT_PATH_CHARS];
    if (format_wide(delta_path, CLIENT_PATH_CHARS, L"%s.delta", full) < 0)
        return APPLIED_NOT;
    FetchResult fetched = fetch_delta(pass, d, delta_path);
    if (fetched == FETCH_CANCELLED)
        return APPLIED_CANCELLED;  // its part file kept for the next pass
    if (fetched != FETCH_IN_PLACE) {
        log_printf("file %s: the delta could not be fetched", entry->path);
        delta_clear(full);
        return APPLIED_NOT;
    }
    uint8_t made[SHA256_BYTES];
    DeltaResult result = apply(pass, entry, d, delta_path, full, part, old_size, old_digest, made);
    if (result != DELTA_OK && *pass->cancel) {
        // Applied again from the kept delta by the next pass.
        DeleteFileW(part);
        return APPLIED_CANCELLED;
    }
    delta_clear(full);
    if (result != DELTA_OK) {
        log_printf("file %s: delta %s", entry->path, delta_result_text(result));
        DeleteFileW(part);
        return APPLIED_NOT;
    }
    if (memcmp(made, entry->digest, SHA256_BYTES) != 0) {
        log_printf("file %s: the delta made another file", entry->path);
        DeleteFileW(part);
        return APPLIED_NOT;
    }
    return part_into_place(part, full) ? APPLIED_IN_PLACE : APPLIED_NOT;
}

}  // namespace

void delta_clear(const wchar_t *full)
{
    wchar_t path[CLIENT_PATH_CHARS];
    if (format_wide(path, CLIENT_PATH_CHARS, L"%s.delta", full) >= 0)
        DeleteFileW(path);
    if (format_wide(path, CLIENT_PATH_CHARS, L"%s.delta.part", full) >= 0)
        DeleteFileW(path);
}

RebuildResult delta_update(RebuildPass *pass, const ManifestEntry *entry, const wchar_t *full)
{
    if (entry->delta_count == 0)
        return REBUILD_WHOLE;
    wchar_t part[CLIENT_PATH_CHARS];
    if (format_wide(part, CLIENT_PATH_CHARS, L"%s.part", full) < 0)
        return REBUILD_WHOLE;
    uint64_t whole = entry_wire_size(entry);
    // A pass that ended between making the file and moving it in left it
    // whole in the part file.
    if (holds(part, entry->size, entry->digest) && part_into_place(part, full)) {
        log_printf("file %s: made by an earlier pass, moved into place", entry->path);
        *pass->wire_bytes -= whole;
        return REBUILD_IN_PLACE;
    }
    uint64_t old_size = 0;
    uint8_t old_digest[SHA256_BYTES];
    if (!old_copy(pass, entry, full, &old_size, old_digest))
        return REBUILD_WHOLE;
    if (*pass->cancel)
        return REBUILD_CANCELLED;
    char from[SHA256_HEX_CHARS];
    hex_encode(old_digest, SHA256_BYTES, from);
    from[SHORT_DIGEST_CHARS] = 0;
    const ManifestDelta *d = cheapest_delta(pass, entry, old_digest);
    if (!d) {
        log_printf("file %s: no delta from %s", entry->path, from);
        return REBUILD_WHOLE;
    }
    uint64_t wire = delta_wire_size(d);
    log_printf("file %s: delta from %s, %llu bytes", entry->path, from, (unsigned long long)wire);
    // The total bar counts what really travels.
    *pass->wire_bytes -= whole - wire;
    Applied applied = by_delta(pass, entry, d, full, part, old_size, old_digest);
    if (applied == APPLIED_IN_PLACE)
        return REBUILD_IN_PLACE;
    *pass->wire_bytes += whole - wire;
    return applied == APPLIED_CANCELLED ? REBUILD_CANCELLED : REBUILD_WHOLE;
}
