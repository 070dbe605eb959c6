// The launcher swap with real processes in scratch folders: the old launcher
// (this test program, copied as Korvanth.exe), the helper (the real launcher
// as Korvanth.new) and the restarted launcher. Every process of a case runs
// in a job object, so the test sees when all of them have ended and none
// outlives it.
#include "base/base.h"
#include "korvanth_config.h"
#include "selfupdate/selfupdate.h"
#include "support/harness.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

using namespace testing_support;

namespace {

std::string contents(const std::wstring &path)
{
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

std::string launcher_bytes()
{
    return contents(launcher_exe());
}

// The pid of a process that has ended already.
DWORD ended_pid()
{
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;  // its answer goes nowhere
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = in_quotes(launcher_exe()) + L" --probe-vulkan";
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return 0;
    WaitForSingleObject(pi.hProcess, 60000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return pi.dwProcessId;
}

// Beside a launcher, the sign of an installed one: without it a launcher run
// would ask where to install.
const std::wstring INSTALLED_MARKER = L"Korvanth.ini";

const std::string START_LINE = "Z launcher " KORVANTH_VERSION " start\r\n";

const std::wstring FAILURE_TEXT =
    std::wstring(L"The launcher could not update itself. Please download it again from ") +
    KORVANTH_WEB_HOST + L".";

}  // namespace

TEST(Swap, WholeSwapWithRealProcesses)
{
    TempDir dir;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_TRUE(CopyFileW(self, (dir / L"Korvanth.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), (dir / L"Korvanth.new").c_str(), FALSE));
    ASSERT_TRUE(write_file(dir / INSTALLED_MARKER, ""));

    Job job;
    ASSERT_NE(job.start(in_quotes(dir / L"Korvanth.exe") + L" --old-launcher " +
                            in_quotes(dir / L"Korvanth.new"),
                        dir.path()),
              0u);
    ASSERT_TRUE(job.wait_all(90000));
    EXPECT_EQ(job.last_exit_code(), 0u) << "the old launcher could not start the helper";

    EXPECT_EQ(contents(dir / L"Korvanth.exe"), launcher_bytes());
    // The old launcher logged the hand-over, the restarted new one its start.
    std::string log = contents(dir / L"Korvanth.log");
    size_t handed = log.find("Z swap: helper started, exiting\r\n");
    ASSERT_NE(handed, std::string::npos) << log;
    EXPECT_NE(log.find(START_LINE, handed), std::string::npos) << log;
    EXPECT_EQ(log.find("already running"), std::string::npos) << "the old one held the folder";
    EXPECT_FALSE(file_exists(dir / L"Korvanth.old"));

    // Korvanth.new may have outlived that start while the helper held it;
    // the next start, with the helper gone, removes it.
    if (file_exists(dir / L"Korvanth.new")) {
        unsigned long code = 1;
        ASSERT_TRUE(run_process(in_quotes(dir / L"Korvanth.exe"), 60000, &code, dir.path()));
        EXPECT_EQ(code, 0u);
    }
    EXPECT_FALSE(file_exists(dir / L"Korvanth.new"));
}

TEST(Swap, OldProcessEndedAndStaleBackup)
{
    TempDir dir;
    ASSERT_TRUE(write_file(dir / L"Korvanth.exe", "the old launcher"));
    ASSERT_TRUE(write_file(dir / L"Korvanth.old", "left over from an interrupted swap"));
    ASSERT_TRUE(write_file(dir / INSTALLED_MARKER, ""));
    ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), (dir / L"Korvanth.new").c_str(), FALSE));
    DWORD pid = ended_pid();
    ASSERT_NE(pid, 0u);

    Job job;
    // With a valid swap request, a probe option beside it does not count.
    ASSERT_NE(job.start(in_quotes(dir / L"Korvanth.new") + L" --probe-vulkan --swap " +
                            std::to_wstring(pid) + L" " + in_quotes(dir / L"Korvanth.exe"),
                        dir.path()),
              0u);
    ASSERT_TRUE(job.wait_all(90000));
    EXPECT_EQ(job.last_exit_code(), 0u);
    EXPECT_EQ(contents(dir / L"Korvanth.exe"), launcher_bytes());
    EXPECT_NE(contents(dir / L"Korvanth.log").find(START_LINE), std::string::npos);
    EXPECT_FALSE(file_exists(dir / L"Korvanth.old"));
}

TEST(Swap, CommandLinesThatAreNoSwapStartNormally)
{
    const std::wstring live_pid = std::to_wstring(GetCurrentProcessId());
    const std::wstring cases[] = {
        L" --swap 0 ",
        L" --swap abc ",
        L" --SWAP " + live_pid + L" ",
        L" --Probe-Vulkan --swap" + live_pid + L" ",
        L" " + live_pid + L" --swap ",
    };
    for (const std::wstring &args : cases) {
        SCOPED_TRACE(narrow(args));
        TempDir dir;
        ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), (dir / L"Korvanth.exe").c_str(), FALSE));
        ASSERT_TRUE(write_file(dir / L"victim.exe", "must stay"));
        ASSERT_TRUE(write_file(dir / INSTALLED_MARKER, ""));
        Job job;
        ASSERT_NE(job.start(in_quotes(dir / L"Korvanth.exe") + args + in_quotes(dir / L"victim.exe"),
                            dir.path()),
                  0u);
        ASSERT_TRUE(job.wait_all(60000));
        EXPECT_EQ(job.last_exit_code(), 0u);
        EXPECT_NE(contents(dir / L"Korvanth.log").find(START_LINE), std::string::npos);
        EXPECT_EQ(contents(dir / L"victim.exe"), "must stay");
        EXPECT_FALSE(file_exists(dir / L"Korvanth.old"));
    }
}

