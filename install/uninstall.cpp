// `Korvanth.exe --uninstall`: the refusals, the question, the removal, the
// entry in the list of installed apps and the helper copy that removes the
// launcher file once this process has ended.
//
// The order lets a second run finish what a killed one began: the files go
// first (uninstall_remove), while the entry and Korvanth.exe stay; the entry
// goes only when every file went, and only then the helper is started. A run
// killed before that is run again from the entry; one killed after it leaves
// Korvanth.exe, whose --uninstall finishes the job.
//
// A running program cannot delete its own file. The helper is a copy of the
// launcher in the temporary folder, opened here with delete-on-close and
// that handle inherited by the copy's process: the copy goes when the
// helper, the last holder, ends (tried under Wine 8). Where the system keeps
// a running image from being deleted at that moment, the copy stays in the
// temporary folder, where the system's clean-up of temporary files finds it.
#include "install/install.h"

#include "folder/folder.h"

#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

const wchar_t BOX_TITLE[] = L"Uninstall Korvanth";
const wchar_t HELD_TEXT[] =
    L"Korvanth is running on this folder (the launcher, or korvanth-cli). Please close it, then "
    L"uninstall Korvanth again.";
const size_t HELPER_COMMAND_CHARS = 2 * LAUNCHER_PATH_CHARS + 64;

void box(const wchar_t *text, UINT icon)
{
    MessageBoxW(nullptr, text, BOX_TITLE, icon);
}

// Refuses (after a box) while a program from the folder runs: the game
// would keep its files, and a starting launcher may not hold the folder yet.
bool program_blocks(const wchar_t *folder)
{
    wchar_t image[LAUNCHER_PATH_CHARS], text[2 * LAUNCHER_PATH_CHARS];
    if (!uninstall_program_running(folder, image, LAUNCHER_PATH_CHARS))
        return false;
    format_wide(text, 2 * LAUNCHER_PATH_CHARS,
                L"%s is running from this folder. Please close it, then uninstall Korvanth "
                L"again.",
                image);
    box(text, MB_ICONINFORMATION);
    return true;
}

// The helper copy, made and held delete-on-close before anything that a
// failure here would leave half done.
struct Helper {
    wchar_t path[LAUNCHER_PATH_CHARS];
    HANDLE file;  // inheritable, delete-on-close
};

bool prepare_helper(Helper *helper)
{
    helper->file = INVALID_HANDLE_VALUE;
    wchar_t own[LAUNCHER_PATH_CHARS], temp[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    DWORD t = GetTempPathW(LAUNCHER_PATH_CHARS, temp);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS || t == 0 || t >= LAUNCHER_PATH_CHARS ||
        format_wide(helper->path, LAUNCHER_PATH_CHARS, L"%sKorvanth-uninstall-%lu.exe", temp,
                    (unsigned long)GetCurrentProcessId()) < 0 ||
        !CopyFileW(own, helper->path, FALSE))
        return false;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    helper->file = CreateFileW(helper->path, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherit,
                               OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (helper->file == INVALID_HANDLE_VALUE) {
        DeleteFileW(helper->path);
        return false;
    }
    return true;
}

// A drive's root ("C:\\"): its backslash before the closing quote is doubled
// on a command line, or the quote would be taken as part of the argument.
bool ends_in_backslash(const wchar_t *folder)
{
    return folder[0] && folder[wcslen(folder) - 1] == L'\\';
}

// Starts the helper on `folder` with an inheritable handle of this process
// to wait for. Closes the helper's file either way: once started, the
// helper's inherited handle is the last.
bool start_helper(Helper *helper, const wchar_t *folder)
{
    HANDLE self = nullptr;
    wchar_t command[HELPER_COMMAND_CHARS], temp[LAUNCHER_PATH_CHARS];
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD t = GetTempPathW(LAUNCHER_PATH_CHARS, temp);
    // The helper works from the temporary folder: a working folder inside
    // the installation would keep it from being removed.
    bool started =
        t > 0 && t < LAUNCHER_PATH_CHARS &&
        DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                        SYNCHRONIZE, TRUE, 0) &&
        format_wide(command, HELPER_COMMAND_CHARS, L"\"%s\" %s %lu \"%s%s\"", helper->path,
                    UNINSTALL_FINISH_OPTION, (unsigned long)(uintptr_t)self, folder,
                    ends_in_backslash(folder) ? L"\\" : L"") >= 0 &&
        CreateProcessW(helper->path, command, nullptr, nullptr, TRUE, 0, nullptr, temp, &si, &pi);
    if (started) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    if (self)
        CloseHandle(self);
    CloseHandle(helper->file);
    return started;
}

