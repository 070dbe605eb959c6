// Carries the worker's texts and progress to the window as posted messages.
// A heap text belongs to the window once posted; a failed post frees it here.
//
// The bars of a download go through the share's gate, which carriers and the
// pass's thread use at once: its lock is held across the decision and the
// post, so that the window receives the values in the order the gate
// recorded them and the last one it holds is the last one posted.
#include "fetch/fetch.h"

#include <windows.h>

// A zeroed SRW lock is an unlocked one (SRWLOCK_INIT): the gate needs no set-up.
static_assert(sizeof(SRWLOCK) == sizeof(void *), "the gate's lock field holds an SRW lock");

namespace {

const UINT BAR_MESSAGE[BAR_KINDS] = {WM_LAUNCHER_FILE_PROGRESS, WM_LAUNCHER_TOTAL_PROGRESS};

SRWLOCK *gate_lock(DownloadShare *share)
{
    return (SRWLOCK *)&share->bars.lock;
}

// Posts the held bars (those due, or every one with `all`), the lock held.
void post_taken(DownloadShare *share, HWND window, int all)
{
    uint32_t now = progress_tick();
    for (int kind = 0; kind < BAR_KINDS; kind++) {
        uint32_t value;
        if (bar_gate_take(&share->bars, kind, now, all, &value))
            PostMessageW(window, BAR_MESSAGE[kind], value, 0);
    }
}

void post_text(void *window, UINT message, wchar_t *text)
{
    if (!PostMessageW((HWND)window, message, 0, (LPARAM)text))
        HeapFree(GetProcessHeap(), 0, text);
}

}  // namespace

void post_status(void *window, const wchar_t *fmt, ...)
{
    wchar_t *text =
        (wchar_t *)HeapAlloc(GetProcessHeap(), 0, STATUS_TEXT_CHARS * sizeof(wchar_t));
    if (!text)
        return;
    va_list ap;
    va_start(ap, fmt);
    format_wide_v(text, STATUS_TEXT_CHARS, fmt, ap);
    va_end(ap);
    text[STATUS_TEXT_CHARS - 1] = 0;
    post_text(window, WM_LAUNCHER_STATUS, text);
}

void post_progress_text(void *window, const wchar_t *text)
{
    if (!text) {
        PostMessageW((HWND)window, WM_LAUNCHER_DETAIL, 0, 0);
        return;
    }
    wchar_t *copy = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, DETAIL_TEXT_CHARS * sizeof(wchar_t));
    if (!copy)
        return;
    lstrcpynW(copy, text, DETAIL_TEXT_CHARS);
    post_text(window, WM_LAUNCHER_DETAIL, copy);
}

void post_finished(void *window, LauncherState state, int count)
{
    PostMessageW((HWND)window, WM_LAUNCHER_STATE, (WPARAM)state, (LPARAM)count);
}

uint64_t download_share_done(DownloadShare *share)
{
    return (uint64_t)InterlockedCompareExchange64((volatile LONG64 *)&share->done, 0, 0);
}

void download_share_add(DownloadShare *share, int64_t bytes)
{
    InterlockedExchangeAdd64((volatile LONG64 *)&share->done, bytes);
}

void post_bar(DownloadShare *share, void *window, int kind, uint32_t permille)
{
    AcquireSRWLockExclusive(gate_lock(share));
    if (bar_gate_offer(&share->bars, kind, permille, progress_tick()))
        PostMessageW((HWND)window, BAR_MESSAGE[kind], permille, 0);
    ReleaseSRWLockExclusive(gate_lock(share));
}

uint32_t post_due_bars(DownloadShare *share, void *window)
{
    AcquireSRWLockExclusive(gate_lock(share));
    post_taken(share, (HWND)window, 0);
    uint32_t wait = bar_gate_wait_ms(&share->bars, progress_tick());
    ReleaseSRWLockExclusive(gate_lock(share));
    return wait;
}

void close_bars(DownloadShare *share, void *window)
{
    AcquireSRWLockExclusive(gate_lock(share));
    post_taken(share, (HWND)window, 1);
    share->bars.closed = 1;
    ReleaseSRWLockExclusive(gate_lock(share));
}

namespace {

// A bar through the share's gate, or at once for a transfer of its own.
void send_bar(DownloadShare *share, HWND window, int kind, uint32_t permille)
{
    if (share)
        post_bar(share, window, kind, permille);
    else
        post_bar_now(window, kind, permille);
}

}  // namespace

void post_bar_now(void *window, int kind, uint32_t permille)
{
    PostMessageW((HWND)window, BAR_MESSAGE[kind], permille, 0);
}

int report_download_progress(void *context, uint64_t present, uint64_t expected)
{
    DownloadProgress *progress = (DownloadProgress *)context;
    DownloadShare *share = progress->share;
    if (share) {
        if (share->abandon)
            return 0;
        // The run's bytes are the share's: what came before this object is
        // everything but this transfer's own present bytes.
        download_share_add(share, (int64_t)(present - progress->shared_present));
        progress->shared_present = present;
        uint64_t done = download_share_done(share);
        progress->finished_before = done > present ? done - present : 0;
        // Only the speaker's lines count against the share's pace.
        throttle_reset(&progress->text_pace, (uint32_t)share->text_pace.last);
    }
    ProgressPosts posts;
    download_progress_step(progress, progress_tick(), present, expected, &posts);
    if (posts.stop)
        return 0;
    HWND window = (HWND)progress->window;
    bool speaks = !share || share->speaker == progress->ticket;
    if (posts.bars && speaks)
        send_bar(share, window, BAR_FILE, posts.file_permille);
    if (posts.bars && progress->run_total != 0)
        send_bar(share, window, BAR_TOTAL, posts.total_permille);
    if (posts.detail && speaks) {
        if (share)
            throttle_reset(&share->text_pace, (uint32_t)progress->text_pace.last);
        post_progress_text(window, posts.detail_text);
    }
    return 1;
}
