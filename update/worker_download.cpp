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
#include "update/pass.h"

#include "net/net.h"

#include <string.h>

namespace {

// Records of downloaded files reach the state file at least this often (and
// whenever the download loop ends). Saving after each file writes the whole
// file each time: for a fresh install of thousands of small files that is
// quadratic and took longer than hashing them. A crash loses the records of
// at most this last stretch; those files are in place with verified content
// and the next pass hashes them once instead of trusting a record.
const uint32_t RECORD_SAVE_MS = 1000;

// Transferred objects that may wait for (or be in) judgement beside those on
// the wire: one slow judgement (a large, well-packed object whose unpacking
// trails its download) then does not hold up the transfers behind it.
const int JUDGE_BACKLOG = 4;
const int MAX_SLOTS = DOWNLOAD_CONNECTIONS_MAX + JUDGE_BACKLOG;

int g_connections = DOWNLOAD_CONNECTIONS;

// A slot's way: free (out of the ring), queued for a carrier, on the wire,
// waiting for the judge, judged (or transferred in vain): its result can be
// taken in.
enum Stage { FREE, QUEUED, TRANSFERRING, TO_JUDGE, JUDGING, JUDGED };

struct Slot {
    ObjectFetch fetch;
    int stage;
    int result;   // once JUDGED: fetch_judge's result, or the transfer's 0 / -1
    int k;        // the entry's place in the pending list
};

// The phase: the pass, its threads, and the slots in flight, oldest first:
// first .. first + count - 1 (modulo `slots`). Stages change under `lock`,
// and every change wakes everyone waiting on `changed`.
struct Phase {
    Pass *pass;
    int connections;
    int slots;
    Slot *slot;
    char *bodies;                // FETCH_MEMORY_BYTES per slot, or null
    int first;
    int count;
    int on_wire;                 // slots QUEUED or TRANSFERRING
    DownloadShare share;
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE changed;
    HANDLE thread[DOWNLOAD_CONNECTIONS_MAX + 1];
    int threads;
    bool stop;                   // the threads end once nothing is left for them
    bool threaded;               // false: each object transferred and judged in turn
};

Slot *slot_at(Phase *ph, int i)
{
    return &ph->slot[(ph->first + i) % ph->slots];
}

// The oldest slot in `stage`, under the lock; null when there is none.
Slot *oldest_in(Phase *ph, int stage)
{
    for (int i = 0; i < ph->count; i++)
        if (slot_at(ph, i)->stage == stage)
            return slot_at(ph, i);
    return nullptr;
}

void set_stage(Phase *ph, Slot *s, int stage)
{
    s->stage = stage;
    WakeAllConditionVariable(&ph->changed);
}

// Waits under the lock for the next slot in `stage`; null once the threads
// are to end.
Slot *take(Phase *ph, int stage)
{
    for (;;) {
        Slot *s = oldest_in(ph, stage);
        if (s || ph->stop)
            return s;
        SleepConditionVariableCS(&ph->changed, &ph->lock, INFINITE);
    }
}

// The file bar follows the newest object on the wire: when the one it
// followed ends, the newest still transferring takes over.
void pass_speaker_on(Phase *ph, const Slot *ended)
{
    if (ph->share.speaker != ended->k)
        return;
    for (int i = ph->count - 1; i >= 0; i--)
        if (slot_at(ph, i) != ended && slot_at(ph, i)->stage == TRANSFERRING) {
            InterlockedExchange(&ph->share.speaker, slot_at(ph, i)->k);
            return;
        }
}

// Where a carrier has left a transfer: the judge's turn, or a result.
void transfer_ended(Phase *ph, Slot *s, int result)
{
    ph->on_wire--;
    pass_speaker_on(ph, s);
    if (result == FETCH_TRANSFERRED) {
        ph->pass->start_index = s->fetch.mirror;
        set_stage(ph, s, TO_JUDGE);
    } else {
        s->result = result;
        set_stage(ph, s, JUDGED);
    }
}

DWORD WINAPI carrier_thread(void *arg)
{
    Phase *ph = (Phase *)arg;
    Pass *pass = ph->pass;
    // Kept for every object this carrier transfers (null: a session per GET).
    void *session = http_open_session();
    EnterCriticalSection(&ph->lock);
    while (Slot *s = take(ph, QUEUED)) {
        set_stage(ph, s, TRANSFERRING);
        LeaveCriticalSection(&ph->lock);
        s->fetch.session = session;
        int result = fetch_transfer(&s->fetch, &pass->mirrors, pass->mirror_count);
        s->fetch.session = nullptr;
        EnterCriticalSection(&ph->lock);
        transfer_ended(ph, s, result);
    }
    LeaveCriticalSection(&ph->lock);
    http_close_session(session);
    return 0;
}

DWORD WINAPI judge_thread(void *arg)
{
    Phase *ph = (Phase *)arg;
    EnterCriticalSection(&ph->lock);
    while (Slot *s = take(ph, TO_JUDGE)) {
        set_stage(ph, s, JUDGING);
        LeaveCriticalSection(&ph->lock);
        int result = ph->share.abandon ? 0 : fetch_judge(&s->fetch, &ph->pass->mirrors);
        EnterCriticalSection(&ph->lock);
        s->result = result;
        set_stage(ph, s, JUDGED);
    }
    LeaveCriticalSection(&ph->lock);
    return 0;
}

// Ends the threads once they have dealt with everything handed to them.
void stop_threads(Phase *ph)
{
    EnterCriticalSection(&ph->lock);
    ph->stop = true;
    WakeAllConditionVariable(&ph->changed);
    LeaveCriticalSection(&ph->lock);
    WaitForMultipleObjects((DWORD)ph->threads, ph->thread, TRUE, INFINITE);
    for (int i = 0; i < ph->threads; i++)
        CloseHandle(ph->thread[i]);
    ph->threads = 0;
}

// The judge and one carrier per connection; false (none left running) when
// any of them cannot start: objects are then transferred and judged in turn.
bool start_threads(Phase *ph)
{
    ph->thread[ph->threads] = CreateThread(nullptr, 0, judge_thread, ph, 0, nullptr);
    if (ph->thread[ph->threads])
        ph->threads++;
    for (int i = 0; i < ph->connections && ph->threads == i + 1; i++) {
        ph->thread[ph->threads] = CreateThread(nullptr, 0, carrier_thread, ph, 0, nullptr);
        if (ph->thread[ph->threads])
            ph->threads++;
    }
    if (ph->threads == ph->connections + 1)
        return true;
    stop_threads(ph);
    return false;
}

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
        SleepConditionVariableCS(&ph->changed, &ph->lock, INFINITE);
    bool ready = s->stage == JUDGED;
    LeaveCriticalSection(&ph->lock);
    if (!ready)
        return false;
    Pass *pass = ph->pass;
    ObjectFetch *f = &s->fetch;
    int result = fetch_finish(f, &pass->mirrors, pass->mirror_count, s->result);
    if (result == 1) {
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
    *ended = !entry_done(pass, s->k, result);
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
            SleepConditionVariableCS(&ph->changed, &ph->lock, INFINITE);
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
        bool room = ph->count < ph->slots && ph->on_wire < ph->connections;
        if (!room && slot_at(ph, 0)->stage != JUDGED)
            SleepConditionVariableCS(&ph->changed, &ph->lock, INFINITE);
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
    PostMessageW(pass->window, WM_LAUNCHER_TOTAL_PROGRESS, total_permille, 0);
    PostMessageW(pass->window, WM_LAUNCHER_FILE_PROGRESS, 0, 0);

    if (depends_on_flight(ph, k, entry, full) && !settle_in_order(ph, true))
        return false;
    keep_foreign_d3d9(pass, entry, full);
    if (copy_same_content(pass, k, entry, full)) {
        download_share_add(&ph->share, (int64_t)entry_wire_size(entry));
        return settle_in_order(ph, true) && entry_done(pass, k, 1);
    }

    post_status(pass->window, L"Downloading %d of %d: %s", k + 1, pass->pending_count, rel);
    int index = (ph->first + ph->count) % ph->slots;
    Slot *s = &ph->slot[index];
    ObjectFetch *f = &s->fetch;
    char *body = ph->bodies ? ph->bodies + (size_t)index * FETCH_MEMORY_BYTES : nullptr;
    if (!fetch_begin(f, pass->window, entry, full, pass->start_index, &pass->params->cancel,
                     done, pass->wire_bytes, body)) {
        // The objects before this one are taken in first: records and the
        // pass's end keep the entries' order.
        return settle_in_order(ph, true) && entry_done(pass, k, 0);
    }
    f->progress.share = &ph->share;
    f->progress.ticket = k;
    s->k = k;
    InterlockedExchange(&ph->share.speaker, k);
    EnterCriticalSection(&ph->lock);
    ph->count++;
    ph->on_wire++;
    set_stage(ph, s, QUEUED);
    LeaveCriticalSection(&ph->lock);
    if (!ph->threaded) {
        set_stage(ph, s, TRANSFERRING);
        int result = fetch_transfer(f, &pass->mirrors, pass->mirror_count);
        transfer_ended(ph, s, result);
        if (s->stage == TO_JUDGE) {
            s->result = fetch_judge(f, &pass->mirrors);
            s->stage = JUDGED;
        }
    }
    return settle_in_order(ph, false);
}

}  // namespace

