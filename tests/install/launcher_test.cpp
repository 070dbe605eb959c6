// The installer in the real launcher: copies of Korvanth.exe started in
// scratch folders on the prefix's drive C:, their install window accepted or
// cancelled from here. Every process of a case, the installed copy included,
// runs in the case's job.
#include "install/install.h"
#include "install_helpers.h"
#include "korvanth_config.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <string>

using namespace install_testing;
using namespace testing_support;

namespace {

const std::string START_LINE = "Z launcher " KORVANTH_VERSION " start\r\n";

std::string contents(const std::wstring &path)
{
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

class Installer : public ::testing::Test {
protected:
    // Copies the launcher into `folder` (created) and starts it there.
    unsigned long start(const std::wstring &folder, const std::wstring &args = L"")
    {
        make_parent_dirs((folder + L"\\x").c_str());
        exe_ = folder + L"\\Korvanth.exe";
        EXPECT_TRUE(CopyFileW(launcher_exe().c_str(), exe_.c_str(), FALSE));
        pid_ = job_.start(in_quotes(exe_) + args, folder);
        EXPECT_NE(pid_, 0u);
        return pid_;
    }
    // The started launcher's exit code; 12345 when it did not end in time.
    unsigned long exit_code(unsigned timeout_ms = 30000)
    {
        return job_.wait_last(timeout_ms) ? job_.last_exit_code() : 12345;
    }
    // Answers the install window with `folder` and Install.
    void accept(const std::wstring &folder)
    {
        HWND window = wait_install_window(pid_);
        ASSERT_NE(window, nullptr);
        set_control_text(window, INSTALL_ID_FOLDER, folder);
        press(window, INSTALL_ID_INSTALL);
    }

    TempDir root_;
    Job job_;
    std::wstring exe_;
    unsigned long pid_ = 0;
};

struct Link {
    std::wstring target, working_folder, icon, description;
    int icon_index = -1;
};

bool read_link(const std::wstring &path, Link *link)
{
    IShellLinkW *shell_link = nullptr;
    IPersistFile *file = nullptr;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IShellLinkW, (void **)&shell_link)) &&
              SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, (void **)&file)) &&
              SUCCEEDED(file->Load(path.c_str(), STGM_READ));
    wchar_t text[4][MAX_PATH] = {};
    if (ok) {
        shell_link->GetPath(text[0], MAX_PATH, nullptr, SLGP_RAWPATH);
        shell_link->GetWorkingDirectory(text[1], MAX_PATH);
        shell_link->GetIconLocation(text[2], MAX_PATH, &link->icon_index);
        shell_link->GetDescription(text[3], MAX_PATH);
        *link = {text[0], text[1], text[2], text[3], link->icon_index};
    }
    if (file)
        file->Release();
    if (shell_link)
        shell_link->Release();
    return ok;
}

std::wstring shortcut_path(int csidl)
{
    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
    return std::wstring(folder) + L"\\Korvanth.lnk";
}

}  // namespace

TEST_F(Installer, HandsOverToTheInstalledCopy)
{
    const int shortcut_folders[] = {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS};
    for (int csidl : shortcut_folders)
        DeleteFileW(shortcut_path(csidl).c_str());
    std::wstring download = root_ / L"Downloads";
    std::wstring install = root_ / L"Games\\Korvanth";
    start(download);
    std::wstring first = exe_, target = install + L"\\Korvanth.exe";
    // Held by this process, the first copy's file cannot go yet: the
    // installed copy waits in its start-up, long enough to be looked at.
    HANDLE hold = CreateFileW(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);

    HWND window = wait_install_window(pid_);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(control_text(window, INSTALL_ID_FOLDER), L"C:\\Games\\Korvanth");
    accept(install + L"\\");
    EXPECT_EQ(exit_code(), 0u);

    // The installed copy starts as the first one ends; under load Wine takes
    // seconds to start a process, and the copy waits for the held file for
    // longer than this.
    unsigned long installed = 0;
    for (int i = 0; i < 500 && !installed; i++, Sleep(20))
        for (unsigned long id : job_.running_ids())
            installed = id;
    ASSERT_NE(installed, 0u) << "no installed copy runs";
    EXPECT_EQ(process_command_line(installed),
              in_quotes(target) + L" --installed-from " + in_quotes(first));
    Sleep(1000);
    EXPECT_TRUE(file_exists(first)) << "removed while held";
    CloseHandle(hold);
    ASSERT_TRUE(job_.wait_all(30000));

    EXPECT_FALSE(file_exists(first));
    EXPECT_EQ(contents(target), contents(launcher_exe()));
    std::string log = contents(install + L"\\Korvanth.log");
    size_t start_line = log.find(START_LINE);
    EXPECT_NE(start_line, std::string::npos) << log;
    EXPECT_EQ(log.find(START_LINE, start_line + 1), std::string::npos) << "one launcher ran";
    EXPECT_EQ(log.find("already running"), std::string::npos) << log;
    EXPECT_NE(log.find("Z installed from " + narrow(first) + " (removed)\r\n", start_line),
              std::string::npos)
        << log;
    EXPECT_FALSE(file_exists(download + L"\\Korvanth.log"));
    EXPECT_FALSE(file_exists(install + L"\\Korvanth.state"));
    EXPECT_FALSE(file_exists(install + L"\\Korvanth.ini"));

    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    for (int csidl : shortcut_folders) {
        std::wstring path = shortcut_path(csidl);
        SCOPED_TRACE(narrow(path));
        Link link;
        ASSERT_TRUE(read_link(path, &link));
        EXPECT_EQ(link.target, target);
        EXPECT_EQ(link.working_folder, install);
        EXPECT_EQ(link.icon, target);
        EXPECT_EQ(link.icon_index, 0);
        EXPECT_EQ(link.description, L"Korvanth launcher");
        DeleteFileW(path.c_str());
    }
    CoUninitialize();
}

