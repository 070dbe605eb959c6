// Carriers and judge of the download phase. Every stage change happens under
// the phase's lock and wakes the thread waiting for it: a carrier for a
// queued slot, the judge for a transferred one, the phase for results and
// room.
#include "update/flight.h"

#include "net/net.h"

namespace {

int g_connections = DOWNLOAD_CONNECTIONS;

// The oldest slot in `stage` (not JUDGED), under the lock; null when there
// is none.
Slot *oldest_in(Phase *ph, Stage stage)
{
    for (int i = 0; i < ph->live_count; i++)
        if (ph->live[i]->stage == stage)
            return ph->live[i];
    return nullptr;
}

// Waits under the lock for the next slot in `stage`; null once the threads
// are to end.
Slot *take(Phase *ph, Stage stage)
{
    for (;;) {
        Slot *s = oldest_in(ph, stage);
        if (s || ph->stop)
            return s;
        SleepConditionVariableCS(stage == QUEUED ? &ph->carriers : &ph->judge, &ph->lock,
                                 INFINITE);
    }
}

// The file bar follows the newest object on the wire: when the one it
// followed ends, the newest still transferring takes over.
void pass_speaker_on(Phase *ph, const Slot *ended)
{
    if (ph->share.speaker != ended->k)
        return;
    for (int i = ph->live_count - 1; i >= 0; i--)
        if (ph->live[i] != ended && ph->live[i]->stage == TRANSFERRING) {
            InterlockedExchange(&ph->share.speaker, ph->live[i]->k);
            return;
        }
}

// Where a transfer has left a slot (the lock held): the judge's turn, or a
// result.
void transfer_ended(Phase *ph, Slot *s, FetchResult result)
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

}  // namespace

Slot *slot_at(Phase *ph, int i)
{
    return &ph->slot[(ph->first + i) % ph->slots];
}

void set_stage(Phase *ph, Slot *s, Stage stage)
{
    if (stage == JUDGED && s->stage != JUDGED) {
        int i = 0;
        while (ph->live[i] != s)
            i++;
        for (ph->live_count--; i < ph->live_count; i++)
            ph->live[i] = ph->live[i + 1];
        if (s->body >= 0)
            ph->free_body[ph->free_bodies++] = s->body;
        s->body = -1;
        s->fetch.body_buffer = nullptr;
    }
    s->stage = stage;
    if (stage == QUEUED)
        WakeConditionVariable(&ph->carriers);
    if (stage == TO_JUDGE)
        WakeConditionVariable(&ph->judge);
    // A slot that leaves the wire (transferred or not) makes room for
    // another; a judged one may be the result the phase waits for.
    if (stage == TO_JUDGE || stage == JUDGED)
        WakeConditionVariable(&ph->results);
}

char *slot_queue(Phase *ph, Slot *s, bool wants_body)
{
    s->body = wants_body && ph->bodies && ph->free_bodies > 0
        ? ph->free_body[--ph->free_bodies] : -1;
    ph->count++;
    ph->on_wire++;
    ph->live[ph->live_count++] = s;
    set_stage(ph, s, QUEUED);
    return s->body >= 0 ? ph->bodies + (size_t)s->body * FETCH_MEMORY_BYTES : nullptr;
}

namespace {

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
        FetchResult result = fetch_transfer(&s->fetch, &pass->mirrors, pass->mirror_count);
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
        FetchResult result =
            ph->share.abandon ? FETCH_FAILED : fetch_judge(&s->fetch, &ph->pass->mirrors);
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
    WakeAllConditionVariable(&ph->carriers);
    WakeAllConditionVariable(&ph->judge);
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

}  // namespace

void flight_wait_results(Phase *ph)
{
    uint32_t wait = post_due_bars(&ph->share, ph->pass->window);
    SleepConditionVariableCS(&ph->results, &ph->lock, wait == UINT32_MAX ? INFINITE : wait);
    post_due_bars(&ph->share, ph->pass->window);
}

void flight_in_turn(Phase *ph, Slot *s)
{
    set_stage(ph, s, TRANSFERRING);
    FetchResult result = fetch_transfer(&s->fetch, &ph->pass->mirrors, ph->pass->mirror_count);
    transfer_ended(ph, s, result);
    if (s->stage == TO_JUDGE) {
        s->result = fetch_judge(&s->fetch, &ph->pass->mirrors);
        set_stage(ph, s, JUDGED);
    }
}

int worker_set_connections(int count)
{
    int before = g_connections;
    g_connections = count >= 1 && count <= DOWNLOAD_CONNECTIONS_MAX ? count : DOWNLOAD_CONNECTIONS;
    return before;
}

Phase *flight_open(Pass *pass)
{
    HANDLE heap = GetProcessHeap();
    Phase *ph = (Phase *)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(Phase));
    if (!ph)
        return nullptr;
    ph->pass = pass;
    ph->connections = g_connections;
    ph->slots = ph->connections + JUDGE_BACKLOG + SETTLE_BACKLOG;
    ph->slot = (Slot *)HeapAlloc(heap, HEAP_ZERO_MEMORY, (SIZE_T)ph->slots * sizeof(Slot));
    if (!ph->slot) {
        HeapFree(heap, 0, ph);
        return nullptr;
    }
    // Only slots not yet judged hold a body: no more than that many bodies.
    int bodies = ph->connections + JUDGE_BACKLOG;
    ph->bodies = (char *)HeapAlloc(heap, 0, (SIZE_T)bodies * FETCH_MEMORY_BYTES);
    for (int i = 0; ph->bodies && i < bodies; i++)
        ph->free_body[ph->free_bodies++] = i;
    ph->unpackers = unpack_pool_open();
    RebuildPass *rp = &ph->rebuild;
    rp->window = pass->window;
    rp->folder = pass->folder;
    rp->manifest = &pass->manifest;
    rp->state = &pass->state;
    rp->cancel = &pass->params->cancel;
    rp->mirrors = &pass->mirrors;
    rp->mirror_count = pass->mirror_count;
    rp->start_index = &pass->start_index;
    rp->wire_bytes = &pass->wire_bytes;
    rp->connections = ph->connections;
    rp->share = &ph->share;
    InitializeCriticalSection(&ph->lock);
    InitializeConditionVariable(&ph->carriers);
    InitializeConditionVariable(&ph->judge);
    InitializeConditionVariable(&ph->results);
    ph->threaded = pass->pending_count > 1 && start_threads(ph);
    return ph;
}

void flight_close(Phase *ph)
{
    if (ph->threaded)
        stop_threads(ph);
    chunked_forget(&ph->rebuild);
    unpack_pool_close(ph->unpackers);
    DeleteCriticalSection(&ph->lock);
    HANDLE heap = GetProcessHeap();
    if (ph->bodies)
        HeapFree(heap, 0, ph->bodies);
    HeapFree(heap, 0, ph->slot);
    HeapFree(heap, 0, ph);
}
