// korvanth-cli: runs one update pass on a client folder from a console,
// exactly as the launcher window would, and prints every message of the pass
// as one UTF-8 line.
//
//   korvanth-cli [--check|--verify|--update] [--interface 0|1] [--dxvk -1|0|1]
//                [--trial 0|1] [--mirror-pair DOWNLOAD_URL FILES_URL]
//                [--connections 1..8] [--limit RATE] FOLDER
//
// --mirror-pair replaces the two built-in mirrors for this run (tests and
// benchmarks serve releases from a local mirror on a port of the moment);
// --connections sets the objects on the wire at once (benchmarks);
// --limit holds the downloads to RATE ("5 MB/s", "500 KB/s", "off") for
// this run instead of the folder's setting.
//
// Exit code: the final LauncherState (2 up to date, 3 update needed, 4 failed,
// 5 server unreachable), 6 after a self-update message, 1 for bad usage,
// CLI_EXIT_FOLDER_BUSY (7) when a launcher or another driver runs on FOLDER.
#include "base/base.h"
#include "game/game.h"
#include "manifest/manifest.h"
#include "net/net.h"
#include "update/update.h"
#include "folder/folder.h"
#include "fetch/fetch.h"

#include <windows.h>
#include <shellapi.h>
#include <string.h>
#include <wchar.h>

namespace {

// Two passes on one folder would write the same part files and state file:
// a folder that a launcher or another driver holds is left alone.
const int CLI_EXIT_FOLDER_BUSY = 7;

// A pass asked to stop (its final message came, or Ctrl+C) ends within
// this; one that does not (a request hanging on a silent server) is not
// waited for longer.
const DWORD PASS_END_WAIT_MS = 3000;

// Ctrl+C, Ctrl+Break or the console's close: the pass is cancelled and ends
// the ordinary way (its state saved, its last message printed), so that the
// process never ends with the pass's threads still in it.
BOOL WINAPI on_console_stop(DWORD)
{
    worker_request_cancel();
    return TRUE;
}

void write_to(DWORD std_handle, const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(std_handle), text, (DWORD)strlen(text), &written, nullptr);
}

void write_out(const char *text)
{
    write_to(STD_OUTPUT_HANDLE, text);
}

void print_line(const wchar_t *fmt, ...)
{
    wchar_t line[1024];
    va_list ap;
    va_start(ap, fmt);
    format_wide_v(line, 1024, fmt, ap);
    va_end(ap);
    char utf8[3 * 1024 + 2];
    if (wide_to_utf8(line, utf8, sizeof utf8 - 2)) {
        strcat(utf8, "\n");
        write_out(utf8);
    }
}

int usage(void)
{
    write_out("usage: korvanth-cli [--check|--verify|--update] [--interface 0|1] "
              "[--dxvk -1|0|1] [--trial 0|1] [--mirror-pair DOWNLOAD_URL FILES_URL] "
              "[--connections 1..8] [--limit RATE] FOLDER\n");
    return 1;
}

const wchar_t *state_name(WPARAM state)
{
    switch (state) {
    case UpToDate: return L"UpToDate";
    case UpdateNeeded: return L"UpdateNeeded";
    case Failed: return L"Failed";
    case ServerUnreachable: return L"ServerUnreachable";
    default: return L"Unknown";
    }
}

// Reads "-1" or a single digit within [low, high].
bool parse_flag(const wchar_t *text, int low, int high, int32_t *out)
{
    int value;
    if (!lstrcmpW(text, L"-1"))
        value = -1;
    else if (text[0] >= L'0' && text[0] <= L'9' && text[1] == 0)
        value = text[0] - L'0';
    else
        return false;
    if (value < low || value > high)
        return false;
    *out = value;
    return true;
}

// Prints one message of the pass; returns the exit code once the pass is over,
// else -1.
int print_message(const MSG &msg)
{
    wchar_t text[1024];
    bool has_text = take_posted_text(msg.message, msg.lParam, text, 1024) != 0;
    switch (msg.message) {
    case WM_LAUNCHER_STATUS:
        print_line(L"status %s", text);
        return -1;
    case WM_LAUNCHER_DETAIL:
        print_line(has_text ? L"detail %s" : L"detail -", text);
        return -1;
    case WM_LAUNCHER_FILE_PROGRESS:
        print_line(L"file %u", (unsigned)msg.wParam);
        return -1;
    case WM_LAUNCHER_TOTAL_PROGRESS:
        print_line(L"total %u", (unsigned)msg.wParam);
        return -1;
    case WM_LAUNCHER_GRAPHICS:
        print_line(L"graphics %u", (unsigned)msg.wParam);
        return -1;
    case WM_LAUNCHER_SELF_UPDATE:
        print_line(L"self-update %s", text);
        return 6;
    case WM_LAUNCHER_STATE:
        print_line(L"state %s %d", state_name(msg.wParam), (int)msg.lParam);
        return (int)msg.wParam;
    default:
        return -1;
    }
}

