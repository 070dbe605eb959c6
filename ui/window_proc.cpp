// The main window's procedure: mouse and keyboard input on the self-drawn
// controls, their commands, and the messages through which worker, game
// watcher and poller report. Only the main thread runs this, and only it
// changes the window state.
#include "ui/window_internal.h"

#include "game/game.h"
#include "korvanth_config.h"
#include "selfupdate/selfupdate.h"
#include "folder/folder.h"
#include "update/update.h"

#include <shellapi.h>

namespace {

MainWindowState *const s = &g_main_window;

enum {
    // After a refused swap, how long the window waits for the pass that
    // handed the launcher over to end before it starts the next one.
    WORKER_END_WAIT_MS = 5000,
    WORKER_END_POLL_MS = 10,
};

// Set when the player closed the window while a pass ran: the window is
// hidden and waits for the pass to save its records.
bool g_closing;
uint32_t g_close_tick;

// A bar is drawn with a one-pixel frame around its rectangle.
void repaint_bar(const UiRect *bar)
{
    // Two pixels: a frame as thick as a scaled pixel is inside at any density.
    UiRect framed = {bar->left - 2, bar->top - 2, bar->right + 2, bar->bottom + 2};
    repaint(&framed);
}

void open_news_item(int index)
{
    wchar_t address[128];
    // A cut address would open some other page: better none.
    if (format_wide(address, 128, L"%sfeed/%d", poller_web_url(), s->server_info.items[index].id) < 0)
        return;
    ShellExecuteW(nullptr, L"open", address, nullptr, nullptr, SW_SHOWNORMAL);
}

void start_game(void)
{
    int started = game_start(s->window, s->launcher_folder);
    if (started > 0) {
        s->game_start_tick = window_tick();
        set_status_text(L"Drumveil is running.");
        ShowWindow((HWND)s->window, SW_MINIMIZE);
    } else if (started < 0) {
        set_status_text(L"Start cancelled.");
    } else {
        set_status_text(L"Failed to run DV.exe. Please check the file and try again.");
    }
}

void on_game_exited(uint32_t exit_code)
{
    wchar_t text[96];
    format_wide(text, 96, L"Drumveil closed (code %lu).", (unsigned long)exit_code);
    set_status_text(text);
    log_printf("dv.exe exited with %lu", (unsigned long)exit_code);
    if (!g_closing)
        ShowWindow((HWND)s->window, SW_RESTORE);

    TrialOutcome trial;
    dxvk_judge_trial(s->dxvk_flag, s->dxvk_trial_flag, window_tick() - s->game_start_tick,
                     exit_code, &trial);
    if (trial.judged) {
        s->dxvk_flag = trial.dxvk;
        s->dxvk_trial_flag = trial.dxvk_trial;
        log_write_line(trial.log_line);
        if (trial.notice_due)
            format_wide(s->pending_notice, NOTICE_TEXT_CHARS, L"%S", DXVK_TRIAL_NOTICE);
        start_worker_pass(Check);
    }
    repaint();
}

void on_self_update(intptr_t lparam)
{
    wchar_t path[LAUNCHER_PATH_CHARS];
    SwapStart swap = SWAP_HELPER_NOT_STARTED;
    if (take_posted_text(WM_LAUNCHER_SELF_UPDATE, lparam, path, LAUNCHER_PATH_CHARS))
        swap = start_swap_helper(s->launcher_folder, path);
    if (swap == SWAP_HELPER_TOOK_OVER) {
        DestroyWindow((HWND)s->window);
        return;
    }
    if (swap == SWAP_HELPER_REFUSED) {
        // The pass that handed the launcher over ended without a state; a new
        // one goes on without it (the state file now refuses it).
        lstrcpynW(s->pending_notice, SWAP_REFUSED_NOTICE, NOTICE_TEXT_CHARS);
        set_status_text(SWAP_REFUSED_NOTICE);
        for (DWORD began = GetTickCount();
             worker_is_running() && GetTickCount() - began < WORKER_END_WAIT_MS;)
            Sleep(WORKER_END_POLL_MS);
        start_worker_pass(Check);
        return;
    }
    set_status_text(L"The launcher could not update itself.");
    s->launcher_state = Failed;
    repaint();
}

void on_state(LauncherState state)
{
    s->launcher_state = state;
    if (s->pause == PAUSE_ASKED && state != Busy) {
        // A pass that stopped for the pause keeps its part files: RESUME
        // goes on from them, as does UPDATE after a restart.
        s->pause = state == UpdateNeeded ? PAUSE_HELD : PAUSE_NONE;
        if (s->pause == PAUSE_HELD)
            set_status_text(L"The update is paused. Press RESUME to go on.");
    }
    if (state == UpToDate)
        s->file_progress = s->total_progress = 1000;
    if (s->pending_notice[0] && state != Busy) {
        set_status_text(s->pending_notice);
        s->pending_notice[0] = 0;
    }
    repaint();
    // A check or an update ended: the player, looking elsewhere, is told.
    if (state != Busy)
        taskbar_refresh(1);
}

void on_graphics(uintptr_t bits)
{
    s->vulkan_offered = (bits & GRAPHICS_DXVK_OFFERED) != 0;
    if (s->vulkan_offered) {
        s->dxvk_flag = (bits & GRAPHICS_DXVK_ON) ? 1 : 0;
        s->dxvk_trial_flag = (bits & GRAPHICS_DXVK_TRIAL) ? 1 : 0;
    }
    repaint(control_rect(ModernGraphics));
}

// Closing while a pass runs: hide now, destroy when the pass has ended (its
// last records saved) or after CLOSE_WAIT_MS, whichever comes first.
void on_close(HWND window)
{
    if (!worker_is_running()) {
        DestroyWindow(window);
        return;
    }
    worker_request_cancel();
    if (g_closing)
        return;
    g_closing = true;
    g_close_tick = GetTickCount();
    ShowWindow(window, SW_HIDE);
    if (!SetTimer(window, CLOSE_TIMER_ID, CLOSE_POLL_MS, nullptr))
        DestroyWindow(window);
}

void on_close_timer(HWND window)
{
    if (worker_is_running() && GetTickCount() - g_close_tick < CLOSE_WAIT_MS)
        return;
    KillTimer(window, CLOSE_TIMER_ID);
    DestroyWindow(window);
}

void set_hover(int id)
{
    if (s->hover_control == id)
        return;
    s->hover_control = id;
    repaint();
}

int hit_at(LPARAM lparam)
{
    return hit_test_control((short)LOWORD(lparam), (short)HIWORD(lparam));
}

LRESULT on_mouse(HWND window, UINT message, LPARAM lparam)
{
    int id = hit_at(lparam);
    switch (message) {
    case WM_MOUSEMOVE:
        if (!s->leave_tracking) {
            TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, window, 0};
            TrackMouseEvent(&track);
            s->leave_tracking = 1;
        }
        set_hover(id);
        break;
    case WM_LBUTTONDOWN:
        if (id == None)
            break;
        s->pressed_control = id;
        // As a dialog's button does, a clicked control takes the focus; the
        // mark stays as it was, so a mouse player never sees it.
        if (control_in_focus_order(id) && control_enabled(id))
            s->focus_control = id;
        SetCapture(window);
        repaint();
        break;
    case WM_LBUTTONUP: {
        int pressed = s->pressed_control;
        s->pressed_control = None;
        if (GetCapture() == window)
            ReleaseCapture();
        if (pressed != None && pressed == id)
            run_control_command(id);
        else
            repaint();
        break;
    }
    }
    return 0;
}

