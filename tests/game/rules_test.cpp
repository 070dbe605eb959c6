// The graphics rules as plain functions: the probe verdict, the choice among
// devices, and the trial judgement at game exit.
#include "game/game.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

const uint32_t V1_2 = (1u << 22) | (2u << 12);
const uint32_t V1_3 = (1u << 22) | (3u << 12);

struct VerdictCase {
    int wine;
    unsigned long windows;
    int query_ok;
    uint32_t api;
    const char *name;
    const char *query_reason;
    int verdict;
    const char *reason;
};

const VerdictCase VERDICT_CASES[] = {
    // Wine wins over everything, even a good device.
    {1, 10, 1, V1_3, "llvmpipe", "", 0, "Wine or CrossOver: the host renders, DXVK stays off"},
    {0, 6, 1, V1_3, "dev", "", 0, "Windows 6: DXVK needs Windows 10 or newer"},
    {0, 0, 1, V1_3, "dev", "", 0, "Windows 0: DXVK needs Windows 10 or newer"},
    {0, 9, 1, V1_3, "dev", "", 0, "Windows 9: DXVK needs Windows 10 or newer"},
    // The query's own reasons pass through unchanged.
    {0, 10, 0, 0, "", "no Vulkan runtime (vulkan-1.dll)", 0, "no Vulkan runtime (vulkan-1.dll)"},
    {0, 10, 0, 0, "", "vulkan-1.dll without the core entry points", 0,
     "vulkan-1.dll without the core entry points"},
    {0, 10, 0, 0, "", "vkCreateInstance failed (-3)", 0, "vkCreateInstance failed (-3)"},
    {0, 10, 0, 0, "", "no Vulkan device (0)", 0, "no Vulkan device (0)"},
    // The version limit: 1.3.0 is enough, the last 1.2 patch is not.
    {0, 10, 1, V1_3, "GPU A", "", 1, "GPU A (Vulkan 1.3)"},
    {0, 10, 1, V1_3 - 1, "GPU A", "", 0, "GPU A: Vulkan 1.2, DXVK needs 1.3"},
    {0, 10, 1, V1_3 + 275, "GPU A", "", 1, "GPU A (Vulkan 1.3)"},
    {0, 11, 1, (1u << 22) | (4u << 12), "GPU B", "", 1, "GPU B (Vulkan 1.4)"},
    {0, 10, 1, V1_2 + 198, "Old GPU", "", 0, "Old GPU: Vulkan 1.2, DXVK needs 1.3"},
};

std::string verdict_of_devices(const uint32_t *apis, const char *const *names, int count,
                               int *verdict)
{
    uint32_t best = 0;
    char name[VULKAN_NAME_BYTES] = "";
    for (int i = 0; i < count; i++)
        vulkan_prefer_device(apis[i], names[i], strlen(names[i]) + 1, &best, name);
    char reason[PROBE_REASON_BYTES];
    *verdict = dxvk_verdict(0, 10, 1, best, name, "", reason, sizeof reason);
    return reason;
}

}  // namespace

TEST(DxvkVerdict, EveryReason)
{
    for (const VerdictCase &c : VERDICT_CASES) {
        SCOPED_TRACE(c.reason);
        char reason[PROBE_REASON_BYTES];
        EXPECT_EQ(dxvk_verdict(c.wine, c.windows, c.query_ok, c.api, c.name, c.query_reason,
                               reason, sizeof reason),
                  c.verdict);
        EXPECT_STREQ(reason, c.reason);
    }
}

TEST(DxvkVerdict, DeviceNameIsCutAt80BytesOnACharacterBoundary)
{
    char reason[PROBE_REASON_BYTES];
    std::string long_name(100, 'n');
    dxvk_verdict(0, 10, 1, V1_3, long_name.c_str(), "", reason, sizeof reason);
    EXPECT_EQ(std::string(reason), std::string(80, 'n') + " (Vulkan 1.3)");
    // "é" (two bytes) at bytes 79-80 would be cut in half: it goes whole.
    std::string accented = std::string(79, 'n') + "\xC3\xA9" + "tail";
    dxvk_verdict(0, 10, 1, V1_2, accented.c_str(), "", reason, sizeof reason);
    EXPECT_EQ(std::string(reason), std::string(79, 'n') + ": Vulkan 1.2, DXVK needs 1.3");
}

