// The window tests' program. Besides running its cases it plays two child
// roles, chosen by its command line:
//   --probe-vulkan                       the probe child the window's check starts
//   --launcher-role [--mirror-pair A B] [--web-url W]
//                                        the launcher itself, copied into a
//                                        scratch folder as "Korvanth.exe", with
//                                        its built-in mirrors at A and B and
//                                        its web site at W
// A launcher that a swap starts again gets none of these options: it plays
// the launcher when KORVANTH_TEST_LAUNCHER_MIRRORS ("A B") is set, as the
// case that started its first run sets it for that run's descendants.
#include "app/app.h"
#include "game/game.h"
#include "update/update.h"
#include "fetch/fetch.h"
#include "support/support.h"
#include "ui/news_internal.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>
#include <wchar.h>

namespace {

int play_launcher(int argc, wchar_t **argv)
{
    for (int i = 1; i + 2 < argc; i++)
        if (wcscmp(argv[i], L"--mirror-pair") == 0)
            mirrors_set_builtin(argv[i + 1], argv[i + 2]);
    for (int i = 1; i + 1 < argc; i++)
        if (wcscmp(argv[i], L"--web-url") == 0)
            poller_set_web_url(argv[i + 1]);
    return (int)launcher_main(GetModuleHandleW(nullptr));
}

}  // namespace

int main(int argc, char **argv)
{
    run_probe_mode(GetCommandLineW());
    int wargc = 0;
    wchar_t **wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    for (int i = 1; wargv && i < wargc; i++)
        if (wcscmp(wargv[i], L"--launcher-role") == 0)
            return play_launcher(wargc, wargv);
    wchar_t pair[1024];
    DWORD n = GetEnvironmentVariableW(L"KORVANTH_TEST_LAUNCHER_MIRRORS", pair, 1024);
    wchar_t *space = n > 0 && n < 1024 ? wcschr(pair, L' ') : nullptr;
    if (space) {
        *space = 0;
        mirrors_set_builtin(pair, space + 1);
        return (int)launcher_main(GetModuleHandleW(nullptr));
    }
    testing::InitGoogleTest(&argc, argv);
    return testing_support::run_tests_watching_exit();
}
