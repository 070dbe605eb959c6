// The comparison of a pass: every wanted entry of the release against the
// folder (sizes and times from one listing per folder, the state's records
// trusted where they match, hashing otherwise, on one or two lanes), the
// files the player's choices no longer want removed, and the pending list
// of what is to be brought in.
#include "update/pass.h"

#include "content/content.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool stock_twin_exists(const Manifest *m, const char *path)
{
    for (int i = 0; i < m->file_count; i++)
        if (m->files[i].group == ENTRY_GROUP_STOCK && strcmp(m->files[i].path, path) == 0)
            return true;
    return false;
}

// True when it deleted, or tried to delete, a file.
bool remove_unwanted(Pass *pass, const ManifestEntry *entry)
{
    const LocalState *state = &pass->state;
    bool recorded = state_find(state, entry->path) != nullptr;
    bool interface_only = entry->group == ENTRY_GROUP_INTERFACE && !state->custom_interface &&
                          !stock_twin_exists(&pass->manifest, entry->path);
    bool installed_optional = entry->id[0] && recorded;
    if (!interface_only && !installed_optional)
        return false;

    wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
    client_file_path(entry->path, pass->folder, rel, full);
    bool tried = full[0] && file_info(full, nullptr, nullptr);
    bool gone = !tried;
    if (tried) {
        gone = DeleteFileW(full) != 0;
        if (gone)
            log_wprintf(L"removed %S %s", entry->id[0] ? "optional" : "interface-only", rel);
        else
            log_wprintf(L"remove %s failed (%lu)", rel, GetLastError());
    }
    // An optional file that could not go keeps its record: the record is
    // what makes the next pass try again.
    if (gone)
        state_remove(&pass->state, entry->path);
    return tried;
}

// The total bar before a wanted entry of the comparison. A trusted file costs
// a few microseconds; a posted message costs several times that and as much
// again where the window takes it. So the bar is posted when its value is new
// and its pace allows, and always the first time.
void post_compare_total(Pass *pass)
{
    uint32_t permille = (uint32_t)((uint64_t)pass->done * 1000 / (uint64_t)pass->wanted);
    if (permille == pass->total_permille || !throttle_due(&pass->total_pace, PACE_BAR_MS,
                                                           progress_tick()))
        return;
    post_bar_now(pass->window, BAR_TOTAL, permille);
    pass->total_permille = permille;
}

// The detail line before a hashed file: "Checked %d of %d files" moves like
// a bar, and the posts of a verify, two per file, cost the window and the
// Wine server more than the hashing of a small file; so the count goes out
// at the total bar's rate (the first time always), while every file's
// status still goes out.
void post_compare_detail(Pass *pass)
{
    if (!throttle_due(&pass->detail_pace, PACE_BAR_MS, progress_tick()))
        return;
    wchar_t detail[64];
    format_wide(detail, 64, L"Checked %d of %d files", pass->done - 1, pass->wanted);
    post_progress_text(pass->window, detail);
}

// The pending list stays in the entries' order, which the downloads follow:
// a lane that ends its hash after the other lane's later ones puts its
// entry back in its place.
void add_pending(Pass *pass, int index, const ManifestEntry *entry)
{
    int k = pass->pending_count++;
    for (; k > 0 && pass->pending[k - 1] > index; k--)
        pass->pending[k] = pass->pending[k - 1];
    pass->pending[k] = index;
    pass->disk_bytes += entry->size;
    pass->wire_bytes += entry_wire_size(entry);
}

// The comparison walks the entries in order on one or two lanes: the pass's
// thread, and a second one from the first file to hash on. Hashing is most
// of a verify and, under Wine, so are the open and the close around it,
// round trips to the server that a second lane overlaps with the first
// lane's hashing. Everything but the hashing (the listings, the state, the
// counts, the posts) happens under the lock, one entry after the other in
// the entries' order, so the window hears every status in that order.
struct Comparison {
    Pass *pass;
    FolderListings *listings;  // null: each file asked for by itself
    SRWLOCK lock;
    int next;                  // the next entry to take
    // Manifests list their files in the records' order: the record after
    // the last one found is usually the next one wanted.
    int32_t next_record;
    bool cancelled;
    bool second_asked;         // the second lane was started, or could not be
    HANDLE second;             // its thread
};

void compare_lane(Comparison *c);

DWORD WINAPI second_lane(void *arg)
{
    compare_lane((Comparison *)arg);
    return 0;
}