TEST_F(Installer, SignsOfAnInstallationRunInPlace)
{
    struct Row {
        const char *why;
        const wchar_t *entry;  // "x\" is a folder
        const wchar_t *args;
        bool in_place;
    };
    const Row rows[] = {
        {"the game", L"system\\dv.exe", L"", true},
        {"a state file", L"Korvanth.state", L"", true},
        {"the installer's marker", L"Korvanth.ini", L"", true},
        {"a folder named as the state file", L"Korvanth.state\\", L"", false},
        {"a folder named as the game", L"system\\dv.exe\\", L"", false},
        {"the hand-over option without a path", nullptr, L" --installed-from", true},
        {"the hand-over option inside another word", nullptr, L" x--installed-fromx", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        TempDir dir;
        if (row.entry) {
            std::wstring entry = dir / row.entry;
            ASSERT_TRUE(make_parent_dirs(entry.c_str()));
            if (entry.back() != L'\\') {
                ASSERT_TRUE(write_file(entry, ""));
            }
        }
        start(dir.path(), row.args);
        if (!row.in_place) {
            HWND window = wait_install_window(pid_);
            ASSERT_NE(window, nullptr);
            press(window, INSTALL_ID_CANCEL);
        }
        EXPECT_EQ(exit_code(), row.in_place ? 0u : 1u) << contents(dir / L"Korvanth.log");
        std::string log = contents(dir / L"Korvanth.log");
        EXPECT_EQ(log.find(START_LINE) != std::string::npos, row.in_place) << log;
        EXPECT_EQ(log.find("installed from"), std::string::npos) << log;
    }
}

TEST_F(Installer, ChoosingItsOwnFolderInOtherCaseRunsInPlace)
{
    std::wstring folder = root_ / L"Launcher";
    start(folder);
    accept(upper_case(folder));
    EXPECT_EQ(exit_code(), 0u);
    EXPECT_NE(contents(folder + L"\\Korvanth.log").find(START_LINE), std::string::npos);
    EXPECT_FALSE(file_exists(folder + L"\\Korvanth\\Korvanth.exe"));
    EXPECT_TRUE(file_exists(exe_));
}

TEST_F(Installer, FailuresShowTheirBoxAndEndWithOne)
{
    // A file where a folder should be created.
    ASSERT_TRUE(write_file(root_ / L"blocker", "x"));
    // An older launcher held without write sharing: the copy cannot replace it.
    std::wstring held = root_ / L"Held\\Korvanth.exe";
    ASSERT_TRUE(make_parent_dirs(held.c_str()));
    ASSERT_TRUE(write_file(held, "MZ an older launcher"));
    HANDLE hold = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);
    struct Row {
        std::wstring folder, text;
    };
    const Row rows[] = {
        {root_ / L"blocker\\Korvanth",
         L"The folder could not be created. Please choose another one."},
        {root_ / L"Held", L"Could not copy the launcher to\n" + held + L"\n(error 32)."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(narrow(row.folder));
        start(root_ / L"Downloads");
        accept(row.folder);
        std::wstring title, text;
        EXPECT_TRUE(close_message_box(pid_, 30000, &title, &text));
        EXPECT_EQ(title, L"Korvanth");
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(exit_code(), 1u);
    }
    CloseHandle(hold);
    EXPECT_EQ(contents(held), "MZ an older launcher");
    EXPECT_FALSE(file_exists(root_ / L"Downloads\\Korvanth.log"));
}

TEST_F(Installer, OnlyACopyOfTheLauncherIsRemoved)
{
    std::wstring copy = root_ / L"copy\\Korvanth.exe";
    ASSERT_TRUE(make_parent_dirs(copy.c_str()));
    ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(write_file(root_ / L"other.exe", "MZ some other program"));
    std::wstring folder = root_ / L"Launcher";
    struct Row {
        std::wstring path;
        const char *outcome;
        bool stays;
    };
    const Row rows[] = {
        {copy, "removed", false},
        {root_ / L"gone\\Korvanth.exe", "removed", false},  // already missing
        {root_ / L"other.exe", "left in place", true},
        {root_ / L"copy", "left in place", true},  // a folder
        {folder + L"\\Korvanth.exe", "left in place", true},  // the running launcher
        {L"korvanth.EXE", "left in place", true},  // the same, relative
        {root_ / std::wstring(300, L'l'), "left in place", false},  // logged cut, not cut and deleted
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(narrow(row.path));
        DeleteFileW((folder + L"\\Korvanth.log").c_str());
        DWORD began = GetTickCount();
        start(folder, L" --installed-from " + in_quotes(row.path));
        EXPECT_EQ(exit_code(), 0u);
        // The retry loop would take ten seconds.
        EXPECT_LT(GetTickCount() - began, 5000u);
        std::string log = contents(folder + L"\\Korvanth.log");
        std::string logged = narrow(row.path.substr(0, LAUNCHER_PATH_CHARS - 1));
        EXPECT_NE(log.find("Z installed from " + logged + " (" + row.outcome + ")\r\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(file_exists(row.stays && row.path[1] != L':' ? folder + L"\\" + row.path
                                                               : row.path),
                  row.stays);
    }
}
