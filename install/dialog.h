// Internal to install/. The parts the installer's small windows share: a
// table of ordinary controls in the system's font and colours, a centred
// captioned window, and a loop that gives it a dialog's keyboard (Tab between
// the controls, Enter for the default button through DM_GETDEFID, Escape as
// IDCANCEL).
#pragma once

#include <windows.h>

struct ControlSpec {
    const wchar_t *cls;
    DWORD ex_style;
    int id;
    const wchar_t *text;  // null: the window's variable text (a folder)
    int x, y, w, h;
    DWORD style;
};

// Places and sizes here are pixels at 96 per inch; the windows are made at
// the screen's density, scaled from them.

// Creates the `count` controls of `specs` on `window` with one font, which
// it returns (the caller deletes it when the window goes; null when it could
// not be made, the controls then keep the system font).
HFONT create_controls(HWND window, const ControlSpec *specs, size_t count,
                      const wchar_t *variable_text);

// Registers class `cls` (a second call finds it registered) with the
// launcher's icon and the dialog colour, and shows a captioned window of that
// class with a client area of `client_w` x `client_h`, centred on the screen
// and brought to the foreground; `create_param` reaches WM_CREATE. Null when
// either step fails.
HWND open_dialog_window(HINSTANCE instance, const wchar_t *cls, const wchar_t *title,
                        WNDPROC proc, int client_w, int client_h, void *create_param = nullptr);

// The rest of a dialog window's procedure: the close box destroys the
// window, whose destruction deletes *font and ends run_dialog_loop; a move
// to a monitor of another density takes the system's rectangle and lays the
// controls out again with a font made for it (replacing *font); any other
// message goes to DefWindowProcW.
LRESULT dialog_window_default(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                              HFONT *font);

// Runs the calling thread's messages, with the dialog keyboard for `window`,
// until the window's destruction posts WM_QUIT.
void run_dialog_loop(HWND window);