// Keys as in a dialog: Tab and Shift+Tab move the focus over the controls a
// click would work on, Enter and Space click the focused one through the
// same command path, enablement check included. A held key repeats the
// focus move but not the press: a held Enter on UPDATE would otherwise start
// the game the moment the update ends. False for any other key.
bool on_key(WPARAM key, LPARAM lparam)
{
    bool repeat = (lparam & (1L << 30)) != 0;
    switch (key) {
    case VK_TAB:
        s->focus_control = next_focus_control(s->focus_control, GetKeyState(VK_SHIFT) < 0 ? -1 : 1);
        s->focus_cues = 1;
        repaint();
        return true;
    case VK_RETURN:
    case VK_SPACE:
        if (!repeat && s->focus_control != None)
            run_control_command(s->focus_control);
        return true;
    }
    return false;
}

LRESULT on_worker_message(UINT message, WPARAM wparam, LPARAM lparam)
{
    wchar_t text[STATUS_TEXT_CHARS];
    switch (message) {
    case WM_LAUNCHER_STATUS:
        if (take_posted_text(message, lparam, text, STATUS_TEXT_CHARS)) {
            set_status_text(text);
            repaint(&STATUS_TEXT_RECT);
        }
        break;
    case WM_LAUNCHER_FILE_PROGRESS:
        s->file_progress = (int32_t)wparam;
        repaint_bar(&FILE_BAR_RECT);
        break;
    case WM_LAUNCHER_TOTAL_PROGRESS:
        s->total_progress = (int32_t)wparam;
        repaint_bar(&TOTAL_BAR_RECT);
        break;
    case WM_LAUNCHER_STATE:
        on_state((LauncherState)wparam);
        break;
    case WM_LAUNCHER_GAME_EXITED:
        on_game_exited((uint32_t)wparam);
        break;
    case WM_LAUNCHER_SELF_UPDATE:
        on_self_update(lparam);
        break;
    case WM_LAUNCHER_DETAIL:
        take_posted_text(message, lparam, text, DETAIL_TEXT_CHARS);
        lstrcpynW(s->detail_text, text, DETAIL_TEXT_CHARS);
        repaint(&DETAIL_TEXT_RECT);
        break;
    case WM_LAUNCHER_SERVER_INFO:
        if (lparam) {
            s->server_info = *(const ServerInfo *)lparam;
            HeapFree(GetProcessHeap(), 0, (void *)lparam);
            repaint();
        }
        break;
    case WM_LAUNCHER_GRAPHICS:
        on_graphics(wparam);
        break;
    }
    return 0;
}