// The entry `i`, its wanted file's size and time taken, the lock held.
// True when it is to be hashed (its status posted), with its full path.
bool compare_entry(Comparison *c, int i, wchar_t *full, uint64_t *size, uint64_t *time)
{
    Pass *pass = c->pass;
    const ManifestEntry *entry = manifest_item(&pass->manifest, i);
    if (!is_entry_wanted(entry, &pass->state)) {
        if (remove_unwanted(pass, entry) && c->listings)
            folder_listings_forget(c->listings);
        return false;
    }
    if (pass->params->cancel) {
        c->cancelled = true;
        return false;
    }

    wchar_t rel[CLIENT_REL_CHARS];
    client_file_path(entry->path, pass->folder, rel, full);
    post_compare_total(pass);
    pass->done++;

    bool present = full[0] && (c->listings ? listed_file_info(c->listings, full, size, time)
                                           : file_info(full, size, time));
    if (entry->seed) {
        if (!present)
            add_pending(pass, i, entry);
        return false;
    }
    if (!present || *size != entry->size) {
        add_pending(pass, i, entry);
        return false;
    }
    if (pass->params->mode != Verify) {
        const StateEntry *record = state_find_near(&pass->state, entry->path, c->next_record);
        if (record)
            c->next_record = (int32_t)(record - pass->state.entries) + 1;
        if (record && record->size == *size && record->write_time == *time &&
            memcmp(record->digest, entry->digest, SHA256_BYTES) == 0)
            return false;
    }

    post_status(pass->window, L"Checking %s", rel);
    post_compare_detail(pass);
    return true;
}

// Takes entries until none is left or the pass is cancelled.
void compare_lane(Comparison *c)
{
    Pass *pass = c->pass;
    int total = pass->manifest.file_count + pass->manifest.optional_count;
    AcquireSRWLockExclusive(&c->lock);
    while (!c->cancelled && c->next < total) {
        int i = c->next++;
        wchar_t full[CLIENT_PATH_CHARS];
        uint64_t size = 0, time = 0;
        if (!compare_entry(c, i, full, &size, &time))
            continue;
        if (!c->second_asked && c->next < total) {
            c->second_asked = true;
            c->second = CreateThread(nullptr, 0, second_lane, c, 0, nullptr);
        }
        ReleaseSRWLockExclusive(&c->lock);
        const ManifestEntry *entry = manifest_item(&pass->manifest, i);
        uint8_t digest[SHA256_BYTES];
        bool good = (prehash_digest(pass->prehash, entry->path, size, time, digest) ||
                     sha256_file(full, digest)) &&
                    memcmp(digest, entry->digest, SHA256_BYTES) == 0;
        AcquireSRWLockExclusive(&c->lock);
        if (good)
            record_file(&pass->state, entry, size, time);
        else
            add_pending(pass, i, entry);
    }
    ReleaseSRWLockExclusive(&c->lock);
}

}  // namespace

// Compares every wanted entry with the folder. False when cancelled. The
// files' sizes and times come from one listing per folder.
bool compare_files(Pass *pass)
{
    Comparison c;
    memset(&c, 0, sizeof c);
    c.pass = pass;
    c.listings = (FolderListings *)calloc(1, sizeof(FolderListings));
    uint32_t now = progress_tick();
    pass->total_permille = UINT32_MAX;
    throttle_arm(&pass->total_pace, PACE_BAR_MS, now);
    throttle_arm(&pass->detail_pace, PACE_BAR_MS, now);
    InitializeSRWLock(&c.lock);
    compare_lane(&c);
    if (c.second) {
        WaitForSingleObject(c.second, INFINITE);
        CloseHandle(c.second);
    }
    if (c.listings) {
        folder_listings_forget(c.listings);
        free(c.listings);
    }
    return !c.cancelled;
}

void record_file(LocalState *state, const ManifestEntry *entry, uint64_t size, uint64_t time)
{
    StateEntry record;
    memset(&record, 0, sizeof record);
    lstrcpynA(record.path, entry->path, sizeof record.path);
    record.size = size;
    record.write_time = time;
    memcpy(record.digest, entry->digest, SHA256_BYTES);
    state_put(state, &record);
}

int is_entry_wanted(const ManifestEntry *entry, const LocalState *state)
{
    if (entry->id[0])
        return strcmp(entry->id, "dxvk") == 0 && state->dxvk == 1;
    if (entry->group == ENTRY_GROUP_INTERFACE)
        return state->custom_interface != 0;
    if (entry->group == ENTRY_GROUP_STOCK)
        return state->custom_interface == 0;
    return 1;
}

const ManifestEntry *find_optional_entry(const Manifest *manifest, const char *id)
{
    for (int i = 0; i < manifest->optional_count; i++)
        if (strcmp(manifest->optional[i].id, id) == 0)
            return &manifest->optional[i];
    return nullptr;
}

void remove_listed_files(const Manifest *manifest, LocalState *state, const wchar_t *folder)
{
    for (int i = 0; i < manifest->remove_count; i++) {
        const char *rel = manifest->remove[i];
        wchar_t rel_wide[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
        rel_path_to_wide(rel, rel_wide, CLIENT_REL_CHARS);
        path_join(full, CLIENT_PATH_CHARS, folder, rel_wide);
        if (rel_wide[0] && full[0] && file_info(full, nullptr, nullptr)) {
            if (DeleteFileW(full))
                log_wprintf(L"removed %s", rel_wide);
            else
                log_wprintf(L"remove %s failed (%lu)", rel_wide, GetLastError());
        }
        state_remove(state, rel);
    }
}
