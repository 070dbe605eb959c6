// The main window as a second launcher of its folder sees it. Only one
// process may run update passes on a folder (folder/folder_lock.cpp), so a
// launcher started on a folder that a running one holds shows that one's
// window and ends. The window carries the folder's lock name as a property:
// launchers of other folders run beside it, and their windows carry other
// names.
#include "ui/window_internal.h"

#include "folder/folder.h"

namespace {

// The name this process's window was marked with, to take it off again.
wchar_t g_mark[FOLDER_LOCK_NAME_CHARS];

}  // namespace

void mark_folder_window(HWND window, const wchar_t *launcher_folder)
{
    if (folder_lock_name(launcher_folder, g_mark, FOLDER_LOCK_NAME_CHARS))
        SetPropW(window, g_mark, (HANDLE)1);
}

void unmark_folder_window(HWND window)
{
    if (g_mark[0])
        RemovePropW(window, g_mark);
    g_mark[0] = 0;
}

void *find_folder_window(const wchar_t *folder)
{
    wchar_t name[FOLDER_LOCK_NAME_CHARS];
    if (!folder_lock_name(folder, name, FOLDER_LOCK_NAME_CHARS))
        return nullptr;
    // A window hidden while it closes is not brought back.
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, MAIN_WINDOW_CLASS, nullptr)) != nullptr)
        if (IsWindowVisible(window) && GetPropW(window, name))
            return window;
    return nullptr;
}

void bring_window_forward(void *window)
{
    HWND w = (HWND)window;
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    // The player just started this process, which may therefore set the
    // foreground; the window's own process may too from now on, so that
    // its restore activates it in front.
    AllowSetForegroundWindow(owner);
    // Asynchronous: a busy window's thread does not hold this process up.
    if (IsIconic(w))
        ShowWindowAsync(w, SW_RESTORE);
    SetForegroundWindow(w);
}
