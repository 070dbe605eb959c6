// Driving and seeing real windows from a test: the pointer and the keys
// through SendInput (so that hit-testing, capture, leave tracking and the
// key state run as for a player),
// captures through PrintWindow, and PNG copies of them for a reviewer.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace ui_test {

// Polls `done` every 20 ms for up to `timeout_ms`.
bool wait_until(const std::function<bool()> &done, unsigned timeout_ms);

// The first visible top-level window of class `cls` (of process `pid`
// unless 0), waited for up to `timeout_ms`; null when none came.
HWND wait_for_window(const wchar_t *cls, DWORD pid, unsigned timeout_ms);

// The pointer to client point (x, y) of `window`, raising the window above
// any other first so that the input reaches it.
void pointer_to(HWND window, int x, int y);
void left_button(bool down);
void click(HWND window, int x, int y);
// Brings `window` to the foreground and presses key `vk`, with `modifier`
// (VK_SHIFT, VK_MENU, ...) held around it unless 0. Returns at once, before
// the window has handled the keys.
void press_key(HWND window, WORD vk, WORD modifier = 0);

struct Capture {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, rows top to bottom
    COLORREF at(int x, int y) const;
};

// The client area of a window of this process, `width` x `height`, as its
// procedure paints it on WM_PRINTCLIENT.
Capture capture(HWND window, int width, int height);
// A bitmap resource of this program (the launcher's pictures) as pixels.
Capture resource_bitmap(int id);
// A BMP file as pixels; empty when it cannot be read.
Capture file_bitmap(const std::wstring &path);
// Writes `shot` as build/test-output/ui/NAME.png.
bool save_png(const Capture &shot, const std::string &name);

}  // namespace ui_test
