// The download phase of an update pass: every pending entry brought in, in
// order, and recorded in the state file.
//
// An object is brought in in two halves: its transfer, and its judgement
// (unpacking what the transfer left behind, checking the digest, moving the
// file into place). Done one after the other over one connection, the pass
// waits through every connection's set-up, every round trip and every
// judgement. So transfers run on carrier threads, several objects on the
// wire at once, each carrier over a session of its own whose connections
// stay open from one object to the next, and judgements run on a thread of
// their own while later objects transfer. The pass still reads as one object
// after the other: status lines are posted in the entries' order, results
// are taken in oldest first on the worker thread (a record stored, or the
// pass ended with that object's failure) and all of them before the pass
// reports a later entry's end, and an entry that depends on an earlier one's
// file (a copy of the same content, the same destination, the foreign
// d3d9.dll rule) waits until everything in flight is taken in.
#include "update/flight.h"

#include <string.h>

namespace {

// Records of downloaded files reach the state file at least this often (and
// whenever the download loop ends). Saving after each file writes the whole
// file each time: for a fresh install of thousands of small files that is
// quadratic and took longer than hashing them. A crash loses the records of
// at most this last stretch; those files are in place with verified content
// and the next pass hashes them once instead of trusting a record.
const uint32_t RECORD_SAVE_MS = 1000;

// Saves the records of the files brought in so far, when there are new ones
// and (unless `now_anyway`) the last save is RECORD_SAVE_MS old.
void save_records(Pass *pass, bool now_anyway)
{
    uint32_t now = GetTickCount();
    if (!pass->unsaved || (!now_anyway && now - pass->save_time < RECORD_SAVE_MS))
        return;
    state_save(&pass->state, pass->folder);
    pass->save_time = now;
    pass->unsaved = false;
}

// What an entry's download came to: its record, or the pass's end with the
// entries left from k on.
bool entry_done(Phase *ph, int k, FetchResult result)
{
    Pass *pass = ph->pass;
    const ManifestEntry *entry = manifest_item(&pass->manifest, pass->pending[k]);
    wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
    client_file_path(entry->path, pass->folder, rel, full);
    if (result != FETCH_IN_PLACE) {
        save_records(pass, true);
        close_bars(&ph->share, pass->window);
        if (result == FETCH_CANCELLED) {
            post_status(pass->window, L"Cancelled.");
            post_finished(pass->window, UpdateNeeded, pass->pending_count - k);
        } else {
            post_status(pass->window, L"Connection Failure: %s", rel);
            post_finished(pass->window, Failed, pass->pending_count - k);
        }
        return false;
    }
    // A seed file is recorded too: the comparison never reads its record (a
    // seed file only has to exist), but the uninstall removes what the
    // state lists, and the launcher put this one there.
    uint64_t size = 0, time = 0;
    if (file_info(full, &size, &time)) {
        record_file(&pass->state, entry, size, time);
        pass->unsaved = true;
        save_records(pass, false);
    }
    return true;
}

// Takes in the oldest result in flight, waiting for it unless `wait` is
// false and it is not ready; false when it ended the pass (or, without
// `wait`, when it is not ready: check `count`). A refused object goes on
// through its remaining attempts here, as it would have without the
// overlap.
bool settle_oldest(Phase *ph, bool wait, bool *ended)
{
    Slot *s = slot_at(ph, 0);
    EnterCriticalSection(&ph->lock);
    while (wait && s->stage != JUDGED)
        flight_wait_results(ph);
    bool ready = s->stage == JUDGED;
    LeaveCriticalSection(&ph->lock);
    if (!ready)
        return false;
    Pass *pass = ph->pass;
    ObjectFetch *f = &s->fetch;
    FetchResult result = fetch_finish(f, &pass->mirrors, pass->mirror_count, s->result);
    if (result == FETCH_IN_PLACE) {
        pass->start_index = f->mirror;
        // The object counts with its wire size, whatever its transfers moved.
        download_share_add(&ph->share,
                           (int64_t)(entry_wire_size(f->entry) - f->progress.shared_present));
    }
    EnterCriticalSection(&ph->lock);
    ph->first = (ph->first + 1) % ph->slots;
    ph->count--;
    set_stage(ph, s, FREE);
    LeaveCriticalSection(&ph->lock);
    *ended = !entry_done(ph, s->k, result);
    return !*ended;
}

// Once the pass has ended: everything still in flight is stopped and
// released untaken (a judgement already under way completes), part files
// kept for the next pass.
void abandon_rest(Phase *ph)
{
    InterlockedExchange(&ph->share.abandon, 1);
    EnterCriticalSection(&ph->lock);
    for (int i = 0; i < ph->count; i++) {
        Slot *s = slot_at(ph, i);
        if (s->stage == QUEUED)
            ph->on_wire--;
        if (s->stage == QUEUED || s->stage == TO_JUDGE)
            set_stage(ph, s, JUDGED);
    }
    for (int i = 0; i < ph->count; i++)
        while (slot_at(ph, i)->stage != JUDGED)
            SleepConditionVariableCS(&ph->results, &ph->lock, INFINITE);
    for (; ph->count > 0; ph->count--) {
        fetch_release(&slot_at(ph, 0)->fetch);
        slot_at(ph, 0)->stage = FREE;
        ph->first = (ph->first + 1) % ph->slots;
    }
    LeaveCriticalSection(&ph->lock);
}

// Takes in every result in flight (`wait`), or those that are ready, in
// order; false when one ended the pass.
bool settle_in_order(Phase *ph, bool wait)
{
    bool ended = false;
    while (ph->count > 0 && settle_oldest(ph, wait, &ended)) {
    }
    if (ended)
        abandon_rest(ph);
    return !ended;
}

// Waits, taking in results as they come, until one more object may go on
// the wire: a free slot and a free connection. False when the pass ended.
bool make_room(Phase *ph)
{
    for (;;) {
        if (!settle_in_order(ph, false))
            return false;
        EnterCriticalSection(&ph->lock);
        bool room = ph->count < ph->slots && ph->on_wire < ph->connections &&
                    ph->live_count < ph->connections + JUDGE_BACKLOG;
        if (!room && slot_at(ph, 0)->stage != JUDGED)
            flight_wait_results(ph);
        LeaveCriticalSection(&ph->lock);
        if (room)
            return true;
    }
}

// Whether entry k must wait for the judgements in flight: it copies an
// earlier entry's file, it shares a destination, or it is the d3d9.dll whose
// foreign copy may be kept under a name an earlier entry brings.
bool depends_on_flight(Phase *ph, int k, const ManifestEntry *entry, const wchar_t *full)
{
    if (ph->count == 0)
        return false;
    if (strcmp(entry->path, "system/d3d9.dll") == 0)
        return true;
    for (int i = 0; i < ph->count; i++) {
        const wchar_t *other = slot_at(ph, i)->fetch.destination;
        if (CompareStringOrdinal(full, -1, other, -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    Pass *pass = ph->pass;
    for (int j = 0; j < k; j++) {
        const ManifestEntry *earlier = manifest_item(&pass->manifest, pass->pending[j]);
        if (memcmp(earlier->digest, entry->digest, SHA256_BYTES) == 0)
            return true;
    }
    return false;
}

// Keeps a foreign "system/d3d9.dll" (one the launcher did not install) as
// "system/d3d9_dxvk.dll" before the release's own file replaces it.
void keep_foreign_d3d9(Pass *pass, const ManifestEntry *entry, const wchar_t *full)
{
    if (strcmp(entry->path, "system/d3d9.dll") != 0 || state_find(&pass->state, entry->path) ||
        !file_info(full, nullptr, nullptr))
        return;
    wchar_t kept[CLIENT_PATH_CHARS];
    path_join(kept, CLIENT_PATH_CHARS, pass->folder, L"system\\d3d9_dxvk.dll");
    if (kept[0] && !file_info(kept, nullptr, nullptr) && MoveFileExW(full, kept, 0))
        log_printf("foreign %s kept as %s", "system/d3d9.dll", "system/d3d9_dxvk.dll");
}

// A copy of an earlier pending entry with the same content, made locally.
bool copy_same_content(Pass *pass, int k, const ManifestEntry *entry, const wchar_t *full)
{
    for (int j = 0; j < k; j++) {
        const ManifestEntry *earlier = manifest_item(&pass->manifest, pass->pending[j]);
        if (memcmp(earlier->digest, entry->digest, SHA256_BYTES) != 0)
            continue;
        wchar_t rel[CLIENT_REL_CHARS], source[CLIENT_PATH_CHARS];
        client_file_path(earlier->path, pass->folder, rel, source);
        return source[0] && make_parent_dirs(full) && CopyFileW(source, full, FALSE);
    }
    return false;
}

// Entry k: copied, or put on the wire. False when the pass ended.
bool bring_in(Phase *ph, int k)
{
    Pass *pass = ph->pass;
    const ManifestEntry *entry = manifest_item(&pass->manifest, pass->pending[k]);
    wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
    client_file_path(entry->path, pass->folder, rel, full);
    if (!make_room(ph))
        return false;
    uint64_t done = download_share_done(&ph->share);
    if (done > pass->wire_bytes)
        done = pass->wire_bytes;  // a plain object in place of a packed one
    uint32_t total_permille = pass->wire_bytes ? (uint32_t)(done * 1000 / pass->wire_bytes) : 0;
    post_bar(&ph->share, pass->window, BAR_TOTAL, total_permille);
    post_bar(&ph->share, pass->window, BAR_FILE, 0);

    if (depends_on_flight(ph, k, entry, full) && !settle_in_order(ph, true))
        return false;
    keep_foreign_d3d9(pass, entry, full);
    if (copy_same_content(pass, k, entry, full)) {
        download_share_add(&ph->share, (int64_t)entry_wire_size(entry));
        return settle_in_order(ph, true) && entry_done(ph, k, FETCH_IN_PLACE);
    }

    post_status(pass->window, L"Downloading %d of %d: %s", k + 1, pass->pending_count, rel);
    if (entry->delta_count > 0 || entry->has_chunks) {
        // Made alone: a delta or the chunks' cutting reads the old copy,
        // and the chunks take every connection. A delta from the player's
        // copy first, then chunks, then the whole object.
        if (!settle_in_order(ph, true))
            return false;
        RebuildResult made = delta_update(&ph->rebuild, entry, full);
        if (made == REBUILD_WHOLE)
            made = chunked_update(&ph->rebuild, entry, full);
        switch (made) {
        case REBUILD_IN_PLACE:
            return entry_done(ph, k, FETCH_IN_PLACE);
        case REBUILD_FAILED:
            return entry_done(ph, k, FETCH_FAILED);
        case REBUILD_CANCELLED:
            return entry_done(ph, k, FETCH_CANCELLED);
        case REBUILD_WHOLE:
            break;
        }
        done = download_share_done(&ph->share);
        if (done > pass->wire_bytes)
            done = pass->wire_bytes;
    }
    Slot *s = &ph->slot[(ph->first + ph->count) % ph->slots];
    ObjectFetch *f = &s->fetch;
    if (!fetch_begin(f, pass->window, entry, full, pass->start_index, &pass->params->cancel,
                     done, pass->wire_bytes, nullptr)) {
        // The objects before this one are taken in first: records and the
        // pass's end keep the entries' order.
        return settle_in_order(ph, true) && entry_done(ph, k, FETCH_FAILED);
    }
    f->progress.share = &ph->share;
    f->progress.ticket = k;
    f->unpackers = ph->unpackers;
    s->k = k;
    InterlockedExchange(&ph->share.speaker, k);
    EnterCriticalSection(&ph->lock);
    f->body_buffer = slot_queue(ph, s, entry->packed_size != 0 &&
                                           entry->packed_size < FETCH_MEMORY_BYTES);
    LeaveCriticalSection(&ph->lock);
    if (!ph->threaded)
        flight_in_turn(ph, s);
    return settle_in_order(ph, false);
}

}  // namespace

bool download_pending(Pass *pass)
{
    pass->save_time = GetTickCount();  // the comparison has just saved
    Phase *ph = flight_open(pass);
    if (!ph) {
        post_finished(pass->window, Failed, pass->pending_count);
        return false;
    }
    bool ok = true;
    for (int k = 0; ok && k < pass->pending_count; k++)
        ok = bring_in(ph, k);
    if (ok)
        ok = settle_in_order(ph, true);
    for (int k = 0; ok && k < pass->pending_count; k++) {
        const ManifestEntry *entry = manifest_item(&pass->manifest, pass->pending[k]);
        wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
        client_file_path(entry->path, pass->folder, rel, full);
        if (entry->delta_count > 0 && full[0])
            delta_clear(full);
    }
    close_bars(&ph->share, pass->window);
    flight_close(ph);
    return ok;
}
