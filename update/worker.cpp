// The update worker: one pass that makes the client folder match the current
// signed release. The window starts a pass with a copied request and learns
// everything from posted messages; the worker never touches window state.
#include "update/pass.h"
#include "release/release.h"
#include "rebuild/rebuild.h"
#include "folder/folder.h"

#include "content/content.h"
#include "game/game.h"
#include "net/net.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

namespace {

const uint64_t DISK_RESERVE_BYTES = 536870912;  // 512 MiB kept free beyond the files
// The request is one flat record the window copies as a whole: a window
// handle, the 260-character folder and five 32-bit fields.
static_assert(sizeof(void *) != 4 || sizeof(WorkerParams) == 544, "WorkerParams is 544 bytes");

volatile LONG g_running;
int64_t g_rate_limit = -1;  // worker_set_rate_limit's; below 0: the settings file's
HANDLE g_thread;
WorkerParams g_params;
wchar_t g_launcher_file[LAUNCHER_PATH_CHARS];

int compare_entries(const void *a, const void *b)
{
    return strcmp(((const StateEntry *)a)->path, ((const StateEntry *)b)->path);
}

// Records written for the 0.1 layout describe the files the migration moved
// up: strip their prefix, then sort again so that lookups find them even
// when old and new records are mixed.
void strip_legacy_prefix(LocalState *state)
{
    bool changed = false;
    for (int i = 0; i < state->count; i++) {
        char *path = state->entries[i].path;
        if (strncmp(path, "Drumveil/", 9) == 0) {
            memmove(path, path + 9, strlen(path + 9) + 1);
            changed = true;
        }
    }
    if (changed && state->count > 1)
        qsort(state->entries, (size_t)state->count, sizeof(StateEntry), compare_entries);
}

bool own_launcher_path(wchar_t *path)
{
    if (g_launcher_file[0]) {
        lstrcpynW(path, g_launcher_file, LAUNCHER_PATH_CHARS);
        return true;
    }
    DWORD n = GetModuleFileNameW(nullptr, path, LAUNCHER_PATH_CHARS);
    return n > 0 && n < LAUNCHER_PATH_CHARS;
}

// False when the pass ends here (a new launcher was handed over).
bool launcher_step(Pass *pass)
{
    const Manifest *m = &pass->manifest;
    wchar_t own[LAUNCHER_PATH_CHARS];
    uint8_t digest[SHA256_BYTES];
    if (!m->has_launcher || !own_launcher_path(own) || !sha256_file(own, digest) ||
        memcmp(digest, m->launcher.digest, SHA256_BYTES) == 0)
        return true;
    // A launcher that could not start here is not tried again; a release
    // naming another one is.
    if (pass->state.has_refused_launcher &&
        memcmp(pass->state.refused_launcher, m->launcher.digest, SHA256_BYTES) == 0) {
        log_printf("swap: the release's launcher could not start here before; this one stays");
        return true;
    }

    wchar_t target[LAUNCHER_PATH_CHARS];
    path_join(target, LAUNCHER_PATH_CHARS, pass->folder, own_file_name(OWN_FILE_NEW_LAUNCHER));
    post_status(pass->window, L"Download %s file", own_file_name(OWN_FILE_LAUNCHER));
    log_printf("launcher update: %llu bytes", (unsigned long long)m->launcher.size);
    int result = download_object(pass->window, &pass->mirrors, pass->mirror_count,
                                 &pass->start_index, &m->launcher, target,
                                 &pass->params->cancel, 0, entry_wire_size(&m->launcher));
    if (result != 1) {
        log_printf("launcher update failed (%d), continuing with this version", result);
        return true;
    }
    wchar_t *path = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, LAUNCHER_PATH_CHARS * sizeof(wchar_t));
    if (path) {
        lstrcpynW(path, target, LAUNCHER_PATH_CHARS);
        if (!PostMessageW(pass->window, WM_LAUNCHER_SELF_UPDATE, 0, (LPARAM)path))
            HeapFree(GetProcessHeap(), 0, path);
    }
    return false;
}

