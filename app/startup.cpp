// The launcher's start: one executable, several roles, chosen here in a fixed
// order. Nothing before the log is opened may write anything next to the
// executable, because the installer may still decide that this copy does not
// run where it stands.
#include "app/app.h"
#include "game/game.h"
#include "install/install.h"
#include "net/net.h"
#include "selfupdate/selfupdate.h"
#include "ui/ui.h"

#include <windows.h>
#include <wchar.h>

void launcher_folder_of(const wchar_t *exe_path, wchar_t *dst)
{
    size_t after_slash = 0;
    for (size_t i = 0; exe_path[i]; i++)
        if (exe_path[i] == L'\\')
            after_slash = i + 1;
    // A drive root keeps its backslash ("C:\"), every other folder drops it.
    size_t n = after_slash <= 3 ? after_slash : after_slash - 1;
    if (n >= LAUNCHER_PATH_CHARS)
        n = LAUNCHER_PATH_CHARS - 1;
    wmemcpy(dst, exe_path, n);
    dst[n] = 0;
}

unsigned launcher_main(void *instance)
{
    // The one-job roles first: a swap helper and a probe child must not
    // touch the folder or the log of a launcher run.
    if (run_swap_mode(GetCommandLineW()))
        return 0;
    run_probe_mode(GetCommandLineW());  // ends the process in probe mode

    wchar_t exe_path[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, exe_path, LAUNCHER_PATH_CHARS);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS)
        return 1;
    wchar_t folder[LAUNCHER_PATH_CHARS];
    launcher_folder_of(exe_path, folder);

    // Decided before the log opens: a copy that installs itself elsewhere
    // leaves nothing beside itself.
    switch (install_decide(instance, folder)) {
    case HandedOver:
        return 0;
    case Abort:
        return 1;
    case RunHere:
        break;
    }

    log_open(folder);
    log_printf("launcher %s start", LAUNCHER_VERSION);
    finish_installed_from(GetCommandLineW());
    remove_swap_leftovers(folder);
    http_set_user_agent(LAUNCHER_USER_AGENT);
    return main_window_run(instance, folder);
}
