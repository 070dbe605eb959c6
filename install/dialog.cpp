// The installer's small windows: ordinary controls, system colours, a
// dialog's keyboard through IsDialogMessageW.
#include "install/dialog.h"

namespace {

// The screen's density: the process draws for it itself (its manifest says
// so), so the windows' sizes, places and font are scaled from 96 per inch.
int screen_dpi(void)
{
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

int px(int v, int dpi)
{
    return MulDiv(v, dpi, 96);
}

}  // namespace

HFONT create_controls(HWND window, const ControlSpec *specs, size_t count,
                      const wchar_t *variable_text)
{
    int dpi = screen_dpi();
    HFONT font = CreateFontW(-px(12, dpi), 0, 0, 0, 400, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY,
                             0, L"Segoe UI");
    HINSTANCE instance = (HINSTANCE)GetWindowLongPtrW(window, GWLP_HINSTANCE);
    for (size_t i = 0; i < count; i++) {
        const ControlSpec &c = specs[i];
        HWND control = CreateWindowExW(c.ex_style, c.cls, c.text ? c.text : variable_text,
                                       WS_CHILD | WS_VISIBLE | c.style, px(c.x, dpi), px(c.y, dpi),
                                       px(c.w, dpi), px(c.h, dpi), window,
                                       (HMENU)(INT_PTR)c.id, instance, nullptr);
        if (control && font)
            SendMessageW(control, WM_SETFONT, (WPARAM)font, FALSE);
    }
    return font;
}

HWND open_dialog_window(HINSTANCE instance, const wchar_t *cls, const wchar_t *title,
                        WNDPROC proc, int client_w, int client_h, void *create_param)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(100));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = cls;
    // A second run in the same process finds the class registered already.
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;

    int dpi = screen_dpi();
    RECT outer = {0, 0, px(client_w, dpi), px(client_h, dpi)};
    AdjustWindowRectEx(&outer, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
    int width = outer.right - outer.left;
    int height = outer.bottom - outer.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME, cls, title,
                                  WS_VISIBLE | WS_CAPTION | WS_SYSMENU, x, y, width, height,
                                  nullptr, nullptr, instance, create_param);
    if (window)
        SetForegroundWindow(window);
    return window;
}

LRESULT dialog_window_default(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                              HFONT *font)
{
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        if (*font)
            DeleteObject(*font);
        *font = nullptr;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

void run_dialog_loop(HWND window)
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(window, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