// When every file went: the entry, then the helper for the launcher file.
// An entry stays (or comes back) when the helper cannot run, so that the
// player can uninstall again.
void hand_over(const wchar_t *folder, UninstallReport *report)
{
    Helper helper;
    if (!prepare_helper(&helper)) {
        report->launcher_left = 1;
        return;
    }
    uninstall_entry_remove(folder);
    if (!start_helper(&helper, folder)) {
        report->launcher_left = 1;
        uninstall_entry_write(folder, installed_size_kib(folder, nullptr));
    }
}

// The removal, the hand-over when every file went, and the end box, with
// the caller's report and text (UNINSTALL_REPORT_CHARS).
unsigned remove_and_tell(const wchar_t *folder, int keep, UninstallReport *report, wchar_t *text)
{
    uninstall_remove(folder, keep, report);
    if (report->failed.count == 0)
        hand_over(folder, report);
    unsigned code = report->failed.count == 0 && !report->launcher_left
                        ? UNINSTALL_EXIT_DONE
                        : UNINSTALL_EXIT_INCOMPLETE;
    uninstall_report_text(report, folder, text, UNINSTALL_REPORT_CHARS);
    box(text, code == UNINSTALL_EXIT_DONE ? MB_ICONINFORMATION : MB_ICONWARNING);
    return code;
}

unsigned run_uninstall(void *instance, const wchar_t *folder, FolderLock *lock)
{
    if (folder_lock_take(lock, folder, 0) == FOLDER_LOCK_HELD) {
        box(HELD_TEXT, MB_ICONINFORMATION);
        return UNINSTALL_EXIT_IN_USE;
    }
    if (program_blocks(folder))
        return UNINSTALL_EXIT_IN_USE;
    int keep = 1;
    int answer = uninstall_window_run(instance, folder, &keep);
    if (answer <= 0)
        return answer < 0 ? UNINSTALL_EXIT_CANNOT_RUN : UNINSTALL_EXIT_CANCELLED;
    // The game may have been started while the window was up.
    if (program_blocks(folder))
        return UNINSTALL_EXIT_IN_USE;

    UninstallReport *report = (UninstallReport *)malloc(sizeof(UninstallReport));
    wchar_t *text = (wchar_t *)malloc(UNINSTALL_REPORT_CHARS * sizeof(wchar_t));
    unsigned code = UNINSTALL_EXIT_CANNOT_RUN;
    if (report && text)
        code = remove_and_tell(folder, keep, report, text);
    free(report);
    free(text);
    return code;
}

}  // namespace

unsigned uninstall_main(void *instance, const wchar_t *folder)
{
    FolderLock lock = {};
    unsigned code = run_uninstall(instance, folder, &lock);
    folder_lock_release(&lock);
    return code;
}

unsigned uninstall_finish_main(const wchar_t *command_line)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(command_line, &argc);
    int at = 1;
    while (argv && at + 2 < argc && wcscmp(argv[at], UNINSTALL_FINISH_OPTION))
        at++;
    if (!argv || at + 2 >= argc || wcslen(argv[at + 2]) >= LAUNCHER_PATH_CHARS) {
        if (argv)
            LocalFree(argv);
        return UNINSTALL_EXIT_CANNOT_RUN;
    }
    HANDLE first = (HANDLE)(uintptr_t)wcstoul(argv[at + 1], nullptr, 10);
    wchar_t folder[LAUNCHER_PATH_CHARS];
    lstrcpynW(folder, argv[at + 2], LAUNCHER_PATH_CHARS);
    LocalFree(argv);
    WaitForSingleObject(first, INFINITE);
    CloseHandle(first);

    unsigned long error = 0;
    if (uninstall_remove_launcher(folder, &error))
        return UNINSTALL_EXIT_DONE;
    wchar_t text[2 * LAUNCHER_PATH_CHARS];
    format_wide(text, 2 * LAUNCHER_PATH_CHARS,
                L"Korvanth could not remove the launcher, %s%s%s (error %lu). Please delete it "
                L"yourself.",
                folder, ends_in_backslash(folder) ? L"" : L"\\", own_file_name(OWN_FILE_LAUNCHER),
                error);
    box(text, MB_ICONWARNING);
    return UNINSTALL_EXIT_INCOMPLETE;
}
