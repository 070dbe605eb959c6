// The uninstall's confirmation: a small standard window in the install
// window's manner (ordinary controls, system colours, Tab between the
// controls, Enter for Uninstall, Escape for Cancel), saying what goes and
// from where, with the choice to keep the player's own files.
#include "install/dialog.h"
#include "install/install.h"

#include <windows.h>

namespace {

const wchar_t CLASS_NAME[] = L"KorvanthUninstall";

// The window's one run at a time.
int g_accepted;
int g_keep;
HFONT g_font;

const ControlSpec CONTROLS[] = {
    {L"STATIC", 0, 0, L"Korvanth will be removed from this folder:", 16, 14, 424, 18, 0},
    {L"EDIT", WS_EX_CLIENTEDGE, 0, nullptr, 16, 36, 424, 24, ES_READONLY | ES_AUTOHSCROLL},
    {L"STATIC", 0, 0,
     L"The game files and the launcher go, with the shortcuts on the desktop and in the Start "
     L"menu and the entry in the list of installed apps. Other files in the folder, such as "
     L"screenshots, stay unless you untick the box.",
     16, 70, 424, 62, 0},
    {L"BUTTON", 0, UNINSTALL_ID_KEEP, L"Keep files I made myself", 16, 136, 424, 20,
     WS_TABSTOP | BS_AUTOCHECKBOX},
    {L"BUTTON", 0, UNINSTALL_ID_UNINSTALL, L"Uninstall", 264, 168, 86, 28,
     WS_TABSTOP | BS_DEFPUSHBUTTON},
    {L"BUTTON", 0, UNINSTALL_ID_CANCEL, L"Cancel", 356, 168, 84, 28, WS_TABSTOP},
};

LRESULT CALLBACK uninstall_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE: {
        const CREATESTRUCTW *create = (const CREATESTRUCTW *)lparam;
        g_font = create_controls(window, CONTROLS, sizeof CONTROLS / sizeof CONTROLS[0],
                                 (const wchar_t *)create->lpCreateParams);
        CheckDlgButton(window, UNINSTALL_ID_KEEP, BST_CHECKED);
        return 0;
    }
    case DM_GETDEFID:
        return MAKELRESULT(UNINSTALL_ID_UNINSTALL, DC_HASDEFID);
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case UNINSTALL_ID_UNINSTALL:
            g_keep = IsDlgButtonChecked(window, UNINSTALL_ID_KEEP) == BST_CHECKED;
            g_accepted = 1;
            DestroyWindow(window);
            return 0;
        case UNINSTALL_ID_CANCEL:
        case IDCANCEL:  // Escape
            DestroyWindow(window);
            return 0;
        }
        break;
    }
    return dialog_window_default(window, message, wparam, lparam, &g_font);
}

}  // namespace

int uninstall_window_run(void *instance, const wchar_t *folder, int *keep_player_files)
{
    g_accepted = 0;
    g_keep = 1;
    HWND window = open_dialog_window((HINSTANCE)instance, CLASS_NAME, L"Uninstall Korvanth",
                                     uninstall_window_proc, 456, 208, (void *)folder);
    if (!window)
        return -1;
    SetFocus(GetDlgItem(window, UNINSTALL_ID_UNINSTALL));
    run_dialog_loop(window);
    *keep_player_files = g_keep;
    return g_accepted;
}
