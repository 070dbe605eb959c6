// Driving the install window from outside its thread or process, as a
// player would: find it, read and type into its folder box, press buttons.
#pragma once

#include <windows.h>

#include <string>

namespace install_testing {

// Waits up to `timeout_ms` for a visible top-level window of process `pid`
// with class `cls` (and title `title` when given); null when none came.
HWND wait_window(unsigned long pid, const wchar_t *cls, const wchar_t *title,
                 unsigned timeout_ms);
// The install window of process `pid`.
HWND wait_install_window(unsigned long pid, unsigned timeout_ms = 30000);

std::wstring control_text(HWND window, int id);
void set_control_text(HWND window, int id, const std::wstring &text);
// Posted, not sent: the button's handler may show a modal box.
void press(HWND window, int id);

// The command line process `pid` was started with (read from its process
// parameters); empty when it cannot be read.
std::wstring process_command_line(unsigned long pid);

// The path a case writes into the folder box for a folder `path`, in other
// letter case.
std::wstring upper_case(std::wstring path);

}  // namespace install_testing
