// The install window: a small standard window with ordinary controls in the
// system's colours, run by its own loop on the main thread before the log is
// opened. IsDialogMessageW gives it a dialog's keyboard: Tab between the
// controls, Enter for Install (answered through DM_GETDEFID) and Escape for
// Cancel (IDCANCEL).
#include "install/install_internal.h"
#include "install/dialog.h"

#include <windows.h>

#include <objbase.h>
#include <ole2.h>
#include <shlobj.h>
#include <wchar.h>

namespace {

const wchar_t CLASS_NAME[] = L"KorvanthInstall";
const wchar_t LOCAL_DRIVE_TEXT[] =
    L"Please choose a folder on a local drive, for example C:\\Games\\Korvanth.";

// The window's one run at a time.
int g_accepted;
HFONT g_font;

const ControlSpec CONTROLS[] = {
    {L"STATIC", 0, 0, L"Install Korvanth to:", 16, 14, 400, 18, 0},
    {L"EDIT", WS_EX_CLIENTEDGE, INSTALL_ID_FOLDER, nullptr, 16, 36, 336, 24,
     WS_TABSTOP | ES_AUTOHSCROLL},
    {L"BUTTON", 0, INSTALL_ID_BROWSE, L"Browse...", 360, 35, 80, 26, WS_TABSTOP},
    {L"STATIC", 0, 0,
     L"The game files (about 7 GB) are downloaded into this folder. A shortcut is placed on "
     L"the desktop and in the Start menu.",
     16, 70, 424, 34, 0},
    {L"BUTTON", 0, INSTALL_ID_INSTALL, L"Install", 264, 116, 86, 28,
     WS_TABSTOP | BS_DEFPUSHBUTTON},
    {L"BUTTON", 0, INSTALL_ID_CANCEL, L"Cancel", 356, 116, 84, 28, WS_TABSTOP},
};

void on_create(HWND window)
{
    g_font = create_controls(window, CONTROLS, sizeof CONTROLS / sizeof CONTROLS[0],
                             g_install_folder);
    // Longer text would be cut when it is read back, and the cut folder
    // installed into: the box takes no more than the folder can hold.
    SendDlgItemMessageW(window, INSTALL_ID_FOLDER, EM_LIMITTEXT, LAUNCHER_PATH_CHARS - 1, 0);
}

void on_install(HWND window)
{
    wchar_t text[LAUNCHER_PATH_CHARS + 1];
    int n = GetDlgItemTextW(window, INSTALL_ID_FOLDER, text, LAUNCHER_PATH_CHARS + 1);
    // Only "X:..." names a folder on a drive; relative paths and network
    // names do not. A text set past the box's limit is refused, not cut.
    if (n >= 3 && n < LAUNCHER_PATH_CHARS && text[1] == L':') {
        lstrcpynW(g_install_folder, text, LAUNCHER_PATH_CHARS);
        normalize_install_folder(g_install_folder);
        g_accepted = 1;
        DestroyWindow(window);
        return;
    }
    MessageBoxW(window, LOCAL_DRIVE_TEXT, L"Korvanth", MB_ICONINFORMATION);
}

int CALLBACK browse_callback(HWND chooser, UINT message, LPARAM, LPARAM data)
{
    if (message == BFFM_INITIALIZED && data)
        SendMessageW(chooser, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}

}  // namespace

void browse_install_folder(void *window_handle)
{
    HWND window = (HWND)window_handle;
    wchar_t start[LAUNCHER_PATH_CHARS];
    GetDlgItemTextW(window, INSTALL_ID_FOLDER, start, LAUNCHER_PATH_CHARS);
    // The nearest existing parent of a path typed ahead, at worst its drive.
    while (wcslen(start) > 3 && !is_directory(start)) {
        wchar_t *slash = wcsrchr(start, L'\\');
        if (!slash || slash - start <= 2) {
            start[3] = 0;
            break;
        }
        *slash = 0;
    }

    // The new-style chooser needs an apartment on this thread; start-up has
    // none yet, and shortcut writing makes its own later.
    HRESULT ole = OleInitialize(nullptr);
    BROWSEINFOW info = {};
    info.hwndOwner = window;
    info.lpszTitle = L"Choose where Korvanth should be installed (about 7 GB).";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    info.lpfn = browse_callback;
    info.lParam = (LPARAM)start;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (chosen) {
        // The shell writes up to MAX_PATH characters.
        static_assert(LAUNCHER_PATH_CHARS >= MAX_PATH, "a chosen folder fits");
        wchar_t path[LAUNCHER_PATH_CHARS];
        if (SHGetPathFromIDListW(chosen, path)) {
            normalize_install_folder(path);
            SetDlgItemTextW(window, INSTALL_ID_FOLDER, path);
        }
        CoTaskMemFree(chosen);
    }
    if (SUCCEEDED(ole))
        OleUninitialize();
}

LRESULT CALLBACK install_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        on_create(window);
        return 0;
    case DM_GETDEFID:
        return MAKELRESULT(INSTALL_ID_INSTALL, DC_HASDEFID);
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case INSTALL_ID_BROWSE:
            browse_install_folder(window);
            return 0;
        case INSTALL_ID_INSTALL:
            on_install(window);
            return 0;
        case INSTALL_ID_CANCEL:
        case IDCANCEL:  // Escape
            g_accepted = 0;
            DestroyWindow(window);
            return 0;
        }
        break;
    }
    return dialog_window_default(window, message, wparam, lparam, &g_font);
}

int install_window_run(void *instance_handle)
{
    g_accepted = 0;
    HWND window = open_dialog_window((HINSTANCE)instance_handle, CLASS_NAME, L"Korvanth setup",
                                     install_window_proc, 456, 158);
    if (!window)
        return 0;
    // The player types the folder first; its text is selected for overtyping.
    HWND box = GetDlgItem(window, INSTALL_ID_FOLDER);
    SetFocus(box);
    SendMessageW(box, EM_SETSEL, 0, -1);
    run_dialog_loop(window);
    return g_accepted;
}