void graphics_step(Pass *pass)
{
    LocalState *state = &pass->state;
    bool offered = find_optional_entry(&pass->manifest, "dxvk") != nullptr;
    if (state->dxvk < 0 && offered) {
        state->dxvk = 0;
        state->dxvk_trial = 0;
        state_save(state, pass->folder);
        char reason[128] = "";
        int usable = probe_vulkan(reason);
        state->dxvk = usable ? 1 : 0;
        state->dxvk_trial = usable ? 1 : 0;
        log_printf("dxvk: %s by the probe: %s", usable ? "on" : "off", reason);
    }
    WPARAM bits = (offered ? GRAPHICS_DXVK_OFFERED : 0) |
                  (state->dxvk == 1 ? GRAPHICS_DXVK_ON : 0) |
                  (state->dxvk_trial ? GRAPHICS_DXVK_TRIAL : 0);
    PostMessageW(pass->window, WM_LAUNCHER_GRAPHICS, bits, 0);
}

// The pass's state: an old-layout client moved up first, the state file
// read and its old records' prefix stripped, the player's choices taken from
// the request.
void state_step(Pass *pass)
{
    WorkerParams *params = pass->params;
    LocalState *state = &pass->state;
    migrate_legacy_folder(pass->window, pass->folder);
    state_load(state, pass->folder);
    strip_legacy_prefix(state);
    state->custom_interface = params->custom_interface;
    state->dxvk = params->dxvk;
    state->dxvk_trial = params->dxvk_trial;
}

// Seconds since 1970-01-01 UTC by the system clock.
int64_t unix_now(void)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t ticks = (uint64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    return (int64_t)(ticks / 10000000u) - 11644473600LL;
}

// The newest signed release the mirrors serve, and the mirrors it comes
// from. A key list newer than the one the state file knows is recorded at
// once, whatever the pass comes to. False when the pass ends here (no
// mirror gave a release that is not older than the applied one).
bool manifest_step(Pass *pass)
{
    HWND window = pass->window;
    LocalState *state = &pass->state;
    post_status(window, L"You are being connected to the update server.");
    ReleaseSearch *search = (ReleaseSearch *)calloc(1, sizeof(ReleaseSearch));
    if (!search) {
        log_printf("manifest: out of memory");
        post_finished(window, Failed, 0);
        return false;
    }
    search->window = window;
    search->applied_time = state->generated;
    search->now = unix_now();
    search->keys_version = state->keys_version;
    memcpy(search->keys_digest, state->keys_digest, SHA256_BYTES);
    search->mirror_count = build_mirror_list(nullptr, &search->mirrors);
    bool found = fetch_manifest(search, &pass->manifest);
    if (search->keys_version != state->keys_version) {
        state->keys_version = search->keys_version;
        memcpy(state->keys_digest, search->keys_digest, SHA256_BYTES);
        state_save(state, pass->folder);
    }
    if (found) {
        pass->mirrors = search->mirrors;
        pass->mirror_count = search->mirror_count;
        pass->start_index = search->mirror_index;
        pass->servers_stale = search->expired;
    } else if (search->older_seen) {
        log_printf("every mirror serves a manifest older than the applied one (%lld): refused",
                   (long long)state->generated);
        post_status(window, L"Invalid version");
        post_finished(window, Failed, 0);
    } else if (search->keys_refused) {
        log_printf("keys: no mirror serves a key list that can be accepted: refused");
        post_status(window, L"Invalid version");
        post_finished(window, Failed, 0);
    } else if (search->web_page) {
        // A hotel's or a train's network before its sign-in: not the
        // mirrors' fault, and nothing the player can fix by waiting.
        post_status(window, L"The network answered with a web page: sign in to it in your "
                            L"browser, then press CHECK FILES.");
        post_finished(window, ServerUnreachable, 0);
    } else {
        post_status(window, L"The update server is not responding. Please try again later.");
        post_finished(window, ServerUnreachable, 0);
    }
    free(search);
    return found;
}

// The last status of a pass that found only expired releases: the player
// must be able to play with a wrong clock, so it is a warning, not a refusal.
void post_stale_warning(Pass *pass)
{
    if (pass->servers_stale)
        post_status(pass->window, L"The update servers may be out of date.");
}

