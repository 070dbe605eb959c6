// The folder lock's name, and its hold between threads; the launcher and the
// driver taking it as processes are in tests/ui/launcher_test.cpp.
#include "update/update.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

using namespace testing_support;

namespace {

std::wstring lock_name(const std::wstring &folder)
{
    wchar_t name[FOLDER_LOCK_NAME_CHARS];
    EXPECT_TRUE(folder_lock_name(folder.c_str(), name, FOLDER_LOCK_NAME_CHARS)) << narrow(folder);
    return name;
}

}  // namespace

TEST(FolderLock, OneNamePerFolderWhateverItsSpelling)
{
    struct Row {
        const char *why;
        const wchar_t *a, *b;
        bool same;
    };
    const Row rows[] = {
        {"letter case", L"C:\\Games\\Korvanth", L"c:\\GAMES\\korvanth", true},
        {"trailing backslashes", L"C:\\Games\\Korvanth", L"C:\\Games\\Korvanth\\\\", true},
        {"slashes and dot steps", L"C:\\Games\\Korvanth", L"C:/Games/./x/../Korvanth", true},
        {"letters beyond ASCII", L"C:\\Spiele\\\u00dcberfall", L"C:\\SPIELE\\\u00fcBERFALL", true},
        {"another folder", L"C:\\Games\\Korvanth", L"C:\\Games\\Korvanth2", false},
        {"a sub-folder", L"C:\\Games\\Korvanth", L"C:\\Games\\Korvanth\\system", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(lock_name(row.a) == lock_name(row.b), row.same);
    }
    // Pinned: launchers and drivers of other versions must derive the same
    // name. SHA-256 of "C:\GAMES\KORVANTH" in UTF-16LE.
    EXPECT_EQ(lock_name(L"c:\\games\\korvanth"),
              L"Local\\Korvanth.folder."
              L"eb627caadd1b5f439bbbb797189d8fc7622e0d20e9d3bdc19f87db654158d1fe");
}

// A holder whose thread ended without letting go (killed, crashed) leaves
// the folder to the next taker.
TEST(FolderLock, AnEndedHolderLeavesTheFolderToTheNext)
{
    TempDir dir;
    FolderLock ended = {}, mine = {};
    std::thread([&] {
        EXPECT_EQ(folder_lock_take(&ended, dir.path().c_str(), 0), FOLDER_LOCK_OWNED);
    }).join();
    EXPECT_EQ(folder_lock_take(&mine, dir.path().c_str(), 0), FOLDER_LOCK_OWNED);
    folder_lock_release(&mine);
    CloseHandle((HANDLE)ended.mutex);
}
