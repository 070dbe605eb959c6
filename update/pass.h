// The data of one update pass, shared by the worker's steps (worker.cpp) and
// its download phase (worker_download.cpp). Internal to update/.
#pragma once

#include "update/update.h"
#include "fetch/fetch.h"

#include <windows.h>

struct Prehash;

// Everything one pass owns; released at its end.
struct Pass {
    WorkerParams *params;
    HWND window;
    const wchar_t *folder;
    LocalState state;
    Manifest manifest;
    MirrorList mirrors;
    int mirror_count;
    int start_index;
    bool servers_stale;            // every release the mirrors serve has expired
    int *pending;
    int pending_count;
    int wanted;
    int done;
    uint64_t disk_bytes;
    uint64_t wire_bytes;
    // The comparison's total bar (its last value; UINT32_MAX: none posted)
    // and its count of checked files, paced like bars.
    uint32_t total_permille;
    Throttle total_pace;
    Throttle detail_pace;
    Prehash *prehash;              // a verify's hashing ahead (prehash.cpp), or null
    uint32_t save_time;            // tick of the last save while downloading
    bool unsaved;                  // records added since then
};

// Puts the state record of `entry`: its path and digest with the file's size
// and last-write time.
void record_file(LocalState *state, const ManifestEntry *entry, uint64_t size, uint64_t time);

// Compares every wanted entry with the folder (compare.cpp), filling the
// pending list and the records of files found right. False when cancelled.
bool compare_files(Pass *pass);

// A verify hashes the files the state records on a thread of its own while
// the manifest travels (prehash.cpp): started after the state is read (null
// in other modes, without records, or without a thread), ended before the
// comparison begins (after the file at hand, or `every_file` recorded),
// freed with the pass. A digest is taken from it only for a file that still
// has the size and time it had when it was hashed there.
Prehash *prehash_start(Pass *pass);
void prehash_finish(Prehash *p, bool every_file);
bool prehash_digest(const Prehash *p, const char *path, uint64_t size, uint64_t time,
                    uint8_t digest[SHA256_BYTES]);
void prehash_free(Prehash *p);

// Brings in every pending entry, recording each. False when the pass ended
// on the way (its last messages are posted).
bool download_pending(Pass *pass);
