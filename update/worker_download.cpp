// The download phase of an update pass: every pending entry brought in, in
// order, and recorded in the state file.
//
// An object is brought in in two halves: its transfer, and its judgement
// (unpacking what the transfer left behind, checking the digest, moving the
// file into place). Done one after the other, the network waits through
// every judgement, and for the many small files of a client that is as long
// as the transfers themselves. So judgements run on a second thread, in
// order, while the next objects transfer. The pass still reads as one object
// after the other: judgements are taken in oldest first (a record stored, or
// the pass ended with that object's failure) and all of them before the pass
// reports a later entry's end, and an entry that depends on an earlier one's
// file (a copy of the same content, the same destination, the foreign
// d3d9.dll rule) waits until every judgement in flight is taken in.
#include "update/pass.h"

#include <string.h>

namespace {

// Records of downloaded files reach the state file at least this often (and
// whenever the download loop ends). Saving after each file writes the whole
// file each time: for a fresh install of thousands of small files that is
// quadratic and took longer than hashing them. A crash loses the records of
// at most this last stretch; those files are in place with verified content
// and the next pass hashes them once instead of trusting a record.
const uint32_t RECORD_SAVE_MS = 1000;

// Transferred objects waiting for (or in) judgement at most. One slow
// judgement (a large, well-packed object whose unpacking trails its
// download) then does not hold up the transfers behind it.
const int QUEUE_SLOTS = 4;

// The second thread judges the handed-over fetches one after the other, in
// the order they were handed over.
struct Judge {
    const MirrorList *mirrors;
    HANDLE thread;
    HANDLE handed;                 // semaphore: fetches handed over, not yet taken
    HANDLE judged;                 // semaphore: judgements made, not yet taken in
    ObjectFetch *fetch[QUEUE_SLOTS];
    int result[QUEUE_SLOTS];
    int next;                      // the thread's: slot it judges next
    volatile LONG stop;            // end the thread at its next handed slot
    volatile LONG abandon;         // release what is handed, judge nothing more
};

DWORD WINAPI judge_thread(void *arg)
{
    Judge *j = (Judge *)arg;
    for (;;) {
        WaitForSingleObject(j->handed, INFINITE);
        if (j->stop)
            return 0;
        int slot = j->next;
        j->next = (j->next + 1) % QUEUE_SLOTS;
        j->result[slot] = j->abandon ? 0 : fetch_judge(j->fetch[slot], j->mirrors);
        ReleaseSemaphore(j->judged, 1, nullptr);
    }
}

// False when the thread cannot run: judgements are then made in turn.
bool judge_start(Judge *j, const MirrorList *mirrors, ObjectFetch *fetches)
{
    memset(j, 0, sizeof *j);
    j->mirrors = mirrors;
    for (int i = 0; i < QUEUE_SLOTS; i++)
        j->fetch[i] = &fetches[i];
    j->handed = CreateSemaphoreW(nullptr, 0, QUEUE_SLOTS + 1, nullptr);
    j->judged = CreateSemaphoreW(nullptr, 0, QUEUE_SLOTS, nullptr);
    if (j->handed && j->judged)
        j->thread = CreateThread(nullptr, 0, judge_thread, j, 0, nullptr);
    return j->thread != nullptr;
}

// Ends the thread once it has dealt with everything handed over.
void judge_stop(Judge *j)
{
    if (j->thread) {
        InterlockedExchange(&j->stop, 1);
        ReleaseSemaphore(j->handed, 1, nullptr);
        WaitForSingleObject(j->thread, INFINITE);
        CloseHandle(j->thread);
    }
    if (j->handed)
        CloseHandle(j->handed);
    if (j->judged)
        CloseHandle(j->judged);
}

// The phase: the pass, the judge, and the fetches in flight, oldest first:
// slots first .. first + count - 1 (modulo QUEUE_SLOTS) of `fetches`.
struct Phase {
    Pass *pass;
    Judge judge;
    bool threaded;
    ObjectFetch *fetches;
    char *bodies;                // FETCH_MEMORY_BYTES per slot, or null
    int first;
    int count;
    int k[QUEUE_SLOTS];          // each slot's place in the pending list
};

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

// What an entry's download came to (1, 0 or -1, as download_object gives
// it): its record, or the pass's end with the entries left from k on.
bool entry_done(Pass *pass, int k, int result)
{
    const ManifestEntry *entry = manifest_item(&pass->manifest, pass->pending[k]);
    wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
    client_file_path(entry->path, pass->folder, rel, full);
    if (result != 1) {
        save_records(pass, true);
        if (result == -1) {
            post_status(pass->window, L"Cancelled.");
            post_finished(pass->window, UpdateNeeded, pass->pending_count - k);
        } else {
            post_status(pass->window, L"Connection Failure: %s", rel);
            post_finished(pass->window, Failed, pass->pending_count - k);
        }
        return false;
    }
    uint64_t size = 0, time = 0;
    if (!entry->seed && file_info(full, &size, &time)) {
        record_file(&pass->state, entry, size, time);
        pass->unsaved = true;
        save_records(pass, false);
    }
    return true;
}

// Starts the judgement of a transferred fetch (on the spot without a thread).
void hand_over(Phase *ph, int slot, int k)
{
    ph->k[slot] = k;
    ph->count++;
    if (ph->threaded)
        ReleaseSemaphore(ph->judge.handed, 1, nullptr);
    else
        ph->judge.result[slot] = fetch_judge(&ph->fetches[slot], &ph->pass->mirrors);
}

// Takes in the oldest judgement in flight, waiting for it unless `wait` is
// false and it is not ready; false when it ended the pass (or, without
// `wait`, when it is not ready: check `count`). A refused object goes on
// through its remaining attempts here, as it would have without the
// overlap.
bool settle_oldest(Phase *ph, bool wait, bool *ended)
{
    if (ph->threaded &&
        WaitForSingleObject(ph->judge.judged, wait ? INFINITE : 0) != WAIT_OBJECT_0)
        return false;
    Pass *pass = ph->pass;
    int slot = ph->first;
    ph->first = (ph->first + 1) % QUEUE_SLOTS;
    ph->count--;
    ObjectFetch *f = &ph->fetches[slot];
    int result = fetch_finish(f, &pass->mirrors, pass->mirror_count, ph->judge.result[slot]);
    if (result == 1)
        pass->start_index = f->mirror;
    *ended = !entry_done(pass, ph->k[slot], result);
    return !*ended;
}

// Once the pass has ended: the judgements still in flight are released
// unjudged (a judgement already under way completes), part files kept.
void abandon_rest(Phase *ph)
{
    InterlockedExchange(&ph->judge.abandon, 1);
    while (ph->count > 0) {
        if (ph->threaded)
            WaitForSingleObject(ph->judge.judged, INFINITE);
        fetch_release(&ph->fetches[ph->first]);
        ph->first = (ph->first + 1) % QUEUE_SLOTS;
        ph->count--;
    }
}

// Takes in every judgement in flight (`wait`), or those that are ready, in
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
        const wchar_t *other = ph->fetches[(ph->first + i) % QUEUE_SLOTS].destination;
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

// Entry k: copied, or transferred and handed over for judgement. False when
// the pass ended.
bool bring_in(Phase *ph, int k)
{
    Pass *pass = ph->pass;
    const ManifestEntry *entry = manifest_item(&pass->manifest, pass->pending[k]);
    wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
    client_file_path(entry->path, pass->folder, rel, full);
    uint32_t total_permille = pass->wire_bytes
        ? (uint32_t)(pass->finished_wire_bytes * 1000 / pass->wire_bytes) : 0;
    PostMessageW(pass->window, WM_LAUNCHER_TOTAL_PROGRESS, total_permille, 0);
    PostMessageW(pass->window, WM_LAUNCHER_FILE_PROGRESS, 0, 0);

    if (depends_on_flight(ph, k, entry, full) && !settle_in_order(ph, true))
        return false;
    keep_foreign_d3d9(pass, entry, full);
    if (copy_same_content(pass, k, entry, full)) {
        pass->finished_wire_bytes += entry_wire_size(entry);
        return settle_in_order(ph, true) && entry_done(pass, k, 1);
    }

    post_status(pass->window, L"Downloading %d of %d: %s", k + 1, pass->pending_count, rel);
    bool ended = false;
    if (ph->count == QUEUE_SLOTS && !settle_oldest(ph, true, &ended)) {
        abandon_rest(ph);
        return false;
    }
    int slot = (ph->first + ph->count) % QUEUE_SLOTS;
    ObjectFetch *f = &ph->fetches[slot];
    int result = 0;
    char *body = ph->bodies ? ph->bodies + (size_t)slot * FETCH_MEMORY_BYTES : nullptr;
    if (fetch_begin(f, pass->window, entry, full, pass->start_index, &pass->params->cancel,
                    pass->finished_wire_bytes, pass->wire_bytes, body))
        result = fetch_transfer(f, &pass->mirrors, pass->mirror_count);
    if (result != FETCH_TRANSFERRED) {
        // The objects before this one are settled first: records and the
        // pass's end keep the entries' order.
        fetch_release(f);
        return settle_in_order(ph, true) && entry_done(pass, k, result);
    }
    pass->start_index = f->mirror;
    pass->finished_wire_bytes += entry_wire_size(entry);
    hand_over(ph, slot, k);
    return settle_in_order(ph, false);
}

}  // namespace

bool download_pending(Pass *pass)
{
    Phase ph;
    memset(&ph, 0, sizeof ph);
    ph.pass = pass;
    pass->save_time = GetTickCount();  // the comparison has just saved
    HANDLE heap = GetProcessHeap();
    ph.fetches = (ObjectFetch *)HeapAlloc(heap, 0, QUEUE_SLOTS * sizeof(ObjectFetch));
    if (!ph.fetches) {
        post_finished(pass->window, Failed, pass->pending_count);
        return false;
    }
    // Without them small objects take the way through part files.
    ph.bodies = (char *)HeapAlloc(heap, 0, (SIZE_T)QUEUE_SLOTS * FETCH_MEMORY_BYTES);
    ph.threaded = pass->pending_count > 1 && judge_start(&ph.judge, &pass->mirrors, ph.fetches);

    bool ok = true;
    for (int k = 0; ok && k < pass->pending_count; k++)
        ok = bring_in(&ph, k);
    if (ok)
        ok = settle_in_order(&ph, true);

    judge_stop(&ph.judge);
    if (ph.bodies)
        HeapFree(heap, 0, ph.bodies);
    HeapFree(heap, 0, ph.fetches);
    return ok;
}
