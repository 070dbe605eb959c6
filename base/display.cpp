// The screen's pixel density, for the windows that scale themselves: the
// launcher's manifest says it draws for each monitor's density itself, so
// the system never stretches its windows.
#include "base/base.h"

#include <windows.h>

namespace {

typedef UINT(WINAPI *DpiForWindowFn)(HWND);

// Windows 10 (1607) and later; older systems and the import library know
// only the screen's density.
DpiForWindowFn dpi_for_window(void)
{
    static DpiForWindowFn fn = (DpiForWindowFn)(void *)GetProcAddress(
        GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    return fn;
}

}  // namespace

int screen_dpi(void)
{
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

int window_dpi(void *window)
{
    DpiForWindowFn fn = dpi_for_window();
    int dpi = fn && window ? (int)fn((HWND)window) : 0;
    return dpi > 0 ? dpi : screen_dpi();
}
