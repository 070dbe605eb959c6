// The folder lock's name and hold within one process; the launcher and the
// driver taking it are run as processes in tests/ui/launcher_test.cpp.
#include "update/update.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wctype.h>

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

// `take` run on a thread of its own, which ends without letting go. Its
// handle goes to `*kept` when given (the mutex then outlives the thread),
// else it is closed.
int take_on_thread(const std::wstring &folder, uint32_t wait_ms, HANDLE *kept = nullptr)
{
    int result = 99;
    std::thread([&] {
        FolderLock lock = {};
        result = folder_lock_take(&lock, folder.c_str(), wait_ms);
        if (kept)
            *kept = (HANDLE)lock.mutex;
        else
            CloseHandle((HANDLE)lock.mutex);
    }).join();
    return result;
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
        {"letters beyond ASCII", L"C:\\Spiele\\\u00dcberfall\u00e9", L"C:\\SPIELE\\\u00fcBERFALL\u00c9",
         true},
        {"a drive root", L"C:\\", L"c:\\", true},
        {"another folder", L"C:\\Games\\Korvanth", L"C:\\Games\\Korvanth2", false},
        {"a sub-folder", L"C:\\Games\\Korvanth", L"C:\\Games\\Korvanth\\system", false},
        {"the root and a folder on it", L"C:\\", L"C:\\Korvanth", false},
        {"another drive", L"C:\\Games\\Korvanth", L"D:\\Games\\Korvanth", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(lock_name(row.a) == lock_name(row.b), row.same);
    }
    // Pinned: launchers and drivers of other builds must derive the same
    // name. SHA-256 of "C:\GAMES\KORVANTH" in UTF-16LE.
    EXPECT_EQ(lock_name(L"c:\\games\\korvanth"),
              L"Local\\Korvanth.folder."
              L"eb627caadd1b5f439bbbb797189d8fc7622e0d20e9d3bdc19f87db654158d1fe");
}

TEST(FolderLock, PathsAndCapacitiesAtTheLimits)
{
    wchar_t name[FOLDER_LOCK_NAME_CHARS];
    // Folders beyond 260 characters have names too, up to 519.
    std::wstring deep = L"C:\\" + std::wstring(516, L'd');
    EXPECT_TRUE(folder_lock_name(deep.c_str(), name, FOLDER_LOCK_NAME_CHARS));
    EXPECT_FALSE(folder_lock_name((deep + L"d").c_str(), name, FOLDER_LOCK_NAME_CHARS));
    EXPECT_STREQ(name, L"");
    // The name and its terminator need 87 characters.
    EXPECT_TRUE(folder_lock_name(L"C:\\x", name, 87));
    EXPECT_FALSE(folder_lock_name(L"C:\\x", name, 86));
    EXPECT_STREQ(name, L"");
}

TEST(FolderLock, OneHolderAtATimeAndTheNextWhenItEnds)
{
    TempDir dir;
    TempDir other;
    std::wstring spelled = dir.path() + L"\\";
    for (wchar_t &c : spelled)
        c = towupper(c);

    FolderLock mine = {};
    ASSERT_EQ(folder_lock_take(&mine, dir.path().c_str(), 0), FOLDER_LOCK_OWNED);
    EXPECT_EQ(folder_lock_wait(&mine, 0), FOLDER_LOCK_OWNED);
    EXPECT_EQ(take_on_thread(spelled, 0), FOLDER_LOCK_HELD);
    DWORD began = GetTickCount();
    EXPECT_EQ(take_on_thread(dir.path(), 300), FOLDER_LOCK_HELD);
    EXPECT_GE(GetTickCount() - began, 250u) << "the wait was not waited";
    EXPECT_EQ(take_on_thread(other.path(), 0), FOLDER_LOCK_OWNED);

    // A waiter gets the folder when the holder lets go.
    std::thread waiter([&] {
        FolderLock lock = {};
        EXPECT_EQ(folder_lock_take(&lock, dir.path().c_str(), 10000), FOLDER_LOCK_OWNED);
        folder_lock_release(&lock);
    });
    Sleep(200);
    folder_lock_release(&mine);
    waiter.join();
    EXPECT_EQ(mine.mutex, nullptr);

    // A holder that ended without letting go (killed, crashed) leaves the
    // folder to the next one.
    HANDLE abandoned = nullptr;
    EXPECT_EQ(take_on_thread(dir.path(), 0, &abandoned), FOLDER_LOCK_OWNED);
    ASSERT_EQ(folder_lock_take(&mine, dir.path().c_str(), 0), FOLDER_LOCK_OWNED);
    EXPECT_EQ(take_on_thread(dir.path(), 0), FOLDER_LOCK_HELD);
    folder_lock_release(&mine);
    CloseHandle(abandoned);
}