// The last message of a pass that ends after the comparison without bringing
// anything in.
void post_check_finished(Pass *pass)
{
    if (pass->pending_count > 0)
        post_finished(pass->window, UpdateNeeded, pass->pending_count);
    else
        post_finished(pass->window, UpToDate, 0);
}

// Files the release removes are sources of chunks for the chunked files
// (a file moved to another path): with chunked files in the release, only
// an update removes them, once its downloads are done (a check before it
// leaves them).
bool removes_after_download(const Pass *pass)
{
    const Manifest *m = &pass->manifest;
    if (m->remove_count == 0)
        return false;
    for (int i = 0; i < m->file_count + m->optional_count; i++)
        if (manifest_item(m, i)->has_chunks)
            return true;
    return false;
}

// The comparison: the manifest's removals, then every wanted entry against
// the folder into the pending list; the state saved whether it completed or
// not. False when the pass ends here (out of memory, or cancelled).
bool compare_step(Pass *pass)
{
    HWND window = pass->window;
    LocalState *state = &pass->state;
    const Manifest *m = &pass->manifest;
    size_t slots = (size_t)m->file_count + (size_t)m->optional_count + 1;
    pass->pending = (int *)HeapAlloc(GetProcessHeap(), 0, slots * sizeof(int));
    if (!pass->pending) {
        post_finished(window, Failed, 0);
        return false;
    }

    post_status(window, L"Verification of files has begun.");
    // What was hashed ahead is settled before any file is removed or compared.
    prehash_finish(pass->prehash, false);
    if (!removes_after_download(pass))
        remove_listed_files(m, state, pass->folder);
    int total = m->file_count + m->optional_count;
    for (int i = 0; i < total; i++)
        if (is_entry_wanted(manifest_item(m, i), state))
            pass->wanted++;

    bool completed = compare_files(pass);
    state_save(state, pass->folder);
    post_progress_text(window, nullptr);
    if (!completed) {
        post_status(window, L"Cancelled.");
        post_check_finished(pass);
        return false;
    }
    log_printf("check: %d wanted, %d pending, %llu bytes on disk, %llu over the wire "
               "(op %d, interface %d, dxvk %d%s)",
               pass->wanted, pass->pending_count, (unsigned long long)pass->disk_bytes,
               (unsigned long long)pass->wire_bytes, pass->params->mode, state->custom_interface,
               state->dxvk, state->dxvk_trial ? " trial" : "");
    return true;
}

// The end of a pass that only checks: what the comparison found.
void report_step(Pass *pass)
{
    // A file that can be rebuilt from chunks or made by a delta costs what
    // its old copy lacks, which the check does not read the file to learn:
    // its whole object makes the figure an upper bound.
    bool chunked = false;
    for (int k = 0; k < pass->pending_count; k++) {
        const ManifestEntry *entry = manifest_item(&pass->manifest, pass->pending[k]);
        chunked = chunked || entry->has_chunks || entry->delta_count > 0;
    }
    if (pass->pending_count > 0)
        post_status(pass->window, chunked ? L"%d files need updating (at most %llu MB)."
                                          : L"%d files need updating (%llu MB).",
                    pass->pending_count,
                    (unsigned long long)((pass->wire_bytes + 1048575) / 1048576));
    else
        post_status(pass->window, L"All the files have been updated.");
    post_stale_warning(pass);
    post_check_finished(pass);
}

// Before an update brings files in: room for them beside DISK_RESERVE_BYTES
// (an unknown free space passes). False when the pass ends here.
bool disk_step(Pass *pass)
{
    if (pass->pending_count == 0)
        return true;
    uint64_t free_bytes = worker_disk_free(pass->folder);
    // Compared without adding to a figure that may be near 2^64.
    bool short_of_room = free_bytes != UINT64_MAX &&
                         (free_bytes < DISK_RESERVE_BYTES ||
                          free_bytes - DISK_RESERVE_BYTES < pass->disk_bytes);
    if (!short_of_room)
        return true;
    post_status(pass->window, L"The file cannot be created. Please verify available disk space "
                              L"and write permissions.");
    log_printf("disk: %llu free, %llu needed", (unsigned long long)free_bytes,
               (unsigned long long)pass->disk_bytes);
    post_finished(pass->window, Failed, 0);
    return false;
}

