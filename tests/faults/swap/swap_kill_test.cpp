// Kills at every step of the launcher swap: the helper is the faulted
// launcher with the kill hook, ending itself at its Kth file operation
// (KORVANTH_KILL_AT; the launchers it starts run whole). One case hands over
// a launcher that starts, one a launcher that ends at start-up, which the
// helper refuses. After every kill, Korvanth.exe is a whole launcher, the old
// one or the new one, and never one that has not started; the next start of
// it runs, and keeps what it finds.
#include "support/harness.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <ostream>
#include <string>

using namespace testing_support;

namespace {

const unsigned long KILLED = 86;  // the hook's exit code

struct SwapKillCase {
    const char *name;
    const char *build;  // the new launcher, run as Korvanth.new
    bool starts;        // it starts; else the helper refuses it
};

void PrintTo(const SwapKillCase &c, std::ostream *os)
{
    *os << c.name;
}

std::string contents(const std::wstring &path)
{
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

// The pid of a process that has ended already: the old launcher the helper
// is told to wait for.
unsigned long ended_pid()
{
    TempDir dir;
    Job job;
    unsigned long pid = job.start(in_quotes(launcher_exe()) + L" --probe-vulkan", dir.path());
    return job.wait_all(60000) ? pid : 0;
}

// Every process running a program of `folder` closes its launcher window and
// ends; false when one still runs after `timeout_ms`. The launchers a helper
// starts need not be in the case's job.
bool end_launchers_in(const std::wstring &folder, unsigned timeout_ms)
{
    const std::wstring prefix = folder + L"\\";
    auto runs_from_folder = [&](unsigned long pid) {
        wchar_t image[MAX_PATH];
        DWORD n = MAX_PATH;
        HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        bool ours = p && QueryFullProcessImageNameW(p, 0, image, &n) &&
                    CompareStringOrdinal(image, (int)prefix.size(), prefix.c_str(),
                                         (int)prefix.size(), TRUE) == CSTR_EQUAL;
        if (p)
            CloseHandle(p);
        return ours;
    };
    for (DWORD began = GetTickCount(); GetTickCount() - began < timeout_ms; Sleep(50)) {
        bool any = false;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry))
            any = any || runs_from_folder(entry.th32ProcessID);
        CloseHandle(snapshot);
        if (!any)
            return true;
        close_launcher_windows(runs_from_folder);
    }
    return false;
}

class SwapKillRun : public ::testing::TestWithParam<SwapKillCase> {
protected:
    std::string old_launcher, new_launcher, new_digest;
    unsigned long gone = 0;

    void SetUp() override
    {
        old_launcher = contents(launcher_exe());
        new_launcher = contents(
            wine_path(std::string(KORVANTH_BINARY_DIR "/") + GetParam().build + ".exe"));
        ASSERT_FALSE(old_launcher.empty());
        ASSERT_FALSE(new_launcher.empty());
        gone = ended_pid();
        ASSERT_NE(gone, 0u);
    }

    // One swap whose helper is killed at its kth file operation, then the
    // checks and the next start. False when the helper got through first.
    bool kill_at(long k)
    {
        const SwapKillCase &c = GetParam();
        const std::string where = "kill at " + std::to_string(k);
        TempDir dir;
        EXPECT_TRUE(write_file(dir / L"Korvanth.exe", old_launcher));
        EXPECT_TRUE(write_file(dir / L"Korvanth.new", new_launcher));
        EXPECT_TRUE(write_file(dir / L"Korvanth.ini", ""));

        char at[24];
        snprintf(at, sizeof at, "%ld", k);
        SetEnvironmentVariableA("KORVANTH_KILL_AT", at);
        Job job;
        unsigned long helper = job.start(in_quotes(dir / L"Korvanth.new") + L" --swap " +
                                             std::to_wstring(gone) + L" " +
                                             in_quotes(dir / L"Korvanth.exe"),
                                         dir.path());
        SetEnvironmentVariableA("KORVANTH_KILL_AT", nullptr);
        EXPECT_NE(helper, 0u) << where;
        EXPECT_TRUE(job.wait_last(90000)) << where;
        unsigned long code = job.last_exit_code();
        EXPECT_TRUE(end_launchers_in(dir.path(), 60000)) << where;
        EXPECT_TRUE(job.wait_all(30000)) << where;

        std::string now = contents(dir / L"Korvanth.exe");
        bool is_old = now == old_launcher, is_new = now == new_launcher;
        EXPECT_TRUE(is_old || (is_new && c.starts))
            << where << ": Korvanth.exe is " << (is_new ? "the refused launcher" : "no whole launcher");
        if (code != KILLED) {
            EXPECT_EQ(code, 0u) << where;
            EXPECT_TRUE(c.starts ? is_new : is_old) << where << ", the helper got through";
            if (!c.starts) {
                EXPECT_EQ(update_test::refused_launcher_hex(dir.path()).size(), 64u) << where;
            }
        }

        // The next start runs the launcher in place, keeps it, and removes
        // the swap's leftovers.
        unsigned long next = 1;
        EXPECT_TRUE(run_process(in_quotes(dir / L"Korvanth.exe"), 60000, &next, dir.path()))
            << where;
        EXPECT_EQ(next, 0u) << where << ", the next start\n" << update_test::log_text(dir.path());
        EXPECT_TRUE(end_launchers_in(dir.path(), 30000)) << where;
        EXPECT_EQ(contents(dir / L"Korvanth.exe"), now) << where << ", the next start";
        EXPECT_FALSE(file_exists(dir / L"Korvanth.swap")) << where << ", the next start";
        EXPECT_FALSE(file_exists(dir / L"Korvanth.new")) << where << ", the next start";
        return code == KILLED;
    }
};

TEST_P(SwapKillRun, EveryStepLeavesALauncherThatStarts)
{
    int kills = 0;
    for (long k = 1; k < 1000 && !HasFatalFailure() && kill_at(k); k++)
        kills++;
    printf("kills survived: %d (%s)\n", kills, GetParam().name);
    EXPECT_GT(kills, 0);
}

const SwapKillCase CASES[] = {
    {"starts", "Korvanth-faults", true},
    // Ends at start-up as a launcher: the kills fall on the refusal's steps
    // too (the copy deleted, the state saved, the old launcher started).
    {"refused", "Korvanth-faults-crash", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, SwapKillRun, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<SwapKillCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