// The window at density `dpi`: its size scaled, kept centred where it was
// (or placed at `suggested`, the system's rectangle for a move between
// monitors), the art for that density made, everything drawn again.
void set_dpi(HWND window, int dpi, const RECT *suggested)
{
    s->dpi = dpi;
    art_at(dpi);
    RECT r;
    if (suggested) {
        r = *suggested;
    } else {
        GetWindowRect(window, &r);
        int w = scale_px(WINDOW_WIDTH, dpi), h = scale_px(WINDOW_HEIGHT, dpi);
        int cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
        r = {cx - w / 2, cy - h / 2, cx - w / 2 + w, cy - h / 2 + h};
    }
    SetWindowPos(window, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    repaint();
}

void on_create(HWND window)
{
    s->window = window;
    s->high_contrast = window_high_contrast();
    {
        RECT client;
        GetClientRect(window, &client);
        int dpi = window_dpi(window);
        // Created at the screen's density; a monitor of another one resizes it.
        if (client.right != scale_px(WINDOW_WIDTH, dpi))
            set_dpi(window, dpi, nullptr);
        else
            s->dpi = dpi;
    }
    g_closing = false;
    mark_folder_window(window, s->launcher_folder);
    int32_t interface_flag = s->interface_flag, dxvk = s->dxvk_flag, trial = s->dxvk_trial_flag;
    // Started again by a swap whose new launcher could not start: said once
    // the first pass has ended.
    if (has_argument(GetCommandLineW(), SWAP_REFUSED_OPTION)) {
        lstrcpynW(s->pending_notice, SWAP_REFUSED_NOTICE, NOTICE_TEXT_CHARS);
        log_printf("swap: started again in place of a new launcher that could not start");
    }
    if (read_player_flags(s->launcher_folder, &interface_flag, &dxvk, &trial)) {
        s->interface_flag = interface_flag;
        s->dxvk_flag = dxvk;
        s->dxvk_trial_flag = trial;
    }
    start_worker_pass(Check);
    poller_start(window);
}

}  // namespace

void start_worker_pass(WorkerMode mode)
{
    WorkerParams params;
    ZeroMemory(&params, sizeof params);
    params.window = s->window;
    lstrcpynW(params.client_folder, s->launcher_folder, LAUNCHER_PATH_CHARS);
    params.mode = mode;
    params.custom_interface = s->interface_flag;
    params.dxvk = s->dxvk_flag;
    params.dxvk_trial = s->dxvk_trial_flag;
    if (worker_start(&params)) {
        s->pass_mode = mode;
        s->pause = PAUSE_NONE;
        s->launcher_state = Busy;
        s->file_progress = s->total_progress = 0;
    }
    repaint();
}

