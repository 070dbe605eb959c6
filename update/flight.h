// Objects in flight during an update pass's download phase: the ring of
// slots, the carrier threads that transfer several objects at once, and the
// judge thread. The phase itself (worker_download.cpp) puts objects into the
// ring and takes their results out, in the entries' order.
// Internal to update/.
#pragma once

#include "update/pass.h"

#include "rebuild/rebuild.h"

#include <windows.h>

// Transferred objects that may wait for (or be in) judgement beside those on
// the wire: one slow judgement (a large, well-packed object whose unpacking
// trails its download) then does not hold up the transfers behind it. These
// are the slots that hold a body buffer or an unpacking stream.
const int JUDGE_BACKLOG = 4;
// Judged objects that may wait to be taken in behind the oldest one in
// flight. Results are taken in in the entries' order, so a large object on
// the wire holds up every later result; without room for them the other
// connections stand idle until it arrives. A judged slot holds no buffer,
// only its record of a few kilobytes.
const int SETTLE_BACKLOG = 256;
// Slots not yet judged (and so body buffers) at most.
const int LIVE_MAX = DOWNLOAD_CONNECTIONS_MAX + JUDGE_BACKLOG;

// A slot's way: free (out of the ring), queued for a carrier, on the wire,
// waiting for the judge, judged (or transferred in vain): its result can be
// taken in.
enum Stage { FREE, QUEUED, TRANSFERRING, TO_JUDGE, JUDGING, JUDGED };

struct Slot {
    ObjectFetch fetch;
    Stage stage;
    FetchResult result;  // once JUDGED: fetch_judge's, or how the transfer failed
    int k;        // the entry's place in the pending list
    int body;     // its body buffer's number while it has one, else -1
};

// The phase: the pass, its threads, and the slots in flight, oldest first:
// first .. first + count - 1 (modulo `slots`). Stages change under `lock`;
// a change wakes only the thread that has work from it: a carrier for a
// queued slot, the judge for a transferred one, the phase's own thread for a
// result or room on the wire. (Waking every thread at every change cost a
// trip to the system per thread and object.)
struct Phase {
    Pass *pass;
    int connections;
    int slots;
    Slot *slot;
    char *bodies;                // FETCH_MEMORY_BYTES per body, or null
    int free_body[LIVE_MAX];   // the bodies no slot holds: free_bodies of them
    int free_bodies;
    int first;
    int count;
    int on_wire;                 // slots QUEUED or TRANSFERRING
    // The slots not yet JUDGED, oldest first: the only ones carriers and the
    // judge look for, however many judged ones wait behind an older one.
    Slot *live[LIVE_MAX];
    int live_count;
    DownloadShare share;
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE carriers;  // a slot queued, or the threads are to end
    CONDITION_VARIABLE judge;     // a slot transferred, or the threads are to end
    CONDITION_VARIABLE results;   // a slot judged, or one left the wire
    HANDLE thread[DOWNLOAD_CONNECTIONS_MAX + 1];
    int threads;
    bool stop;                   // the threads end once nothing is left for them
    bool threaded;               // false: each object transferred and judged in turn
    RebuildPass rebuild;         // what its chunked files' rebuilds share
    UnpackPool *unpackers;       // the threads of the large objects' streams, or null
};

// The slot i places behind the oldest in flight.
Slot *slot_at(Phase *ph, int i);

// Sets a slot's stage and wakes the thread it gives work to (under the
// lock, unless no thread runs). A slot that is judged gives its body buffer
// back: a later attempt at its object goes through a part file.
void set_stage(Phase *ph, Slot *s, Stage stage);

// Puts a slot on the wire (the lock held, fewer than connections +
// JUDGE_BACKLOG slots not judged): queued for a carrier, with a body buffer
// when `wants_body` (null when the phase has none).
char *slot_queue(Phase *ph, Slot *s, bool wants_body);

// Waits (the lock held) until `results` wakes the phase's thread or a bar
// the gate holds is due, and posts the bars that are due: a held bar
// reaches the window in time even while nothing else happens.
void flight_wait_results(Phase *ph);

// Transfers and judges a queued slot on the calling thread (the phase runs
// without threads).
void flight_in_turn(Phase *ph, Slot *s);

// The phase's resources for `pass`: the slots, the body buffers of those
// not yet judged (without them small objects take the way through part
// files) and, when more than one entry is pending, the threads (without
// them objects travel in turn). Null when out of memory.
Phase *flight_open(Pass *pass);
// Ends the threads once they are done with what they were given, and frees
// the phase.
void flight_close(Phase *ph);