// Every file in place: the release is recorded as applied.
void release_step(Pass *pass)
{
    HWND window = pass->window;
    LocalState *state = &pass->state;
    post_bar_now(window, BAR_TOTAL, 1000);
    state->generated = pass->manifest.generated;
    lstrcpynA(state->version, pass->manifest.version, sizeof state->version);
    state_save(state, pass->folder);
    chunk_lists_prune(pass->folder, state);
    post_progress_text(window, nullptr);
    post_status(window, L"All the files have been updated.");
    post_stale_warning(pass);
    post_finished(window, UpToDate, 0);
}

// One pass, step by step. A step that returns false has ended the pass and
// posted what the window is to hear of it.
void run_pass(Pass *pass)
{
    state_step(pass);
    pass->prehash = prehash_start(pass);
    if (!manifest_step(pass) || !launcher_step(pass))
        return;
    graphics_step(pass);
    if (!compare_step(pass))
        return;
    if (pass->params->mode != Update)
        report_step(pass);
    else if (disk_step(pass) && download_pending(pass)) {
        if (removes_after_download(pass))
            remove_listed_files(&pass->manifest, &pass->state, pass->folder);
        release_step(pass);
    }
}

}  // namespace

uint64_t (*worker_disk_free)(const wchar_t *folder) = disk_free_bytes;

void worker_set_launcher_file(const wchar_t *path)
{
    if (path)
        lstrcpynW(g_launcher_file, path, LAUNCHER_PATH_CHARS);
    else
        g_launcher_file[0] = 0;
}

unsigned long update_worker_main(void *arg)
{
    Pass pass;
    memset(&pass, 0, sizeof pass);
    pass.params = (WorkerParams *)arg;
    pass.window = (HWND)pass.params->window;
    pass.folder = pass.params->client_folder;
    state_init(&pass.state);
    uint64_t limit = g_rate_limit >= 0 ? (uint64_t)g_rate_limit : read_rate_limit(pass.folder);
    http_set_rate_limit(limit);
    if (limit) {
        char text[RATE_TEXT_BYTES];
        rate_limit_format(limit, text, sizeof text);
        log_printf("download limit %s", text);
    }

    run_pass(&pass);
    // The list of installed apps shows the size of what the pass left.
    uninstall_entry_refresh_size(pass.folder, &pass.state);

    prehash_free(pass.prehash);
    if (pass.pending)
        HeapFree(GetProcessHeap(), 0, pass.pending);
    manifest_free(&pass.manifest);
    state_free(&pass.state);
    InterlockedExchange(&g_running, 0);
    return 0;
}

namespace {
DWORD WINAPI worker_thread(void *arg)
{
    return update_worker_main(arg);
}
}  // namespace

int worker_start(const WorkerParams *params)
{
    if (InterlockedCompareExchange(&g_running, 1, 0) != 0)
        return 0;
    if (g_thread) {
        CloseHandle(g_thread);
        g_thread = nullptr;
    }
    g_params = *params;
    g_params.cancel = 0;
    g_thread = CreateThread(nullptr, 0, worker_thread, &g_params, 0, nullptr);
    if (!g_thread) {
        InterlockedExchange(&g_running, 0);
        return 0;
    }
    return 1;
}

void worker_set_rate_limit(int64_t bytes_per_second)
{
    g_rate_limit = bytes_per_second;
}

int worker_is_running(void)
{
    return g_running != 0;
}

int worker_wait(uint32_t wait_ms)
{
    // The running flag falls just before the thread ends; only the thread's
    // own end says that nothing of the pass runs any more.
    if (g_thread && WaitForSingleObject(g_thread, wait_ms) != WAIT_OBJECT_0)
        return 0;
    return 1;
}

void worker_request_cancel(void)
{
    InterlockedExchange((volatile LONG *)&g_params.cancel, 1);
}
