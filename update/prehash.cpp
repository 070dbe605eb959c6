// Hashing ahead in a verify. The manifest comes first, and under Wine its
// fetch over TLS takes a third of a second or more (the system's root
// certificates are checked in every process) before the comparison could
// hash a byte. Meanwhile a thread hashes the files the state records, in
// its order; the comparison takes a file's digest from here when the file
// still has the size and last-write time it had when it was hashed (the
// same trust a check gives a record), and hashes any other file itself.
#include "update/pass.h"

#include "content/content.h"

#include <string.h>

struct Prehash {
    Pass *pass;
    // A copy of the state's records (its entries this block's own), whose
    // size, time and digest become what the file had when hashed here
    // (`hashed` set).
    LocalState records;
    bool *hashed;
    int32_t done;
    volatile long stop;
    HANDLE thread;
};

namespace {

DWORD WINAPI hash_ahead(void *context)
{
    Prehash *p = (Prehash *)context;
    for (int32_t k = 0; k < p->records.count && !p->stop && !p->pass->params->cancel; k++) {
        StateEntry *record = &p->records.entries[k];
        wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
        client_file_path(record->path, p->pass->folder, rel, full);
        // A file written since it was looked at has another time when the
        // comparison lists it, and is hashed again there.
        uint64_t size = 0, time = 0;
        uint8_t digest[SHA256_BYTES];
        if (!full[0] || !file_info(full, &size, &time) || !sha256_file(full, digest))
            continue;
        record->size = size;
        record->write_time = time;
        memcpy(record->digest, digest, SHA256_BYTES);
        p->hashed[k] = true;
        p->done++;
    }
    return 0;
}

}  // namespace

Prehash *prehash_start(Pass *pass)
{
    const LocalState *state = &pass->state;
    if (pass->params->mode != Verify || state->count == 0)
        return nullptr;
    HANDLE heap = GetProcessHeap();
    Prehash *p = (Prehash *)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof *p);
    if (!p)
        return nullptr;
    p->pass = pass;
    int32_t count = state->count;
    p->records.entries = (StateEntry *)HeapAlloc(heap, 0, (SIZE_T)count * sizeof(StateEntry));
    p->hashed = (bool *)HeapAlloc(heap, HEAP_ZERO_MEMORY, (SIZE_T)count * sizeof *p->hashed);
    if (p->records.entries && p->hashed) {
        memcpy(p->records.entries, state->entries, (size_t)count * sizeof(StateEntry));
        p->records.count = p->records.capacity = count;
        p->thread = CreateThread(nullptr, 0, hash_ahead, p, 0, nullptr);
    }
    if (!p->thread) {
        prehash_free(p);
        return nullptr;
    }
    return p;
}

void prehash_finish(Prehash *p, bool every_file)
{
    if (!p || !p->thread)
        return;
    if (!every_file)
        InterlockedExchange(&p->stop, 1);
    WaitForSingleObject(p->thread, INFINITE);
    CloseHandle(p->thread);
    p->thread = nullptr;
    if (p->done > 0)
        log_printf("verify: %ld files hashed while the manifest came", (long)p->done);
}

bool prehash_digest(const Prehash *p, const char *path, uint64_t size, uint64_t time,
                    uint8_t digest[SHA256_BYTES])
{
    if (!p || p->thread)
        return false;
    const StateEntry *r = state_find(&p->records, path);
    if (!r || !p->hashed[r - p->records.entries] || r->size != size || r->write_time != time)
        return false;
    memcpy(digest, r->digest, SHA256_BYTES);
    return true;
}

void prehash_free(Prehash *p)
{
    if (!p)
        return;
    prehash_finish(p, false);
    HANDLE heap = GetProcessHeap();
    if (p->records.entries)
        HeapFree(heap, 0, p->records.entries);
    if (p->hashed)
        HeapFree(heap, 0, p->hashed);
    HeapFree(heap, 0, p);
}
