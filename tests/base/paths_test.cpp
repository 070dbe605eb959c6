// Path limits decide which files the launcher will touch; these pin them.
#include "base/base.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using testing_support::TempDir;

TEST(PathJoin, SeparatorsAndLimits)
{
    wchar_t out[LAUNCHER_PATH_CHARS];
    EXPECT_STREQ(path_join(out, 260, L"C:\\", L"Korvanth.log"), L"C:\\Korvanth.log");
    EXPECT_STREQ(path_join(out, 260, L"C:\\Games", L"Korvanth.log"), L"C:\\Games\\Korvanth.log");
    EXPECT_STREQ(path_join(out, 260, L"", L"name"), L"name");
    // Nothing is normalised inside the name.
    EXPECT_STREQ(path_join(out, 260, L"C:\\a", L"b/../c"), L"C:\\a\\b/../c");

    // 250 + 9 + 2 = 261 > 260: refused, even though no byte would overflow.
    std::wstring folder(250, L'f');
    EXPECT_STREQ(path_join(out, 260, folder.c_str(), L"123456789"), L"");
    EXPECT_EQ(wcslen(path_join(out, 260, folder.c_str(), L"12345678")), 259u);
}

TEST(ClientPath, RelativeUtf8BecomesWindowsPath)
{
    wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
    client_file_path("system/d3d9.dll", L"C:\\Games\\Korvanth", rel, full);
    EXPECT_STREQ(rel, L"system\\d3d9.dll");
    EXPECT_STREQ(full, L"C:\\Games\\Korvanth\\system\\d3d9.dll");

    // Cyrillic names convert; broken UTF-8 is repaired, not refused.
    rel_path_to_wide("\xD0\x94/a\xFF" "b", rel, CLIENT_REL_CHARS);
    const wchar_t expected[] = {0x0414, L'\\', L'a', 0xFFFD, L'b', 0};
    EXPECT_STREQ(rel, expected);

    // A relative path that cannot fit leaves both outputs empty.
    std::string longest(400, 'a');
    client_file_path(longest.c_str(), L"C:\\x", rel, full);
    EXPECT_STREQ(rel, L"");
    EXPECT_STREQ(full, L"");
}

TEST(TextConversion, LimitsAreFailures)
{
    wchar_t wide[4];
    EXPECT_EQ(utf8_to_wide("abc", wide, 4), 1);
    EXPECT_EQ(utf8_to_wide("abcd", wide, 4), 0);
    char narrow[4];
    EXPECT_EQ(wide_to_utf8(L"\x20AC", narrow, 4), 1);
    EXPECT_STREQ(narrow, "\xE2\x82\xAC");
    EXPECT_EQ(wide_to_utf8(L"a\x20AC", narrow, 4), 0);
}

TEST(MakeParentDirs, CreatesEveryFolderButTheLast)
{
    TempDir tmp;
    std::wstring target = tmp / L"Games/Korvanth/system/d3d9.dll";
    ASSERT_EQ(make_parent_dirs(target.c_str()), 1);
    DWORD attrs = GetFileAttributesW((tmp / L"Games/Korvanth/system").c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attrs & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(testing_support::file_exists(target));
    // Existing folders are accepted silently.
    EXPECT_EQ(make_parent_dirs(target.c_str()), 1);
}

TEST(MakeParentDirs, FileInTheWayAndOverlongPathFail)
{
    TempDir tmp;
    ASSERT_TRUE(testing_support::write_file(tmp / L"system", "x"));
    EXPECT_EQ(make_parent_dirs((tmp / L"system/d3d9.dll").c_str()), 0);
    EXPECT_EQ(make_parent_dirs((tmp / L"system/sub/d3d9.dll").c_str()), 0);

    std::wstring deep = tmp.path() + L"\\" + std::wstring(520 - tmp.path().size() - 1, L'a');
    ASSERT_EQ(deep.size(), 520u);
    EXPECT_EQ(make_parent_dirs(deep.c_str()), 0);
}

TEST(FileInfo, FilesOnlyWithSizeAndTime)
{
    TempDir tmp;
    std::wstring file = tmp / L"f.bin";
    ASSERT_TRUE(testing_support::write_file(file, std::string(12345, 'x')));
    uint64_t size = 0, time = 0;
    EXPECT_EQ(file_info(file.c_str(), &size, &time), 1);
    EXPECT_EQ(size, 12345u);
    EXPECT_NE(time, 0u);
    EXPECT_EQ(file_info(file.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(file_info(tmp.path().c_str(), &size, &time), 0);
    EXPECT_EQ(file_info((tmp / L"missing").c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(file_info(L"", nullptr, nullptr), 0);
}

// Moved by its open handle: onto nothing and onto an older file (replaced),
// the handle still open and the bytes in place; a folder in the way and an
// overlong name fail with the system's reason and leave the file where it is.
TEST(MoveOpenFile, ReplacesAFileAndRefusesAFolderOrAnOverlongName)
{
    TempDir tmp;
    ASSERT_TRUE(testing_support::write_file(tmp / L"old", "old"));
    ASSERT_TRUE(CreateDirectoryW((tmp / L"folder").c_str(), nullptr));
    const struct {
        std::wstring to;
        int moved;
    } rows[] = {
        {tmp / L"new", 1},
        {tmp / L"old", 1},
        {tmp / L"folder", 0},
        {tmp / (L"x" + std::wstring(CLIENT_PATH_CHARS, L'y')), 0},
    };
    for (const auto &row : rows) {
        std::wstring from = tmp / L"f.tmp";
        HANDLE f = CreateFileW(from.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(f, "content", 7, &written, nullptr));
        SetLastError(0);
        EXPECT_EQ(move_open_file(f, row.to.c_str()), row.moved) << row.to.size();
        DWORD error = GetLastError();
        CloseHandle(f);
        uint64_t size = 0;
        if (row.moved) {
            EXPECT_EQ(file_info(row.to.c_str(), &size, nullptr), 1);
            EXPECT_EQ(size, 7u);
            EXPECT_EQ(file_info(from.c_str(), nullptr, nullptr), 0);
        } else {
            EXPECT_NE(error, 0u) << row.to.size();
            EXPECT_EQ(file_info(from.c_str(), &size, nullptr), 1) << row.to.size();
            DeleteFileW(from.c_str());
        }
    }
}

TEST(DiskFree, MissingFolderMeansEnough)
{
    TempDir tmp;
    EXPECT_EQ(disk_free_bytes((tmp / L"does/not/exist").c_str()), UINT64_MAX);
    uint64_t free_bytes = disk_free_bytes(tmp.path().c_str());
    EXPECT_GT(free_bytes, 0u);
    EXPECT_NE(free_bytes, UINT64_MAX);
}
