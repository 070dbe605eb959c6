// The installer's small windows: ordinary controls, system colours, a
// dialog's keyboard through IsDialogMessageW.
#include "install/dialog.h"

#include "base/base.h"

namespace {

// The windows' sizes, places and font are scaled from 96 per inch by the
// screen's density: the process draws for it itself (its manifest says so).
int px(int v, int dpi)
{
    return MulDiv(v, dpi, 96);
}

// The controls of the process's one dialog window at a time, to lay them
// out again when the window moves to a monitor of another density.
const ControlSpec *g_specs;
size_t g_spec_count;

HFONT make_font(int dpi)
{
    return CreateFontW(-px(12, dpi), 0, 0, 0, 400, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY,
                       0, L"Segoe UI");
}

// The controls at density `dpi`: places, sizes and a font made for it,
// which replaces *font. The children are in their creation order.
void relayout(HWND window, int dpi, HFONT *font)
{
    HFONT made = make_font(dpi);
    HWND child = GetWindow(window, GW_CHILD);
    for (size_t i = 0; child && i < g_spec_count; i++, child = GetWindow(child, GW_HWNDNEXT)) {
        const ControlSpec &c = g_specs[i];
        SetWindowPos(child, nullptr, px(c.x, dpi), px(c.y, dpi), px(c.w, dpi), px(c.h, dpi),
                     SWP_NOZORDER | SWP_NOACTIVATE);
        if (made)
            SendMessageW(child, WM_SETFONT, (WPARAM)made, TRUE);
    }
    if (made) {
        if (*font)
            DeleteObject(*font);
        *font = made;
    }
}

}  // namespace

HFONT create_controls(HWND window, const ControlSpec *specs, size_t count,
                      const wchar_t *variable_text)
{
    int dpi = screen_dpi();
    g_specs = specs;
    g_spec_count = count;
    HFONT font = make_font(dpi);
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
    case WM_DPICHANGED: {
        const RECT *r = (const RECT *)lparam;
        SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        relayout(window, HIWORD(wparam), font);
        return 0;
    }
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
