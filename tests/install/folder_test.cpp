// The folder rules on real folders: what the player's answer becomes.
#include "install/install.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

using namespace testing_support;

namespace {

// Creates the folders of `rel` below `base` and, unless it ends in a
// backslash, the file itself.
void make_entry(const TempDir &base, const std::wstring &rel)
{
    std::wstring path = base / rel;
    ASSERT_TRUE(make_parent_dirs(path.c_str()));
    if (path.back() == L'\\')
        return;
    ASSERT_TRUE(write_file(path, "x"));
}

// "%" in `text` stands for the scratch folder.
std::wstring expand(const std::wstring &text, const std::wstring &base)
{
    std::wstring out;
    for (wchar_t c : text)
        out += c == L'%' ? base : std::wstring(1, c);
    return out;
}

std::wstring normalized(const std::wstring &typed)
{
    wchar_t folder[LAUNCHER_PATH_CHARS];
    lstrcpynW(folder, typed.c_str(), LAUNCHER_PATH_CHARS);
    normalize_install_folder(folder);
    return folder;
}

}  // namespace

TEST(InstallFolder, Normalization)
{
    struct Row {
        const char *why;
        std::vector<std::wstring> entries;  // below the scratch folder; "x\" is a folder
        std::wstring typed, expected;
    };
    const Row rows[] = {
        {"trailing slashes of either kind go", {}, L"%\\new\\sub\\/\\", L"%\\new\\sub"},
        {"a folder that does not exist yet is used as typed", {}, L"%\\Games\\Korvanth",
         L"%\\Games\\Korvanth"},
        {"an empty folder is used", {L"empty\\"}, L"%\\empty\\", L"%\\empty"},
        {"a game folder is kept whatever else it holds",
         {L"game\\system\\dv.exe", L"game\\notes.txt"}, L"%\\game", L"%\\game"},
        {"a folder named dv.exe makes no game folder", {L"fake\\system\\dv.exe\\"}, L"%\\fake",
         L"%\\fake\\Korvanth"},
        {"the launcher's own names, in any letter case",
         {L"own\\KORVANTH.EXE", L"own\\korvanth.log", L"own\\Korvanth.State", L"own\\korvanth.NEW",
          L"own\\kORVANTH.old", L"own\\Korvanth.chunks\\"},
         L"%\\own", L"%\\own"},
        {"settings and a rotated log alone are ours too",
         {L"ini\\Korvanth.ini", L"ini\\Korvanth.log.1"}, L"%\\ini", L"%\\ini"},
        {"one other file beside ours makes it someone else's",
         {L"mixed\\Korvanth.ini", L"mixed\\Korvanth.new.part", L"mixed\\readme.txt"},
         L"%\\mixed", L"%\\mixed\\Korvanth"},
        {"other programs' folders count", {L"games\\other\\other.exe"}, L"%\\games\\",
         L"%\\games\\Korvanth"},
        {"a drive root keeps its backslash", {}, L"C:\\\\", L"C:\\Korvanth"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        TempDir base;
        for (const std::wstring &e : row.entries)
            make_entry(base, e);
        EXPECT_EQ(normalized(expand(row.typed, base.path())), expand(row.expected, base.path()));
    }
}

TEST(InstallFolder, ProductFolderOnlyWhenItFits)
{
    TempDir base;
    // 250 characters + "\Korvanth" = 259, the most a folder may have.
    for (size_t length : {250u, 251u}) {
        std::wstring folder = base.path() + L"\\" +
                              std::wstring(length - base.path().size() - 1, L'f');
        ASSERT_EQ(folder.size(), length);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(write_file(folder + L"\\other.txt", "x"));
        EXPECT_EQ(normalized(folder), length == 250 ? folder + L"\\Korvanth" : folder);
    }
}

TEST(InstallFolder, DefaultIsOnTheWindowsDrive)
{
    wchar_t folder[LAUNCHER_PATH_CHARS];
    default_install_folder(folder);
    // The test prefix keeps Windows in C:\windows.
    EXPECT_STREQ(folder, L"C:\\Games\\Korvanth");
}
