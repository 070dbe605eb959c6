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
#include "folder/folder.h"

#include <windows.h>
#include <wchar.h>

// A test build of the launcher may end or hang itself here, to stand for a
// release's launcher that cannot start (tests/faults/io/start_fault.h); the
// shipped build defines nothing. Stage 0: before any role is chosen; stage 1:
// as a launcher, before its window.
#ifndef LAUNCHER_START_FAULT
#define LAUNCHER_START_FAULT(stage) ((void)0)
#endif

namespace {

enum {
    // A launcher handed over by the swap or the installer waits this long for
    // the one it follows to let go of the folder.
    FOLDER_HANDOVER_WAIT_MS = 5000,
    // A launcher that finds the folder held waits this long for the holder's
    // window (a holder may still be starting) or for the holder to end (one
    // that was just closed may still be saving), looking every
    // FOLDER_POLL_MS.
    FOLDER_HOLDER_WAIT_MS = 5000,
    FOLDER_POLL_MS = 50,
};

// Held from the claim until the window's threads have ended (or the
// process ends with them): a pass that the closed window left running may
// still write the folder.
FolderLock g_folder_lock;

const wchar_t FOLDER_BUSY_TEXT[] =
    L"Another Korvanth program is updating this folder. Please start the launcher again "
    L"when it has finished.";

// The one line a launcher that does not run leaves in the folder's log.
// log_open moves a log above its limit aside, which is the running
// launcher's business: a handle that shares no deleting pins the file
// meanwhile, and the move fails.
void log_already_running(const wchar_t *folder)
{
    wchar_t path[LAUNCHER_PATH_CHARS];
    path_join(path, LAUNCHER_PATH_CHARS, folder, own_file_name(OWN_FILE_LOG));
    HANDLE pin = path[0] ? CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr)
                         : INVALID_HANDLE_VALUE;
    log_open(folder);
    log_write_line("launcher already running in this folder");
    if (pin != INVALID_HANDLE_VALUE)
        CloseHandle(pin);
}

// Two update passes on one folder would write the same part files and state
// file, so a folder has one launcher. 1 when this one runs: it holds the
// folder's lock (g_folder_lock), or no lock could be made. 0 when it ends
// with `*exit_code`: 0 after bringing the running launcher's window forward,
// LAUNCHER_EXIT_FOLDER_BUSY after a box when the holder shows no window
// (korvanth-cli). Nothing in the folder is touched before this answers.
int claim_folder(const wchar_t *folder, unsigned *exit_code)
{
    const wchar_t *command_line = GetCommandLineW();
    int follows = has_argument(command_line, L"--installed-from") ||
                  has_argument(command_line, SWAP_RESTART_OPTION);
    FolderLock *lock = &g_folder_lock;
    int held = folder_lock_take(lock, folder, follows ? FOLDER_HANDOVER_WAIT_MS : 0);
    DWORD began = GetTickCount();
    while (held == FOLDER_LOCK_HELD) {
        if (void *window = find_folder_window(folder)) {
            bring_window_forward(window);
            log_already_running(folder);
            *exit_code = 0;
            break;
        }
        if (GetTickCount() - began >= FOLDER_HOLDER_WAIT_MS) {
            MessageBoxW(nullptr, FOLDER_BUSY_TEXT, L"Korvanth", MB_ICONINFORMATION);
            *exit_code = LAUNCHER_EXIT_FOLDER_BUSY;
            break;
        }
        held = folder_lock_wait(lock, FOLDER_POLL_MS);
    }
    if (held == FOLDER_LOCK_HELD) {
        folder_lock_release(lock);
        return 0;
    }
    return 1;
}

// The launcher's last step once its window is gone. Every thread the
// window started has ended (the window's end waited for them): the folder
// is let go and the process may end the ordinary way. One still runs (a
// request that hangs on a silent server past the window's bounded wait):
// the process ends here, at once, with `code`. Ending then is sound: the
// pass was cancelled, every file it writes goes through a working file,
// and the folder's lock, abandoned by the end, counts as free to the next
// launcher (folder_lock_wait). Letting go of it first would let that
// launcher begin while this pass still writes. The ordinary way out with
// a thread alive is what to avoid: under Wine such an exit now and then
// crashes after bcrypt was used.
void end_launcher(unsigned code)
{
    if (!window_threads_ended()) {
        log_printf("exit: a thread of the window still runs; ending the process");
        TerminateProcess(GetCurrentProcess(), code);
    }
    folder_lock_release(&g_folder_lock);
}

}  // namespace

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
    LAUNCHER_START_FAULT(0);
    // The one-job roles first: a swap helper and a probe child must not
    // touch the folder or the log of a launcher run.
    if (run_swap_mode(GetCommandLineW()))
        return 0;
    run_probe_mode(GetCommandLineW());  // ends the process in probe mode
    // The uninstall's helper runs from the temporary folder, for the folder
    // its command line names.
    if (has_argument(GetCommandLineW(), UNINSTALL_FINISH_OPTION))
        return uninstall_finish_main(GetCommandLineW());

    wchar_t exe_path[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, exe_path, LAUNCHER_PATH_CHARS);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS)
        return 1;
    wchar_t folder[LAUNCHER_PATH_CHARS];
    launcher_folder_of(exe_path, folder);

    // An uninstall neither installs nor runs, and writes no log into the
    // folder it empties.
    if (has_argument(GetCommandLineW(), UNINSTALL_OPTION))
        return uninstall_main(instance, folder);

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

    unsigned exit_code = 0;
    if (!claim_folder(folder, &exit_code))
        return exit_code;
    log_open(folder);
    log_printf("launcher %s start", LAUNCHER_VERSION);
    finish_installed_from(GetCommandLineW());
    remove_swap_leftovers(folder);
    // Installations made before the launcher registered itself get their
    // entry here; later ones have their version and location kept current.
    if (!uninstall_entry_write(folder, installed_size_kib(folder, nullptr)))
        log_printf("the entry in the list of installed apps could not be written");
    http_set_user_agent(LAUNCHER_USER_AGENT);
    LAUNCHER_START_FAULT(1);
    unsigned code = main_window_run(instance, folder);
    end_launcher(code);
    return code;
}
