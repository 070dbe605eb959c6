// Progress decisions and texts. No platform calls: ticks come in as numbers.
#include "fetch/fetch.h"

namespace {

const uint32_t SAMPLE_INTERVAL_MS = 2000;
const double MIN_SHOWN_SPEED = 1024.0;  // bytes per second

// Thousandths of `whole` that `part` is, 0 to 1000. Both may come from a
// mirror (a length header, bytes beyond it): more than the whole is the whole,
// and the product never wraps.
uint32_t permille(uint64_t part, uint64_t whole)
{
    if (whole == 0)
        return 0;
    if (part >= whole)
        return 1000;
    if (part <= UINT64_MAX / 1000)
        return (uint32_t)(part * 1000 / whole);
    uint64_t v = part / (whole / 1000);  // whole > part > 2^54: whole / 1000 > 0
    return v > 999 ? 999 : (uint32_t)v;  // the divisor's rounding may reach 1000
}

}  // namespace

void format_size(uint64_t bytes, wchar_t *out, size_t cap_chars)
{
    const uint64_t gib = 1073741824, mib = 1048576;
    if (bytes >= gib)
        format_wide(out, cap_chars, L"%.1f GB", (double)bytes / (double)gib);
    else if (bytes >= mib)
        format_wide(out, cap_chars, L"%.0f MB", (double)bytes / (double)mib);
    else
        format_wide(out, cap_chars, L"%.0f KB", (double)bytes / 1024.0);
}

void format_progress_text(uint64_t done, uint64_t total, double speed, wchar_t *out,
                          size_t cap_chars)
{
    wchar_t done_text[32], total_text[32];
    format_size(done, done_text, 32);
    format_size(total, total_text, 32);
    if (!(speed > MIN_SHOWN_SPEED)) {
        format_wide(out, cap_chars, L"%s of %s", done_text, total_text);
        return;
    }
    double left = done < total ? (double)(total - done) / speed : 0.0;
    wchar_t rate_text[32], time_text[48];
    format_wide(rate_text, 32, L"%.1f MB/s", speed / 1048576.0);
    if (left >= 3600.0) {
        double whole = (double)(uint64_t)left;
        double hours = (double)(uint64_t)(left / 3600.0);
        double minutes = (double)((uint64_t)whole % 3600) / 60.0;
        format_wide(time_text, 48, L"about %.0f h %.0f min left", hours, minutes);
    } else if (left >= 90.0) {
        format_wide(time_text, 48, L"about %.0f min left", left / 60.0);
    } else {
        format_wide(time_text, 48, L"less than 2 min left");
    }
    format_wide(out, cap_chars, L"%s of %s, %s, %s", done_text, total_text, rate_text, time_text);
}

void download_progress_step(DownloadProgress *p, uint32_t now, uint64_t present,
                            uint64_t expected, ProgressPosts *posts)
{
    posts->stop = 0;
    posts->bars = 0;
    posts->detail = 0;
    posts->detail_text[0] = 0;
    if (p->cancel_flag && *p->cancel_flag) {
        posts->stop = 1;
        return;
    }

    uint64_t run_bytes = p->finished_before + present;
    if (throttle_due(&p->bar_pace, PACE_BAR_MS, now) || present == expected) {
        throttle_reset(&p->bar_pace, now);
        posts->bars = 1;
        posts->file_permille = permille(present, expected);
        posts->total_permille = permille(run_bytes, p->run_total);
    }

    if (p->sample_time == 0 || run_bytes < p->sample_bytes) {
        // First report of this object, or the transfer started over (a
        // deleted part file, a resume answered with the whole object): the
        // difference to the old sample is no rate, so only take a sample.
        p->sample_bytes = run_bytes;
        p->sample_time = now;
    } else {
        uint32_t elapsed = now - p->sample_time;
        if (elapsed >= SAMPLE_INTERVAL_MS) {
            double measured = (double)(run_bytes - p->sample_bytes) * 1000.0 / (double)elapsed;
            p->speed = p->speed > 0 ? p->speed * 0.5 + measured * 0.5 : measured;
            p->sample_bytes = run_bytes;
            p->sample_time = now;
        }
    }

    if (p->run_total == 0 || !throttle_due(&p->text_pace, PACE_TEXT_MS, now))
        return;
    posts->detail = 1;
    format_progress_text(run_bytes, p->run_total, p->speed, posts->detail_text, DETAIL_TEXT_CHARS);
}

int bar_gate_offer(BarGate *g, int kind, uint32_t value, uint32_t now)
{
    if (g->closed)
        return 0;
    if (g->posted_any[kind] && value == g->posted[kind]) {
        g->holding[kind] = 0;  // the bar shows it already
        return 0;
    }
    if (g->posted_any[kind] && throttle_wait_ms(&g->pace[kind], PACE_GATE_MS, now) > 0) {
        g->holding[kind] = 1;
        g->held[kind] = value;
        return 0;
    }
    g->posted_any[kind] = 1;
    g->holding[kind] = 0;
    g->posted[kind] = value;
    throttle_reset(&g->pace[kind], now);
    return 1;
}

int bar_gate_take(BarGate *g, int kind, uint32_t now, int all, uint32_t *value)
{
    if (!g->holding[kind] || (!all && throttle_wait_ms(&g->pace[kind], PACE_GATE_MS, now) > 0))
        return 0;
    g->holding[kind] = 0;
    g->posted[kind] = g->held[kind];
    throttle_reset(&g->pace[kind], now);
    *value = g->held[kind];
    return 1;
}

uint32_t bar_gate_wait_ms(const BarGate *g, uint32_t now)
{
    uint32_t wait = UINT32_MAX;
    for (int kind = 0; kind < BAR_KINDS; kind++) {
        if (!g->holding[kind])
            continue;
        uint32_t left = throttle_wait_ms(&g->pace[kind], PACE_GATE_MS, now);
        if (left == 0)
            left = 1;
        if (left < wait)
            wait = left;
    }
    return wait;
}
