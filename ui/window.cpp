// The main window's creation and message loop, and the window state's
// accessors that painting and commands share.
#include "ui/window_internal.h"

#include "game/game.h"
#include "selfupdate/selfupdate.h"
#include "update/update.h"

#include <objbase.h>

MainWindowState g_main_window;
WindowArt g_art;
const wchar_t MAIN_WINDOW_CLASS[] = L"KorvanthLauncher";
UINT g_taskbar_button_created;

namespace {

uint32_t system_tick(void)
{
    return GetTickCount();
}

int system_high_contrast(void)
{
    HIGHCONTRASTW hc = {sizeof hc, 0, nullptr};
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0) &&
           (hc.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

HFONT make_font(const wchar_t *face, int height, int weight)
{
    return CreateFontW(height, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, 0, 0,
                       CLEARTYPE_QUALITY, 0, face);
}

void release_art(void)
{
    art_release_shown();
    HGDIOBJ objects[] = {g_art.background, g_art.button, g_art.circle,
                         g_art.body, g_art.small_bold, g_art.start};
    for (HGDIOBJ o : objects)
        if (o)
            DeleteObject(o);
    ZeroMemory(&g_art, sizeof g_art);
}

// The state a window starts with; a process may open the window more than
// once (tests do), and each run starts afresh.
void reset_state(void *instance, const wchar_t *launcher_folder)
{
    MainWindowState *s = &g_main_window;
    ZeroMemory(s, sizeof *s);
    s->instance = instance;
    lstrcpynW(s->launcher_folder, launcher_folder, LAUNCHER_PATH_CHARS);
    s->launcher_state = Idle;
    s->dxvk_flag = -1;
    s->hover_control = None;
    s->pressed_control = None;
    s->focus_control = None;
    s->server_info.server_status = -1;
    ZeroMemory(&g_taskbar_record, sizeof g_taskbar_record);
}

// Nothing the window started may outlive it: a process that ends with a
// thread of ours still in it now and then crashes under Wine (once bcrypt
// was used), and one whose pass still writes must not let go of its folder.
// The poller is told to stop, the pass to cancel (WM_CLOSE did already) and
// the game's watcher to let the game be; then each is waited for, all
// within WINDOW_END_WAIT_MS. What still runs then is the caller's to judge
// (window_threads_ended).
void end_window_threads(void)
{
    poller_stop();
    worker_request_cancel();
    game_watch_end(0, 1);
    DWORD began = GetTickCount();
    worker_wait(WINDOW_END_WAIT_MS);
    DWORD spent = GetTickCount() - began;
    poller_wait(spent < WINDOW_END_WAIT_MS ? WINDOW_END_WAIT_MS - spent : 0);
    game_watch_end(0, 0);
}

// Only START asks whether the game is there: painting and the cursor ask
// for every control, and that answer costs a file-system query.
ControlSituation situation_now(int id)
{
    ControlSituation now;
    now.pass_running = worker_is_running();
    now.game_running = game_is_running();
    now.game_exe_present = id == Start && game_exe_present(g_main_window.launcher_folder);
    return now;
}

}  // namespace

uint32_t (*window_tick)(void) = system_tick;
int (*window_high_contrast)(void) = system_high_contrast;

void set_status_text(const wchar_t *text)
{
    lstrcpynW(g_main_window.status_text, text, STATUS_TEXT_CHARS);
}

ControlSituation control_situation(int with_game_exe)
{
    return situation_now(with_game_exe ? Start : None);
}

int control_enabled(int id)
{
    ControlSituation now = situation_now(id);
    return control_enabled_in(&g_main_window, &now, id);
}

int control_look(int id)
{
    ControlSituation now = situation_now(id);
    return control_look_in(&g_main_window, &now, id);
}

const wchar_t *round_caption(void)
{
    ControlSituation now = situation_now(Start);
    return round_button_caption(&g_main_window, &now);
}

int hit_test_control(int x, int y)
{
    return hit_test_control_in(&g_main_window, x, y);
}

int next_focus_control(int from, int step)
{
    // The order holds START, so the answer needs the game's presence.
    ControlSituation now = situation_now(Start);
    return next_focus_control_in(&g_main_window, &now, from, step);
}

void repaint(const UiRect *r)
{
    HWND window = (HWND)g_main_window.window;
    if (!window)
        return;
    taskbar_refresh();
    accessible_refresh();
    if (!r) {
        InvalidateRect(window, nullptr, FALSE);
        return;
    }
    UiRect scaled = scale_rect(r, g_main_window.dpi);
    RECT rect = {scaled.left, scaled.top, scaled.right, scaled.bottom};
    InvalidateRect(window, &rect, FALSE);
}

unsigned main_window_run(void *instance, const wchar_t *launcher_folder)
{
    HINSTANCE module = (HINSTANCE)instance;
    int screen_w = GetSystemMetrics(SM_CXSCREEN);
    int screen_h = GetSystemMetrics(SM_CYSCREEN);
    reset_state(instance, launcher_folder);

    g_art.background = LoadBitmapW(module, MAKEINTRESOURCEW(101));
    g_art.button = LoadBitmapW(module, MAKEINTRESOURCEW(102));
    g_art.circle = LoadBitmapW(module, MAKEINTRESOURCEW(103));
    if (!g_art.background || !g_art.button || !g_art.circle) {
        release_art();
        MessageBoxW(nullptr, L"Launcher resources are missing.", L"Korvanth", MB_ICONERROR);
        return 1;
    }
    g_art.body = make_font(L"Tahoma", -12, 400);
    g_art.small_bold = make_font(L"Tahoma", -11, 700);
    g_art.start = make_font(L"Georgia", -15, 700);

    // The taskbar button's interface needs an apartment on this thread.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    g_taskbar_button_created = RegisterWindowMessageW(L"TaskbarButtonCreated");

    WNDCLASSW wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = main_window_proc;
    wc.hInstance = module;
    wc.hIcon = LoadIconW(module, MAKEINTRESOURCEW(100));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = MAIN_WINDOW_CLASS;
    // A second window in one process finds the class registered already.
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        release_art();
        if (SUCCEEDED(com))
            CoUninitialize();
        return 1;
    }

    // Sized for the screen's density; a window that lands on a monitor of
    // another density is resized at WM_CREATE.
    int dpi = screen_dpi();
    int width = scale_px(WINDOW_WIDTH, dpi), height = scale_px(WINDOW_HEIGHT, dpi);
    HWND window = CreateWindowExW(WS_EX_APPWINDOW, MAIN_WINDOW_CLASS, L"Korvanth",
                                  WS_POPUP | WS_VISIBLE | WS_SYSMENU | WS_MINIMIZEBOX,
                                  (screen_w - width) / 2, (screen_h - height) / 2, width, height,
                                  nullptr, nullptr, module, nullptr);
    if (!window) {
        release_art();
        if (SUCCEEDED(com))
            CoUninitialize();
        return 1;
    }
    // Shown, with its first pass begun (WM_CREATE): this launcher has started.
    confirm_launcher_start();

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    release_art();
    end_window_threads();
    if (SUCCEEDED(com))
        CoUninitialize();
    return 0;
}

int window_threads_ended(void)
{
    return worker_wait(0) && poller_wait(0) && game_watch_end(0, 0);
}
