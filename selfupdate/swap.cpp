// The launcher swap: starting the helper from the old launcher, and the
// helper's move-copy-restart. The helper is the new version, so the procedure
// that runs is always the one of the version being installed.
//
// The old launcher is only ever moved aside (never deleted) before the new
// one is in place, and put back when the copy fails: whatever goes wrong, the
// folder keeps a launcher that starts.
#include "selfupdate/selfupdate.h"

#include "base/base.h"
#include "korvanth_config.h"

#include <windows.h>
#include <shellapi.h>

namespace {

// The only thing the helper can show: it has no window and writes no log.
void show_failure_box()
{
    wchar_t text[256];
    format_wide(text, 256,
                L"The launcher could not update itself. Please download it again from %s.",
                KORVANTH_WEB_HOST);
    MessageBoxW(nullptr, text, L"Korvanth", MB_OK | MB_ICONERROR);
}

int start_process(const wchar_t *application, wchar_t *command_line)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(application, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

}  // namespace

int start_swap_helper(const wchar_t *game_folder, const wchar_t *new_launcher)
{
    (void)game_folder;
    wchar_t own[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS)
        return 0;
    wchar_t command[LAUNCHER_COMMAND_CHARS];
    if (format_wide(command, LAUNCHER_COMMAND_CHARS, L"\"%s\" --swap %lu \"%s\"", new_launcher,
                    GetCurrentProcessId(), own) < 0) {
        log_printf("swap: helper start failed (%lu)", (unsigned long)ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (!start_process(new_launcher, command)) {
        log_printf("swap: helper start failed (%lu)", GetLastError());
        return 0;
    }
    log_printf("swap: helper started, exiting");
    return 1;
}

int run_swap_mode(const wchar_t *command_line)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(command_line, &argc);
    if (!argv)
        return 0;
    unsigned long old_pid = 0;
    wchar_t target[LAUNCHER_PATH_CHARS];
    int request = swap_parse_request(argc, argv, &old_pid, target, LAUNCHER_PATH_CHARS);
    LocalFree(argv);
    if (request == 0)
        return 0;

    wchar_t own[LAUNCHER_PATH_CHARS];
    wchar_t backup[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    // A target or backup path that does not fit is refused before anything
    // moves: a cut path would name some other file.
    if (request < 0 || n == 0 || n >= LAUNCHER_PATH_CHARS ||
        !swap_backup_path(target, backup, LAUNCHER_PATH_CHARS)) {
        show_failure_box();
        return 1;
    }

    // The old launcher must let go of its file. One that ended already cannot
    // be opened; one that hangs is given up on after the wait.
    HANDLE old_process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)old_pid);
    if (old_process) {
        WaitForSingleObject(old_process, SWAP_EXIT_WAIT_MS);
        CloseHandle(old_process);
    }

    // A virus scanner or an ending process may hold the file a little longer.
    int moved = 0;
    for (int attempt = 0; attempt < SWAP_RENAME_ATTEMPTS && !moved; attempt++) {
        DeleteFileW(backup);  // left over from an interrupted swap
        moved = MoveFileExW(target, backup, MOVEFILE_REPLACE_EXISTING) != 0;
        if (!moved)
            Sleep(SWAP_RENAME_DELAY_MS);
    }
    if (!moved) {
        show_failure_box();
        return 1;
    }

    if (!CopyFileW(own, target, FALSE)) {
        MoveFileExW(backup, target, MOVEFILE_REPLACE_EXISTING);
        show_failure_box();
        return 1;
    }

    // The player can start the launcher by hand if this fails; nothing to show.
    wchar_t restart[SWAP_RESTART_CHARS];
    if (format_wide(restart, SWAP_RESTART_CHARS, L"\"%s\" %s", target,
                    SWAP_RESTART_OPTION) >= 0)
        start_process(target, restart);
    return 1;
}
