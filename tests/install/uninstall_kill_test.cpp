// Kills during an uninstall: the launcher built with the counting file layer
// (Korvanth-faults.exe, tests/faults) ends itself at its Kth file operation
// (KORVANTH_KILL_AT), as a kill at that moment would. Killed at points
// spread over a whole run, a second uninstall from what is left (the entry's
// command, or the launcher itself once the entry is gone) finishes the job.
#include "install/install.h"
#include "korvanth_config.h"
#include "support/support.h"
#include "uninstall_helpers.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

using namespace testing_support;
using namespace uninstall_testing;

namespace {

const unsigned long KILLED = 86;  // the hook's exit code
const long SPREAD_POINTS = 12;

class UninstallKill : public ::testing::Test {
protected:
    TempDir root_;
    Job job_;
    int runs_ = 0;

    // An uninstall of a fresh installation of the counting launcher in
    // `folder`, killed at its kth file operation (0: never); what it printed
    // goes to `output`.
    UninstallRun run_killed_at(const std::wstring &folder, long k, std::string *output)
    {
        make_installation(folder, wine_path(KORVANTH_BINARY_DIR "/Korvanth-faults.exe"));
        std::wstring out = root_ / (L"run" + std::to_wstring(++runs_) + L".txt");
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        char at[24];
        snprintf(at, sizeof at, "%ld", k);
        SetEnvironmentVariableA("KORVANTH_KILL_AT", k > 0 ? at : nullptr);
        std::wstring command = entry_text(entry_key(folder), L"UninstallString");
        UninstallRun run = run_uninstall(job_, command, true, true, file);
        SetEnvironmentVariableA("KORVANTH_KILL_AT", nullptr);
        CloseHandle(file);
        read_file(out, output);
        return run;
    }
};

}  // namespace

TEST_F(UninstallKill, ASecondRunFinishesWhatAKilledOneBegan)
{
    std::string output;
    UninstallRun whole = run_killed_at(root_ / L"whole", 0, &output);
    ASSERT_EQ(whole.code, (unsigned long)UNINSTALL_EXIT_DONE) << narrow(whole.box_text);
    // The first process prints its count as it ends, before its helper does.
    size_t at = output.find("file-operations ");
    ASSERT_NE(at, std::string::npos) << output;
    long total = atol(output.c_str() + at + 16);
    ASSERT_GT(total, SPREAD_POINTS);

    int kills = 0;
    for (long i = 0; i < SPREAD_POINTS && !HasFatalFailure(); i++) {
        long k = 1 + i * (total - 1) / (SPREAD_POINTS - 1);
        std::wstring folder = root_ / (L"killed-at-" + std::to_wstring(k));
        SCOPED_TRACE("kill at " + std::to_string(k) + " of " + std::to_string(total));
        UninstallRun killed = run_killed_at(folder, k, &output);
        if (killed.code == KILLED) {
            kills++;
            // Whatever the moment, the launcher is still there to finish
            // with, and while its entry is there, that is the way.
            ASSERT_TRUE(file_exists(folder + L"\\Korvanth.exe"));
            std::wstring key = entry_key(folder);
            std::wstring command = key.empty()
                                       ? in_quotes(folder + L"\\Korvanth.exe") + L" --uninstall"
                                       : entry_text(key, L"UninstallString");
            UninstallRun next = run_uninstall(job_, command, true);
            EXPECT_EQ(next.code, (unsigned long)UNINSTALL_EXIT_DONE) << narrow(next.box_text);
            EXPECT_EQ(next.helper_code, (unsigned long)UNINSTALL_EXIT_DONE);
        } else {
            EXPECT_EQ(killed.code, (unsigned long)UNINSTALL_EXIT_DONE) << narrow(killed.box_text);
        }
        EXPECT_TRUE(entry_key(folder).empty());
        expect_launcher_files_gone(folder, true);
        for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS})
            EXPECT_FALSE(file_exists(shortcut_path(csidl)));
        // Killed just before it opened the helper copy for deletion, the
        // first process leaves that copy behind (the README says so).
        std::vector<std::wstring> copies = helper_copies();
        if (k == total && copies.size() == 1) {
            printf("a kill at the last operation left %s\n", narrow(copies[0]).c_str());
            wchar_t temp[MAX_PATH];
            GetTempPathW(MAX_PATH, temp);
            DeleteFileW((temp + copies[0]).c_str());
        }
        EXPECT_TRUE(helper_copies().empty());
    }
    printf("kills survived: %d of %ld points over %ld file operations\n", kills, SPREAD_POINTS,
           total);
    EXPECT_GE(kills, SPREAD_POINTS - 1);
}
