// The floor of the launcher's start-up: the least a Win32 program does to
// show a window like the launcher's. It registers a class, creates a visible
// popup window of the launcher's size and paints one bitmap of that size
// into it, then waits for WM_CLOSE.
//
// Usage: bench_window
#include <windows.h>

#include "ui/window_internal.h"

namespace {

const wchar_t CLASS_NAME[] = L"KorvanthBenchWindow";
HBITMAP g_picture;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        HDC memory = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(memory, g_picture);
        BitBlt(dc, 0, 0, WINDOW_WIDTH, WINDOW_HEIGHT, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// A picture of the window's size, drawn once: a filled background with a
// band across it, so that the paint is a real copy of pixels.
HBITMAP make_picture(void)
{
    HDC screen = GetDC(nullptr);
    HBITMAP picture = CreateCompatibleBitmap(screen, WINDOW_WIDTH, WINDOW_HEIGHT);
    HDC memory = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (!picture || !memory) {
        if (memory)
            DeleteDC(memory);
        return picture;
    }
    HGDIOBJ old = SelectObject(memory, picture);
    RECT all = {0, 0, WINDOW_WIDTH, WINDOW_HEIGHT}, band = {0, 200, WINDOW_WIDTH, 260};
    HBRUSH back = CreateSolidBrush(RGB(30, 34, 44)), front = CreateSolidBrush(RGB(58, 106, 216));
    FillRect(memory, &all, back);
    FillRect(memory, &band, front);
    DeleteObject(back);
    DeleteObject(front);
    SelectObject(memory, old);
    DeleteDC(memory);
    return picture;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    g_picture = make_picture();
    if (!g_picture)
        return 1;
    WNDCLASSW wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = CLASS_NAME;
    int screen_w = GetSystemMetrics(SM_CXSCREEN), screen_h = GetSystemMetrics(SM_CYSCREEN);
    if (!RegisterClassW(&wc) ||
        !CreateWindowExW(WS_EX_APPWINDOW, CLASS_NAME, L"Bench", WS_POPUP | WS_VISIBLE,
                         (screen_w - WINDOW_WIDTH) / 2, (screen_h - WINDOW_HEIGHT) / 2,
                         WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr)) {
        DeleteObject(g_picture);
        return 1;
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DeleteObject(g_picture);
    return 0;
}