TEST(VulkanDevices, HighestVersionWinsAndTiesKeepTheFirst)
{
    int verdict = -1;
    const uint32_t up[] = {V1_2, V1_3};
    const char *up_names[] = {"Old", "New"};
    EXPECT_EQ(verdict_of_devices(up, up_names, 2, &verdict), "New (Vulkan 1.3)");
    EXPECT_EQ(verdict, 1);

    const uint32_t down[] = {V1_3, V1_2};
    const char *down_names[] = {"New", "Old"};
    EXPECT_EQ(verdict_of_devices(down, down_names, 2, &verdict), "New (Vulkan 1.3)");
    EXPECT_EQ(verdict, 1);

    const uint32_t tie[] = {V1_3, V1_3};
    const char *tie_names[] = {"First", "Second"};
    EXPECT_EQ(verdict_of_devices(tie, tie_names, 2, &verdict), "First (Vulkan 1.3)");

    const uint32_t low_tie[] = {V1_2, V1_2};
    const char *low_names[] = {"First", "Second"};
    EXPECT_EQ(verdict_of_devices(low_tie, low_names, 2, &verdict),
              "First: Vulkan 1.2, DXVK needs 1.3");
    EXPECT_EQ(verdict, 0);

    // A later patch level is a higher version.
    const uint32_t patch[] = {V1_3, V1_3 + 1};
    const char *patch_names[] = {"First", "Patched"};
    EXPECT_EQ(verdict_of_devices(patch, patch_names, 2, &verdict), "Patched (Vulkan 1.3)");
}

TEST(VulkanDevices, UnterminatedDriverNameStaysInBounds)
{
    char driver_name[VULKAN_NAME_BYTES];
    memset(driver_name, 'd', sizeof driver_name);
    uint32_t best = 0;
    char name[VULKAN_NAME_BYTES + 8];
    memset(name, '#', sizeof name);
    EXPECT_EQ(vulkan_prefer_device(V1_3, driver_name, sizeof driver_name, &best, name), 1);
    EXPECT_EQ(std::string(name), std::string(255, 'd'));
    EXPECT_EQ(name[256], '#');
    EXPECT_EQ(best, V1_3);
}

TEST(TrialJudgement, AtTheLimitAndWithoutATrial)
{
    struct Case {
        int dxvk, trial;
        uint32_t elapsed, exit_code;
        int new_dxvk, new_trial, judged, notice;
        const char *log;
    } cases[] = {
        {1, 1, 19999, 3221225477u, 0, 0, 1, 1,
         "dxvk: trial failed, the game ended after 19999 ms (exit 3221225477): off"},
        {1, 1, 20000, 0, 1, 0, 1, 0, "dxvk: trial passed (20000 ms)"},
        {1, 1, 0xFFFFFFFFu, 0, 1, 0, 1, 0, "dxvk: trial passed (4294967295 ms)"},
        {1, 1, 0, 0, 0, 0, 1, 1, "dxvk: trial failed, the game ended after 0 ms (exit 0): off"},
        // No pending trial: nothing changes, nothing is logged.
        {1, 0, 5, 1, 1, 0, 0, 0, ""},
        {0, 0, 5, 1, 0, 0, 0, 0, ""},
        {-1, 0, 5, 1, -1, 0, 0, 0, ""},
        {0, 1, 5, 1, 0, 1, 0, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.dxvk << "," << c.trial << " " << c.elapsed);
        TrialOutcome out;
        memset(&out, 0x55, sizeof out);
        dxvk_judge_trial(c.dxvk, c.trial, c.elapsed, c.exit_code, &out);
        EXPECT_EQ(out.dxvk, c.new_dxvk);
        EXPECT_EQ(out.dxvk_trial, c.new_trial);
        EXPECT_EQ(out.judged, c.judged);
        EXPECT_EQ(out.notice_due, c.notice);
        EXPECT_STREQ(out.log_line, c.log);
    }
}
