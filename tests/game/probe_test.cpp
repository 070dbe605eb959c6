// The probe's parent side against real child processes: this very program
// plays the child (see main.cpp), and the real launcher answers for itself.
#include "game/game.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>

#include <string>

using namespace testing_support;

namespace {

struct ProbeCase {
    const char *answer;  // KV_PROBE_ANSWER for the child
    int verdict;
    const char *reason;
    const char *why;
};

const ProbeCase PROBE_CASES[] = {
    {"1|llvmpipe (LLVM 15.0.6, 256 bits) (Vulkan 1.3)", 1,
     "llvmpipe (LLVM 15.0.6, 256 bits) (Vulkan 1.3)", "usable device"},
    {"0|Windows 8: DXVK needs Windows 10 or newer", 0,
     "Windows 8: DXVK needs Windows 10 or newer", "verdict off with its reason"},
    {"1|", 1, "probe gave no reason", "silent child: the exit code still decides"},
    {"0|", 0, "probe gave no reason", "silent child, off"},
    {"crash", 0, "probe crashed (0xc0000005): off", "access violation in the driver"},
    {"2|half a reason", 0, "probe crashed (0x00000002): off", "any other code is a crash"},
    {"1|two\r\nlines\tand\x7f", 1, "two??lines?and?", "control bytes never reach the log"},
};

}  // namespace

TEST(ProbeVulkan, ReadsVerdictAndReasonOfTheChild)
{
    for (const ProbeCase &c : PROBE_CASES) {
        SCOPED_TRACE(c.why);
        ASSERT_TRUE(SetEnvironmentVariableA("KV_PROBE_ANSWER", c.answer));
        char reason[PROBE_REASON_BYTES];
        memset(reason, 'x', sizeof reason);
        EXPECT_EQ(probe_vulkan(reason), c.verdict);
        EXPECT_STREQ(reason, c.reason);
    }
}

TEST(ProbeVulkan, ReasonIsCutAt127Bytes)
{
    std::string text(300, 'r');
    ASSERT_TRUE(SetEnvironmentVariableA("KV_PROBE_ANSWER", ("1|" + text).c_str()));
    char reason[PROBE_REASON_BYTES];
    EXPECT_EQ(probe_vulkan(reason), 1);
    EXPECT_EQ(std::string(reason), text.substr(0, 127));
}

TEST(ProbeVulkan, HangingChildIsKilledAfterTenSeconds)
{
    TempDir dir;
    ASSERT_TRUE(SetEnvironmentVariableA("KV_PROBE_ANSWER", "hang"));
    ASSERT_TRUE(SetEnvironmentVariableW(L"KV_PROBE_PID_FILE", (dir / L"pid.txt").c_str()));
    char reason[PROBE_REASON_BYTES];
    EXPECT_EQ(probe_vulkan(reason), 0);
    EXPECT_STREQ(reason, "probe hung for 10 s (Vulkan loader or a layer): off");

    std::string pid;
    ASSERT_TRUE(read_file(dir / L"pid.txt", &pid));
    HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, strtoul(pid.c_str(), nullptr, 10));
    if (child) {
        EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_OBJECT_0) << "the probe child still runs";
        CloseHandle(child);
    }
}

TEST(ProbeVulkan, ChildThatCannotStart)
{
    TempDir dir;
    char reason[PROBE_REASON_BYTES];
    EXPECT_EQ(probe_vulkan_child((dir / L"missing.exe").c_str(), reason), 0);
    EXPECT_STREQ(reason, "probe: start failed (2)");
}

TEST(ProbeVulkan, RealLauncherUnderWineStaysOff)
{
    char reason[PROBE_REASON_BYTES];
    EXPECT_EQ(probe_vulkan_child(launcher_exe().c_str(), reason), 0);
    EXPECT_STREQ(reason, "Wine or CrossOver: the host renders, DXVK stays off");
}