TEST(Swap, ProbeOptionInAnyPositionIsAProbeRun)
{
    TempDir dir;
    ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), (dir / L"Korvanth.exe").c_str(), FALSE));
    unsigned long code = 12345;
    ASSERT_TRUE(run_process(in_quotes(dir / L"Korvanth.exe") + L" one --probe-vulkan two", 60000,
                            &code, dir.path()));
    EXPECT_EQ(code, 0u);  // Wine: off
    EXPECT_FALSE(file_exists(dir / L"Korvanth.log")) << "a probe child opened the log";
}

// The new launcher starts from its copy, but neither it nor the helper can
// give it the old one's name: the helper says so after its attempts, and the
// old file stays whole for the next start.
TEST(Swap, TargetThatCannotBeReplacedStaysWithTheFailureBox)
{
    TempDir dir;
    ASSERT_TRUE(write_file(dir / L"Korvanth.exe", "the old launcher"));
    ASSERT_TRUE(write_file(dir / INSTALLED_MARKER, ""));
    ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), (dir / L"Korvanth.new").c_str(), FALSE));
    // Held open without delete sharing, the file cannot be replaced.
    HANDLE hold = CreateFileW((dir / L"Korvanth.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);

    Job job;
    DWORD helper = job.start(in_quotes(dir / L"Korvanth.new") + L" --swap " +
                                 std::to_wstring(ended_pid()) + L" " +
                                 in_quotes(dir / L"Korvanth.exe"),
                             dir.path());
    ASSERT_NE(helper, 0u);
    std::wstring title, text;
    // Twenty attempts half a second apart come first.
    EXPECT_TRUE(close_message_box(helper, 60000, &title, &text));
    EXPECT_EQ(title, L"Korvanth");
    EXPECT_EQ(text, FAILURE_TEXT);
    CloseHandle(hold);
    ASSERT_TRUE(job.wait_all(30000));  // the new launcher's window closed

    EXPECT_EQ(contents(dir / L"Korvanth.exe"), "the old launcher");
    EXPECT_NE(contents(dir / L"Korvanth.log").find("could not replace the previous one"),
              std::string::npos)
        << contents(dir / L"Korvanth.log");
    EXPECT_EQ(update_test::refused_launcher_hex(dir.path()), "")
        << "a launcher that started is not refused";
}

TEST(Swap, TargetFolderTooLongForTheBackupIsRefused)
{
    TempDir dir;
    // Folder of 247 characters: with its backslash and "Korvanth.swap" the
    // copy's path would need 261 characters and a terminator.
    std::wstring folder = dir.path() + L"\\" + std::wstring(247 - dir.path().size() - 1, L'f');
    ASSERT_EQ(folder.size(), 247u);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring target = folder + L"\\K.exe";
    ASSERT_TRUE(write_file(target, "the old launcher"));
    ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), (dir / L"Korvanth.new").c_str(), FALSE));

    Job job;
    DWORD helper = job.start(in_quotes(dir / L"Korvanth.new") + L" --swap " +
                                 std::to_wstring(ended_pid()) + L" " + in_quotes(target),
                             dir.path());
    ASSERT_NE(helper, 0u);
    std::wstring text;
    EXPECT_TRUE(close_message_box(helper, 30000, nullptr, &text));
    EXPECT_EQ(text, FAILURE_TEXT);
    ASSERT_TRUE(job.wait_all(30000));
    EXPECT_EQ(job.last_exit_code(), 0u);
    EXPECT_EQ(contents(target), "the old launcher");
    EXPECT_FALSE(file_exists(folder + L"\\Korvanth.old"));
    EXPECT_FALSE(file_exists(dir / L"Korvanth.old"));
}

TEST(Swap, HelperThatCannotStartIsLoggedAndRefused)
{
    TempDir dir;
    log_open(dir.path().c_str());
    EXPECT_EQ(start_swap_helper(dir.path().c_str(), (dir / L"Korvanth.new").c_str()), 0);
    EXPECT_NE(contents(dir / L"Korvanth.log").find("Z swap: helper start failed (2)\r\n"),
              std::string::npos)
        << contents(dir / L"Korvanth.log");
}
