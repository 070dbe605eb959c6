// Runs the real launcher under Wine from scratch folders.
#include "app/app.h"
#include "korvanth_config.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using namespace testing_support;

namespace {

// Copies the launcher into `folder` as Korvanth.exe and runs it there, as an
// installed launcher: the installer's marker beside it keeps the install
// window away.
unsigned long run_launcher_in(const std::wstring &folder, const std::wstring &args = L"")
{
    std::wstring exe = folder + L"\\Korvanth.exe";
    EXPECT_TRUE(write_file(folder + L"\\Korvanth.ini", ""));
    EXPECT_TRUE(CopyFileW(launcher_exe().c_str(), exe.c_str(), FALSE));
    unsigned long code = 12345;
    EXPECT_TRUE(run_process(L"\"" + exe + L"\"" + args, 60000, &code, folder));
    return code;
}

}  // namespace

TEST(Startup, LogsStartAndRemovesSwapLeftovers)
{
    TempDir dir;
    ASSERT_TRUE(write_file(dir / L"Korvanth.old", "old launcher"));
    ASSERT_TRUE(write_file(dir / L"Korvanth.new", "new launcher"));
    EXPECT_EQ(run_launcher_in(dir.path()), 0u);

    std::string log;
    ASSERT_TRUE(read_file(dir / L"Korvanth.log", &log));
    EXPECT_NE(log.find("Z launcher " KORVANTH_VERSION " start\r\n"), std::string::npos) << log;
    EXPECT_FALSE(file_exists(dir / L"Korvanth.old"));
    EXPECT_FALSE(file_exists(dir / L"Korvanth.new"));
}

TEST(Startup, OwnPathOf259CharactersRuns)
{
    TempDir dir;
    // folder + "\Korvanth.exe" (13 characters) = 259
    std::wstring folder = dir.path() + L"\\" + std::wstring(259 - 13 - dir.path().size() - 1, L'p');
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_EQ((folder + L"\\Korvanth.exe").size(), 259u);
    EXPECT_EQ(run_launcher_in(folder), 0u);
    EXPECT_TRUE(file_exists(folder + L"\\Korvanth.log"));
}

TEST(Startup, OwnPathOf260CharactersExitsWithoutLog)
{
    TempDir dir;
    std::wstring folder = dir.path() + L"\\" + std::wstring(260 - 13 - dir.path().size() - 1, L'p');
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring exe = folder + L"\\Korvanth.exe";
    ASSERT_EQ(exe.size(), 260u);
    ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), exe.c_str(), FALSE));
    // Wine refuses to start a program from such a path at all (error 2);
    // where the system does start it, the launcher must end with 1.
    unsigned long code = 0;
    if (run_process(L"\"" + exe + L"\"", 60000, &code, folder)) {
        EXPECT_EQ(code, 1u);
    }
    EXPECT_FALSE(file_exists(folder + L"\\Korvanth.log"));
}

TEST(LauncherFolder, DriveRootKeepsItsBackslash)
{
    wchar_t folder[LAUNCHER_PATH_CHARS];
    launcher_folder_of(L"C:\\Korvanth.exe", folder);
    EXPECT_STREQ(folder, L"C:\\");
    wchar_t log[LAUNCHER_PATH_CHARS];
    EXPECT_STREQ(path_join(log, 260, folder, L"Korvanth.log"), L"C:\\Korvanth.log");
    launcher_folder_of(L"C:\\Games\\Korvanth\\Korvanth.exe", folder);
    EXPECT_STREQ(folder, L"C:\\Games\\Korvanth");
    launcher_folder_of(L"Korvanth.exe", folder);
    EXPECT_STREQ(folder, L"");
}