void run_control_command(int id)
{
    bool needs_enabled = id != Minimize && id != Close;
    if (needs_enabled && !control_enabled(id)) {
        repaint();
        return;
    }
    switch (id) {
    case CheckFiles:
        start_worker_pass(Verify);
        break;
    case Cancel:
        worker_request_cancel();
        set_status_text(L"Cancelling...");
        break;
    case Start:
        if (worker_is_running()) {
            // PAUSE: the transfers stop at their next block, part files kept.
            worker_request_cancel();
            s->pause = PAUSE_ASKED;
            set_status_text(L"Pausing...");
        } else if (s->launcher_state == UpdateNeeded) {
            start_worker_pass(Update);
        } else {
            start_game();
        }
        break;
    case Minimize:
        ShowWindow((HWND)s->window, SW_MINIMIZE);
        break;
    case Close:
        PostMessageW((HWND)s->window, WM_CLOSE, 0, 0);
        break;
    case CustomInterface:
        s->interface_flag = s->interface_flag ? 0 : 1;
        log_printf("interface %d", (int)s->interface_flag);
        start_worker_pass(Check);
        break;
    case ModernGraphics: {
        int v = s->dxvk_flag == 1 ? 0 : 1;
        s->dxvk_flag = s->dxvk_trial_flag = v;
        log_printf("dxvk %d by the player", v);
        start_worker_pass(Check);
        break;
    }
    case News0:
    case News1:
    case News2:
        open_news_item(id - News0);
        break;
    case Settings:
        // Opened once the key or click that asked for it is through: a
        // menu opened at once would take its Enter for a choice of none.
        PostMessageW((HWND)s->window, WM_COMMAND, SETTINGS_MENU_COMMAND, 0);
        break;
    }
    repaint();
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        on_create(window);
        return 0;
    case WM_DESTROY:
        taskbar_release();
        accessible_release();
        unmark_folder_window(window);
        s->window = nullptr;
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        main_window_paint(dc);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        main_window_paint((HDC)wparam);
        return 0;
    case WM_CLOSE:
        // Also Alt+F4: DefWindowProcW turns it into SC_CLOSE, then WM_CLOSE.
        on_close(window);
        return 0;
    case WM_TIMER:
        if (wparam == CLOSE_TIMER_ID) {
            on_close_timer(window);
            return 0;
        }
        if (wparam == ACCESSIBLE_TIMER_ID) {
            accessible_timer();
            return 0;
        }
        break;
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
        // High contrast turned on or off, or its colours changed.
        s->high_contrast = window_high_contrast();
        repaint();
        break;
    case WM_DPICHANGED:
        set_dpi(window, LOWORD(wparam), (const RECT *)lparam);
        return 0;
    case WM_GETOBJECT:
        if (LRESULT answer = accessible_answer(window, wparam, lparam))
            return answer;
        break;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        accessible_refresh();
        break;
    case WM_ERASEBKGND:
        return 1;
    case WM_SETCURSOR:
        if (LOWORD(lparam) == HTCLIENT && s->hover_control != None &&
            control_enabled(s->hover_control)) {
            SetCursor(LoadCursorW(nullptr, IDC_HAND));
            return 1;
        }
        break;
    case WM_NCHITTEST: {
        POINT p = {(short)LOWORD(lparam), (short)HIWORD(lparam)};
        ScreenToClient(window, &p);
        return hit_test_control(p.x, p.y) != None ? HTCLIENT : HTCAPTION;
    }
    case WM_NCMOUSEMOVE:
        set_hover(None);
        break;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
        return on_mouse(window, message, lparam);
    case WM_KEYDOWN:
        if (on_key(wparam, lparam))
            return 0;
        break;
    case WM_COMMAND:
        if (LOWORD(wparam) == SETTINGS_MENU_COMMAND)
            open_settings_menu();
        else if (LOWORD(wparam) > ACCESSIBLE_PRESS_COMMAND &&
                 LOWORD(wparam) <= ACCESSIBLE_PRESS_COMMAND + Settings)
            run_control_command(LOWORD(wparam) - ACCESSIBLE_PRESS_COMMAND);
        return 0;
    case WM_MOUSELEAVE:
        s->leave_tracking = 0;
        set_hover(None);
        return 0;
    default:
        if (message >= WM_LAUNCHER_STATUS && message <= WM_LAUNCHER_GRAPHICS)
            return on_worker_message(message, wparam, lparam);
        if (message == g_taskbar_button_created && message != 0) {
            taskbar_rebuild();
            return 0;
        }
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
