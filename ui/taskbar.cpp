// The window's taskbar button: the total bar while a pass runs, the paused
// and error colours, and a flash when a pass ends out of the player's sight.
// The decision is a plain function of the window state; the shell is asked
// through ITaskbarList3 on the window's thread only, and only for what
// changed, so the ten-a-second bar posts cost no COM call while the value
// stays put.
#include "ui/window_internal.h"

#include <shobjidl.h>

static_assert((int)TASKBAR_NONE == (int)TBPF_NOPROGRESS && (int)TASKBAR_NORMAL == (int)TBPF_NORMAL &&
                  (int)TASKBAR_ERROR == (int)TBPF_ERROR && (int)TASKBAR_PAUSED == (int)TBPF_PAUSED,
              "the button's states are the shell's flags");

TaskbarRecord g_taskbar_record;

namespace {

ITaskbarList3 *g_list;
// Whether creating the list failed already: a system without a taskbar (or
// without the interface) is asked once per window, not on every bar post.
bool g_list_refused;
// What the button shows now; -1 before the first call.
int g_shown_progress = -1;
int32_t g_shown_value = -1;

bool list_ready(void)
{
    if (g_list)
        return true;
    if (g_list_refused)
        return false;
    HRESULT hr = CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ITaskbarList3, (void **)&g_list);
    if (SUCCEEDED(hr)) {
        hr = g_list->HrInit();
        if (FAILED(hr)) {
            g_list->Release();
            g_list = nullptr;
        }
    }
    g_taskbar_record.create_result = hr;
    g_list_refused = FAILED(hr);
    return !g_list_refused;
}

void flash(HWND window)
{
    FLASHWINFO info = {sizeof info, window, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
    FlashWindowEx(&info);
    g_taskbar_record.flashes++;
}

}  // namespace

TaskbarView taskbar_view_of(const MainWindowState *s, int pass_running, int pass_ended,
                            const WindowPresence *where)
{
    TaskbarView v = {TASKBAR_NONE, 0, 0};
    int32_t total = s->total_progress < 0 ? 0 : s->total_progress > 1000 ? 1000 : s->total_progress;
    // A pass posts its end before its thread is through: the window's state
    // says which of the two the player sees.
    if (pass_running && s->launcher_state == Busy) {
        v.progress = s->pause == PAUSE_ASKED ? TASKBAR_PAUSED : TASKBAR_NORMAL;
        v.value = total;
    } else if (s->pause == PAUSE_HELD && s->launcher_state == UpdateNeeded) {
        v.progress = TASKBAR_PAUSED;
        v.value = total;
    } else if (s->launcher_state == Failed || s->launcher_state == ServerUnreachable) {
        // Full, so that the colour shows whatever the bars reached.
        v.progress = TASKBAR_ERROR;
        v.value = 1000;
    }
    v.flash = pass_ended && !where->closing && (where->iconic || !where->foreground);
    return v;
}

void taskbar_refresh(int pass_ended)
{
    HWND window = (HWND)g_main_window.window;
    if (!window)
        return;
    WindowPresence where = {IsIconic(window) != 0, GetForegroundWindow() == window,
                            !IsWindowVisible(window)};
    TaskbarView v = taskbar_view_of(&g_main_window, worker_is_running(), pass_ended, &where);
    if (v.flash)
        flash(window);
    if (v.progress == g_shown_progress && (v.progress == TASKBAR_NONE || v.value == g_shown_value))
        return;
    if (!list_ready())
        return;
    g_taskbar_record.value_result = S_OK;
    // The value first: a state set before it would show the old value's bar.
    if (v.progress != TASKBAR_NONE)
        g_taskbar_record.value_result = g_list->SetProgressValue(window, (ULONGLONG)v.value, 1000);
    if (v.progress != g_shown_progress)
        g_taskbar_record.state_result = g_list->SetProgressState(window, (TBPFLAG)v.progress);
    g_shown_progress = v.progress;
    g_shown_value = v.value;
    g_taskbar_record.progress = v.progress;
    g_taskbar_record.value = v.value;
}

void taskbar_rebuild(void)
{
    taskbar_release();
    taskbar_refresh();
}

void taskbar_release(void)
{
    if (g_list)
        g_list->Release();
    g_list = nullptr;
    g_list_refused = false;
    g_shown_progress = -1;
    g_shown_value = -1;
}