int worker_set_connections(int count)
{
    int before = g_connections;
    g_connections = count >= 1 && count <= DOWNLOAD_CONNECTIONS_MAX ? count : DOWNLOAD_CONNECTIONS;
    return before;
}

bool download_pending(Pass *pass)
{
    Phase *ph = (Phase *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Phase));
    if (!ph) {
        post_finished(pass->window, Failed, pass->pending_count);
        return false;
    }
    ph->pass = pass;
    ph->connections = g_connections;
    ph->slots = ph->connections + JUDGE_BACKLOG;
    pass->save_time = GetTickCount();  // the comparison has just saved
    HANDLE heap = GetProcessHeap();
    ph->slot = (Slot *)HeapAlloc(heap, HEAP_ZERO_MEMORY, MAX_SLOTS * sizeof(Slot));
    if (!ph->slot) {
        HeapFree(heap, 0, ph);
        post_finished(pass->window, Failed, pass->pending_count);
        return false;
    }
    // Without them small objects take the way through part files.
    ph->bodies = (char *)HeapAlloc(heap, 0, (SIZE_T)ph->slots * FETCH_MEMORY_BYTES);
    InitializeCriticalSection(&ph->lock);
    InitializeConditionVariable(&ph->changed);
    ph->threaded = pass->pending_count > 1 && start_threads(ph);

    bool ok = true;
    for (int k = 0; ok && k < pass->pending_count; k++)
        ok = bring_in(ph, k);
    if (ok)
        ok = settle_in_order(ph, true);

    if (ph->threaded)
        stop_threads(ph);
    DeleteCriticalSection(&ph->lock);
    if (ph->bodies)
        HeapFree(heap, 0, ph->bodies);
    HeapFree(heap, 0, ph->slot);
    HeapFree(heap, 0, ph);
    return ok;
}
