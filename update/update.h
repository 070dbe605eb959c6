// Update engine: mirrors and manifest fetch, object download, the update
// worker, progress reporting and the move of an old-layout client.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "app/app.h"

// ---------------------------------------------------------------------------
// Progress and time-left reporting

// Context of one object download, handed to the HTTP client as its progress
// context. Created zeroed per object, so the speed estimate starts afresh.
struct DownloadProgress {
    void *window;                  // HWND receiving the messages
    uint32_t last_bar_time;        // tick of the last bar update
    volatile long *cancel_flag;    // the worker's cancel flag
    uint64_t finished_before;      // wire bytes of the run finished before this object
    uint64_t run_total;            // wire bytes of the whole run; 0: no total bar, no detail
    uint32_t sample_time;          // tick of the last speed sample; 0 before the first
    uint64_t sample_bytes;         // run bytes at the last sample
    double speed;                  // smoothed bytes per second; 0 until measured
    uint32_t last_text_time;       // tick of the last detail line
};

// What one progress report asks to post; filled by download_progress_step.
struct ProgressPosts {
    int stop;                      // 1: cancelled; nothing is posted
    int bars;                      // 1: post the file bar (and the total bar if run_total)
    uint32_t file_permille;
    uint32_t total_permille;
    int detail;                    // 1: post `detail_text`
    wchar_t detail_text[256];
};

// The decisions of one progress report at tick `now`, without any platform
// call: the bar and detail-line rates (100 ms, 500 ms), the speed sampled
// every 2 s and smoothed by halves, and the texts. When the bytes present
// fall below the last sample (a restarted transfer), a new sample is taken
// instead of measuring a negative rate.
void download_progress_step(DownloadProgress *progress, uint32_t now, uint64_t present,
                            uint64_t expected, ProgressPosts *posts);

// The HTTP client's progress function: `context` is a DownloadProgress.
// Posts the bars and the detail line; 0 (stop the transfer) when the cancel
// flag is set, else 1.
int report_download_progress(void *context, uint64_t present, uint64_t expected);

// "1.0 GB", "1024 MB", "12 KB": units of 1,024, GB with one decimal.
void format_size(uint64_t bytes, wchar_t *out, size_t cap_chars);

// The detail line of a download: "1.2 GB of 6.8 GB, 3.4 MB/s, about 28 min
// left", or "DONE of TOTAL" while no speed above 1 KiB/s is known.
void format_progress_text(uint64_t done, uint64_t total, double speed, wchar_t *out,
                          size_t cap_chars);

// Status line: formats (at most 511 characters) into a heap text and posts
// WM_LAUNCHER_STATUS.
void post_status(void *window, const wchar_t *fmt, ...);
// Detail line: a heap copy of at most 255 characters, or null to clear it.
void post_progress_text(void *window, const wchar_t *text);
// The last message of a pass: WM_LAUNCHER_STATE with the state and a count.
void post_finished(void *window, LauncherState state, int count);

// Tick source of report_download_progress (GetTickCount unless a test sets
// another one).
extern uint32_t (*progress_tick)(void);
