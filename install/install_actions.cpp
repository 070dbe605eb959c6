// Installing: the decision at every start, the copy, the shortcuts and the
// hand-over to the installed copy. All of it runs before the log is opened,
// so nothing here writes next to the first copy; failures are told in boxes
// without owner, since no window of ours is left by then.
#include "install/install_internal.h"

#include "folder/folder.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <wchar.h>

namespace {

const size_t BELOW_FOLDER_CHARS = LAUNCHER_PATH_CHARS + 8;  // the install folder and "\x"

void error_box(const wchar_t *text)
{
    MessageBoxW(nullptr, text, L"Korvanth", MB_ICONERROR);
}

// A sign of an installation: a file (a folder of that name does not count).
int has_file(const wchar_t *folder, const wchar_t *name)
{
    wchar_t path[LAUNCHER_PATH_CHARS];
    path_join(path, LAUNCHER_PATH_CHARS, folder, name);
    return path[0] && file_info(path, nullptr, nullptr);
}

}  // namespace

void create_launcher_shortcut(int csidl, const wchar_t *target, const wchar_t *working_folder)
{
    // The shell writes up to MAX_PATH characters.
    static_assert(LAUNCHER_PATH_CHARS >= MAX_PATH, "a special folder fits");
    wchar_t folder[LAUNCHER_PATH_CHARS];
    if (FAILED(SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                folder)))
        return;
    wchar_t link_path[LAUNCHER_PATH_CHARS];
    // A link path that does not fit is not cut into another name.
    if (format_wide(link_path, LAUNCHER_PATH_CHARS, L"%s\\%s", folder, LAUNCHER_SHORTCUT_NAME) < 0)
        return;
    IShellLinkW *link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                (void **)&link)))
        return;
    // SetPath answers S_FALSE for a target the shell cannot resolve yet; the
    // link is right all the same.
    link->SetPath(target);
    link->SetWorkingDirectory(working_folder);
    link->SetIconLocation(target, 0);
    link->SetDescription(L"Korvanth launcher");
    IPersistFile *file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file))) {
        if (SUCCEEDED(file->Save(link_path, TRUE)))
            log_wprintf(L"shortcut %s", link_path);
        else
            log_wprintf(L"shortcut %s failed", link_path);
        file->Release();
    }
    link->Release();
}

InstallOutcome install_decide(void *instance, const wchar_t *launcher_folder)
{
    if (wcsstr(GetCommandLineW(), L"--installed-from"))
        return RunHere;
    if (has_file(launcher_folder, L"system\\dv.exe") ||
        has_file(launcher_folder, own_file_name(OWN_FILE_STATE)) ||
        has_file(launcher_folder, own_file_name(OWN_FILE_SETTINGS)))
        return RunHere;
    wchar_t own[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS)
        return RunHere;

    default_install_folder(g_install_folder);
    if (!install_window_run(instance))
        return Abort;

    // make_parent_dirs makes every folder above the last component.
    wchar_t below[BELOW_FOLDER_CHARS];
    if (format_wide(below, BELOW_FOLDER_CHARS, L"%s\\x", g_install_folder) < 0 ||
        !make_parent_dirs(below)) {
        error_box(L"The folder could not be created. Please choose another one.");
        return Abort;
    }

    wchar_t target[LAUNCHER_PATH_CHARS];
    wchar_t text[356];
    // An installed launcher whose path does not fit could not run at all:
    // refused like a copy that fails, rather than copied under a cut name.
    path_join(target, LAUNCHER_PATH_CHARS, g_install_folder, own_file_name(OWN_FILE_LAUNCHER));
    if (!target[0]) {
        format_wide(text, 356, L"Could not copy the launcher to\n%s\\%s\n(error %lu).",
                    g_install_folder, own_file_name(OWN_FILE_LAUNCHER),
                    (unsigned long)ERROR_FILENAME_EXCED_RANGE);
        error_box(text);
        return Abort;
    }
    if (!lstrcmpiW(target, own))
        return RunHere;

    if (!CopyFileW(own, target, FALSE)) {
        format_wide(text, 356, L"Could not copy the launcher to\n%s\n(error %lu).", target,
                    (unsigned long)GetLastError());
        error_box(text);
        return Abort;
    }

    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    create_launcher_shortcut(CSIDL_DESKTOPDIRECTORY, target, g_install_folder);
    create_launcher_shortcut(CSIDL_PROGRAMS, target, g_install_folder);
    if (SUCCEEDED(com))
        CoUninitialize();
    // Where players look to remove a game; the installed copy writes it
    // again at its start, should this fail.
    uninstall_entry_write(g_install_folder, installed_size_kib(g_install_folder, nullptr));

    // A cut command line would hand over a cut path of the first copy.
    wchar_t command[LAUNCHER_COMMAND_CHARS];
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (format_wide(command, LAUNCHER_COMMAND_CHARS, L"\"%s\" --installed-from \"%s\"", target,
                    own) < 0 ||
        !CreateProcessW(target, command, nullptr, nullptr, FALSE, 0, nullptr, g_install_folder,
                        &si, &pi)) {
        error_box(L"The launcher was copied but could not be started. Please open it from the "
                  L"install folder.");
        return Abort;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return HandedOver;
}
