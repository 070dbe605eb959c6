// The download phase of an update pass: every pending entry brought in, in
// order, and recorded in the state file.
//
// An object is brought in in two halves: its transfer, and its judgement
// (unpacking what the transfer left behind, checking the digest, moving the
// file into place). Done one after the other, the network waits through
// every judgement, and for the many small files of a client that is as long
// as the transfers themselves. So the judgement of an object runs on a second
// thread while the next object transfers. The pass still reads as one
// object after the other: a judgement is taken in (its record stored, or the
// pass ended with that object's failure) before the next transfer's result
// is, and an entry that depends on an earlier one's file (a copy of the same
// content, the same destination, the foreign d3d9.dll rule) waits for the
// judgement in flight before it starts.
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

// The second thread: judges one handed-over fetch at a time.
struct Judge {
    const MirrorList *mirrors;
    HANDLE thread;
    HANDLE handed;        // auto-reset: `fetch` waits for judgement (null: stop)
    HANDLE judged;        // auto-reset: `result` is ready
    ObjectFetch *fetch;
    int result;
};

DWORD WINAPI judge_thread(void *arg)
{
    Judge *j = (Judge *)arg;
    for (;;) {
        WaitForSingleObject(j->handed, INFINITE);
        if (!j->fetch)
            return 0;
        j->result = fetch_judge(j->fetch, j->mirrors);
        SetEvent(j->judged);
    }
}

// False when the thread cannot run: judgements are then made in turn.
bool judge_start(Judge *j, const MirrorList *mirrors)
{
    memset(j, 0, sizeof *j);
    j->mirrors = mirrors;
    j->handed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    j->judged = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (j->handed && j->judged)
        j->thread = CreateThread(nullptr, 0, judge_thread, j, 0, nullptr);
    return j->thread != nullptr;
}

void judge_stop(Judge *j)
{
    if (j->thread) {
        j->fetch = nullptr;
        SetEvent(j->handed);
        WaitForSingleObject(j->thread, INFINITE);
        CloseHandle(j->thread);
    }
    if (j->handed)
        CloseHandle(j->handed);
    if (j->judged)
        CloseHandle(j->judged);
}

// The phase: the pass, the judge, and the two fetches that take turns (one
// transfers while the other may be in judgement).
struct Phase {
    Pass *pass;
    Judge judge;
    bool threaded;
    ObjectFetch *fetch[2];
    bool in_flight;              // fetch[flight] is handed over or judged
    int flight;
    int flight_k;                // its place in the pending list
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
    ph->in_flight = true;
    ph->flight = slot;
    ph->flight_k = k;
    ObjectFetch *f = ph->fetch[slot];
    if (ph->threaded) {
        ph->judge.fetch = f;
        SetEvent(ph->judge.handed);
    } else {
        ph->judge.result = fetch_judge(f, &ph->pass->mirrors);
    }
}

// Takes in the judgement in flight; false when it ended the pass. A refused
// object goes on through its remaining attempts here, as it would have
// without the overlap.
bool settle(Phase *ph)
{
    if (!ph->in_flight)
        return true;
    ph->in_flight = false;
    if (ph->threaded)
        WaitForSingleObject(ph->judge.judged, INFINITE);
    Pass *pass = ph->pass;
    ObjectFetch *f = ph->fetch[ph->flight];
    int result = fetch_finish(f, &pass->mirrors, pass->mirror_count, ph->judge.result);
    if (result == 1)
        pass->start_index = f->mirror;
    return entry_done(pass, ph->flight_k, result);
}

// Whether entry k must wait for the judgement in flight: it copies an earlier
// entry's file, it shares the destination, or it is the d3d9.dll whose
// foreign copy may be kept under a name an earlier entry brings.
bool depends_on_flight(Phase *ph, int k, const ManifestEntry *entry, const wchar_t *full)
{
    if (!ph->in_flight)
        return false;
    Pass *pass = ph->pass;
    if (CompareStringOrdinal(full, -1, ph->fetch[ph->flight]->destination, -1, TRUE) ==
            CSTR_EQUAL ||
        strcmp(entry->path, "system/d3d9.dll") == 0)
        return true;
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

    if (depends_on_flight(ph, k, entry, full) && !settle(ph))
        return false;
    keep_foreign_d3d9(pass, entry, full);
    if (copy_same_content(pass, k, entry, full)) {
        pass->finished_wire_bytes += entry_wire_size(entry);
        return settle(ph) && entry_done(pass, k, 1);
    }

    post_status(pass->window, L"Downloading %d of %d: %s", k + 1, pass->pending_count, rel);
    int slot = ph->in_flight ? 1 - ph->flight : 0;
    ObjectFetch *f = ph->fetch[slot];
    int result = 0;
    if (fetch_begin(f, pass->window, entry, full, pass->start_index, &pass->params->cancel,
                    pass->finished_wire_bytes, pass->wire_bytes))
        result = fetch_transfer(f, &pass->mirrors, pass->mirror_count);
    // The object before this one is settled first, whatever this transfer
    // came to: records and the pass's end keep the entries' order.
    if (!settle(ph)) {
        fetch_release(f);
        return false;
    }
    if (result != FETCH_TRANSFERRED) {
        fetch_release(f);
        return entry_done(pass, k, result);
    }
    pass->start_index = f->mirror;
    pass->finished_wire_bytes += entry_wire_size(entry);
    hand_over(ph, slot, k);
    return true;
}

}  // namespace

bool download_pending(Pass *pass)
{
    Phase ph;
    memset(&ph, 0, sizeof ph);
    ph.pass = pass;
    pass->save_time = GetTickCount();  // the comparison has just saved
    HANDLE heap = GetProcessHeap();
    ph.fetch[0] = (ObjectFetch *)HeapAlloc(heap, 0, sizeof(ObjectFetch));
    ph.fetch[1] = (ObjectFetch *)HeapAlloc(heap, 0, sizeof(ObjectFetch));
    if (!ph.fetch[0] || !ph.fetch[1]) {
        if (ph.fetch[0])
            HeapFree(heap, 0, ph.fetch[0]);
        post_finished(pass->window, Failed, pass->pending_count);
        return false;
    }
    ph.threaded = pass->pending_count > 1 && judge_start(&ph.judge, &pass->mirrors);

    bool ok = true;
    for (int k = 0; ok && k < pass->pending_count; k++)
        ok = bring_in(&ph, k);
    if (ok)
        ok = settle(&ph);

    judge_stop(&ph.judge);
    HeapFree(heap, 0, ph.fetch[0]);
    HeapFree(heap, 0, ph.fetch[1]);
    return ok;
}
