// The folder lock's name, and its hold between threads; the launcher and the
// driver taking it as processes, with other spellings of one folder, are in
// tests/ui/launcher_test.cpp.
#include "folder/folder.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

using namespace testing_support;

// Pinned: launchers and drivers of other versions must derive the same
// name, the SHA-256 of "C:\GAMES\KORVANTH" in UTF-16LE.
TEST(FolderLock, TheNameIsTheHashOfTheUpperCasedFullPath)
{
    wchar_t name[FOLDER_LOCK_NAME_CHARS];
    ASSERT_TRUE(folder_lock_name(L"c:/games/./korvanth\\", name, FOLDER_LOCK_NAME_CHARS));
    EXPECT_STREQ(name, L"Local\\Korvanth.folder."
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