// One pass with `params` (its folder held), its messages printed; the exit code.
int drive_pass(WorkerParams *params)
{
    log_open(params->client_folder);
    http_set_user_agent(LAUNCHER_USER_AGENT);
    wchar_t launcher[LAUNCHER_PATH_CHARS];
    path_join(launcher, LAUNCHER_PATH_CHARS, params->client_folder, own_file_name(OWN_FILE_LAUNCHER));
    worker_set_launcher_file(launcher);

    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    if (!window)
        return 1;
    params->window = window;
    if (!worker_start(params)) {
        DestroyWindow(window);
        return 1;
    }

    SetConsoleCtrlHandler(on_console_stop, TRUE);
    int code = -1;
    MSG msg;
    while (code < 0 && GetMessageW(&msg, nullptr, 0, 0) > 0)
        code = print_message(msg);
    worker_request_cancel();
    int ended = worker_wait(PASS_END_WAIT_MS);
    SetConsoleCtrlHandler(on_console_stop, FALSE);
    DestroyWindow(window);
    code = code < 0 ? 1 : code;
    if (!ended) {
        // Ending the ordinary way with a thread of ours alive is what Wine
        // now and then crashes on; ending here leaves the folder's lock
        // abandoned, which the next holder takes as free, and lets no
        // launcher in while the pass still writes.
        write_to(STD_ERROR_HANDLE, "korvanth-cli: the pass did not end; ending the process\n");
        TerminateProcess(GetCurrentProcess(), (UINT)code);
    }
    return code;
}

int run(int argc, wchar_t **argv)
{
    WorkerParams params;
    memset(&params, 0, sizeof params);
    params.mode = Check;
    bool have_interface = false, have_dxvk = false, have_trial = false;
    const wchar_t *folder_arg = nullptr;
    for (int i = 1; i < argc; i++) {
        const wchar_t *a = argv[i];
        if (!lstrcmpW(a, L"--check")) params.mode = Check;
        else if (!lstrcmpW(a, L"--verify")) params.mode = Verify;
        else if (!lstrcmpW(a, L"--update")) params.mode = Update;
        else if (!lstrcmpW(a, L"--interface")) {
            if (i + 1 >= argc || !parse_flag(argv[++i], 0, 1, &params.custom_interface))
                return usage();
            have_interface = true;
        } else if (!lstrcmpW(a, L"--dxvk")) {
            if (i + 1 >= argc || !parse_flag(argv[++i], -1, 1, &params.dxvk))
                return usage();
            have_dxvk = true;
        } else if (!lstrcmpW(a, L"--trial")) {
            if (i + 1 >= argc || !parse_flag(argv[++i], 0, 1, &params.dxvk_trial))
                return usage();
            have_trial = true;
        } else if (!lstrcmpW(a, L"--connections")) {
            int32_t connections = 0;
            if (i + 1 >= argc ||
                !parse_flag(argv[++i], 1, DOWNLOAD_CONNECTIONS_MAX, &connections))
                return usage();
            worker_set_connections(connections);
        } else if (!lstrcmpW(a, L"--limit")) {
            char text[RATE_TEXT_BYTES];
            uint64_t rate = 0;
            if (i + 1 >= argc || !wide_to_utf8(argv[++i], text, sizeof text) ||
                !rate_limit_parse(text, &rate))
                return usage();
            worker_set_rate_limit((int64_t)rate);
        } else if (!lstrcmpW(a, L"--mirror-pair")) {
            if (i + 2 >= argc)
                return usage();
            mirrors_set_builtin(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (a[0] != L'-' && !folder_arg) {
            folder_arg = a;
        } else {
            return usage();
        }
    }
    if (!folder_arg)
        return usage();

    wchar_t full[LAUNCHER_PATH_CHARS];
    DWORD n = GetFullPathNameW(folder_arg, LAUNCHER_PATH_CHARS, full, nullptr);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS)
        return usage();
    // The launcher folder has no trailing backslash except at a drive root.
    size_t len = wcslen(full);
    if (len > 3 && full[len - 1] == L'\\')
        full[len - 1] = 0;
    lstrcpynW(params.client_folder, full, LAUNCHER_PATH_CHARS);

    FolderLock lock = {};
    if (folder_lock_take(&lock, params.client_folder, 0) == FOLDER_LOCK_HELD) {
        folder_lock_release(&lock);
        char text[3 * LAUNCHER_PATH_CHARS + 128];
        format_narrow(text, sizeof text,
                      "korvanth-cli: %S is in use by a Korvanth launcher or another "
                      "korvanth-cli; nothing done\n",
                      params.client_folder);
        write_to(STD_ERROR_HANDLE, text);
        return CLI_EXIT_FOLDER_BUSY;
    }

    // Flags not given come from the folder's state file, as the window reads them.
    int32_t custom_interface = 0, dxvk = -1, dxvk_trial = 0;
    read_player_flags(params.client_folder, &custom_interface, &dxvk, &dxvk_trial);
    if (!have_interface) params.custom_interface = custom_interface;
    if (!have_dxvk) params.dxvk = dxvk;
    if (!have_trial) params.dxvk_trial = dxvk_trial;

    int code = drive_pass(&params);
    folder_lock_release(&lock);
    return code;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    // The graphics step starts this very program with --probe-vulkan.
    run_probe_mode(GetCommandLineW());
    return run(argc, argv);
}
