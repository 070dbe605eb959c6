// Carries the worker's texts and progress to the window as posted messages.
// A heap text belongs to the window once posted; a failed post frees it here.
#include "update/update.h"

#include <windows.h>

namespace {

uint32_t system_tick(void)
{
    return GetTickCount();
}

void post_text(void *window, UINT message, wchar_t *text)
{
    if (!PostMessageW((HWND)window, message, 0, (LPARAM)text))
        HeapFree(GetProcessHeap(), 0, text);
}

}  // namespace

uint32_t (*progress_tick)(void) = system_tick;

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
    }
    ProgressPosts posts;
    download_progress_step(progress, progress_tick(), present, expected, &posts);
    if (posts.stop)
        return 0;
    HWND window = (HWND)progress->window;
    bool speaks = !share || share->speaker == progress->ticket;
    if (posts.bars) {
        if (speaks)
            PostMessageW(window, WM_LAUNCHER_FILE_PROGRESS, posts.file_permille, 0);
        if (progress->run_total != 0)
            PostMessageW(window, WM_LAUNCHER_TOTAL_PROGRESS, posts.total_permille, 0);
    }
    if (posts.detail && speaks)
        post_progress_text(window, posts.detail_text);
    return 1;
}
