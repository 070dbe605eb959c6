// The self-update tests' program. Copied into a scratch folder as
// "Korvanth.exe" and started with "--old-launcher <path of Korvanth.new>", it
// plays the old launcher: it holds its folder, opens the folder's log, starts
// the swap helper the way the window does, and ends a moment later, as the
// old launcher does once its window is gone.
#include "app/app.h"
#include "selfupdate/selfupdate.h"
#include "folder/folder.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>
#include <wchar.h>

namespace {

int play_old_launcher(const wchar_t *new_launcher)
{
    wchar_t own[LAUNCHER_PATH_CHARS];
    GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    wchar_t folder[LAUNCHER_PATH_CHARS];
    launcher_folder_of(own, folder);
    FolderLock lock = {};
    if (folder_lock_take(&lock, folder, 0) != FOLDER_LOCK_OWNED)
        return 4;
    log_open(folder);
    int started = start_swap_helper(folder, new_launcher);
    Sleep(500);
    return started == SWAP_HELPER_TOOK_OVER ? 0 : 3;
}

}  // namespace

int main(int argc, char **argv)
{
    int wargc = 0;
    wchar_t **wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    if (wargv && wargc == 3 && wcscmp(wargv[1], L"--old-launcher") == 0)
        return play_old_launcher(wargv[2]);
    testing::InitGoogleTest(&argc, argv);
    return testing_support::run_tests_watching_exit();
}
