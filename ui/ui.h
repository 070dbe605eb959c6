// What the launcher's start asks of the user interface: to run the
// borderless main window the launcher draws itself (its commands, and the
// server status and news poller that feeds it, stay inside ui/), or to bring
// forward the window another launcher of the same folder already shows.
#pragma once

// Creates the window in the middle of the screen and runs the message loop
// until it is destroyed. 0 when the loop ends; 1 when a bitmap ("Launcher
// resources are missing." box), the class or the window cannot be made.
unsigned main_window_run(void *instance, const wchar_t *launcher_folder);
// After main_window_run: 1 when every thread the window started (its
// passes, the poller, the game's watcher) has ended; 0 when one still runs
// after the bounded wait at the window's end (a request on a silent server).
int window_threads_ended(void);
// The visible main window, of any process of this session, that runs on
// `folder`, or null. Windows of launchers on other folders, and a window
// hidden while it closes, do not count.
void *find_folder_window(const wchar_t *folder);
// Restores `window` (HWND) when it is minimised and brings it to the
// foreground, lending its process the right to take the foreground. Does
// not wait for the window's thread.
void bring_window_forward(void *window);
