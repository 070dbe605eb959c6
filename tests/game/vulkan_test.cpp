// What the probe child finds on this machine: Wine, its Windows version, and
// Mesa's software Vulkan device through the system folder's loader.
#include "game/game.h"

#include <gtest/gtest.h>

#include <string.h>

TEST(VulkanQuery, FindsLavapipeAtVulkan13)
{
    uint32_t api = 0;
    char name[VULKAN_NAME_BYTES];
    char reason[VULKAN_REASON_BYTES];
    ASSERT_EQ(vulkan_query(&api, name, reason), 1) << reason;
    EXPECT_STREQ(reason, "");
    EXPECT_EQ(strncmp(name, "llvmpipe", 8), 0) << name;
    EXPECT_GE(api, DXVK_MIN_VULKAN_API);
    EXPECT_EQ((api >> 22) & 0x7F, 1u);
}

TEST(ProbeInputs, WineIsRecognised)
{
    EXPECT_TRUE(running_under_wine());
    // Wine reports the version its prefix imitates; it is never unknown.
    EXPECT_GE(windows_major_version(), 6ul);

    char reason[PROBE_REASON_BYTES];
    EXPECT_EQ(dxvk_decide(reason), 0);
    EXPECT_STREQ(reason, "Wine or CrossOver: the host renders, DXVK stays off");
}
