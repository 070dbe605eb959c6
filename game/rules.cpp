// The graphics mode's decisions, as plain functions of their inputs: the probe
// verdict, the choice among Vulkan devices and the trial judgement at game
// exit. The code that gathers the inputs lives in probe.cpp and vulkan.cpp;
// the window and the update worker apply the results.
//
// No platform calls: this file also builds natively for tests and fuzzing.
#include "game/game.h"

#include "base/base.h"

#include <string.h>

namespace {

// Bytes of `name` to print under a byte budget: at most `max_bytes`, ended
// before a UTF-8 sequence that would be cut, so a log line stays valid UTF-8.
int utf8_prefix_bytes(const char *name, int max_bytes)
{
    int n = 0;
    while (n < max_bytes && name[n])
        n++;
    if (n < max_bytes || !name[n])
        return n;
    // Cut inside the text: step back over continuation bytes to a lead byte,
    // and drop that lead byte too when its sequence does not fit.
    int lead = n;
    while (lead > 0 && ((unsigned char)name[lead] & 0xC0) == 0x80)
        lead--;
    return lead;
}

}  // namespace

int dxvk_verdict(int under_wine, unsigned long windows_major, int query_ok, uint32_t api_version,
                 const char *device_name, const char *query_reason, char *reason,
                 size_t cap_bytes)
{
    if (under_wine) {
        format_narrow(reason, cap_bytes, "Wine or CrossOver: the host renders, DXVK stays off");
        return 0;
    }
    if (windows_major < DXVK_MIN_WINDOWS_MAJOR) {
        format_narrow(reason, cap_bytes, "Windows %lu: DXVK needs Windows 10 or newer",
                      windows_major);
        return 0;
    }
    if (!query_ok) {
        format_narrow(reason, cap_bytes, "%.127s", query_reason ? query_reason : "");
        return 0;
    }
    const char *name = device_name ? device_name : "";
    unsigned major = (api_version >> 22) & 0x7F;
    unsigned minor = (api_version >> 12) & 0x3FF;
    int name_bytes = utf8_prefix_bytes(name, 80);
    if (api_version >= DXVK_MIN_VULKAN_API) {
        format_narrow(reason, cap_bytes, "%.*s (Vulkan %u.%u)", name_bytes, name, major, minor);
        return 1;
    }
    format_narrow(reason, cap_bytes, "%.*s: Vulkan %u.%u, DXVK needs 1.3", name_bytes, name,
                  major, minor);
    return 0;
}

int vulkan_prefer_device(uint32_t api_version, const char *device_name, size_t name_max_bytes,
                         uint32_t *best_api, char *best_name)
{
    if (api_version <= *best_api)
        return 0;
    *best_api = api_version;
    // The driver's array need not be terminated: copy at most its size, and
    // at most what the caller's buffer holds with the terminator.
    size_t n = 0;
    while (n < name_max_bytes && n < VULKAN_NAME_BYTES - 1 && device_name[n])
        n++;
    memcpy(best_name, device_name, n);
    best_name[n] = 0;
    return 1;
}

void dxvk_judge_trial(int dxvk, int dxvk_trial, uint32_t elapsed_ms, uint32_t exit_code,
                      TrialOutcome *out)
{
    out->dxvk = dxvk;
    out->dxvk_trial = dxvk_trial;
    out->judged = 0;
    out->notice_due = 0;
    out->log_line[0] = 0;
    if (dxvk != 1 || dxvk_trial == 0)
        return;
    out->judged = 1;
    out->dxvk_trial = 0;
    if (elapsed_ms >= TRIAL_MIN_RUN_MS) {
        format_narrow(out->log_line, sizeof out->log_line, "dxvk: trial passed (%lu ms)",
                      (unsigned long)elapsed_ms);
        return;
    }
    out->dxvk = 0;
    out->notice_due = 1;
    format_narrow(out->log_line, sizeof out->log_line,
                  "dxvk: trial failed, the game ended after %lu ms (exit %lu): off",
                  (unsigned long)elapsed_ms, (unsigned long)exit_code);
}
