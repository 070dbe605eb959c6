// The main window's own records and what its files share: the window state,
// the layout and the decisions on it, the commands, the pictures and fonts
// loaded once per run, and the drawing helpers. Internal to ui/.
//
// Everything the window shows lives in one MainWindowState that only the
// main thread touches. Worker, game-watch and poller threads report through
// the posted WM_LAUNCHER_* messages of base/base.h and never read it; the
// window frees the heap texts and records those messages carry. The window
// starts update passes and the game but never waits for either while it is
// up; the poller thread only posts. When the window is gone, all three are
// stopped and waited for, within a bound (main_window_run).
#pragma once

#include "base/base.h"
#include "ui/news_internal.h"
#include "ui/ui.h"
#include "update/update.h"

#include <windows.h>

#include <stdint.h>

// ---------------------------------------------------------------------------
// Records

enum {
    NOTICE_TEXT_CHARS = 256,
};

enum ControlId {
    None = 0,
    CheckFiles = 1,
    Cancel = 2,
    Start = 3,
    Minimize = 4,
    Close = 5,
    CustomInterface = 6,
    ModernGraphics = 7,
    News0 = 8,
    News1 = 9,
    News2 = 10,
    Settings = 11,  // the gear beside the minimise glyph: the download limit
};

// Where a pause of the running update stands: none asked, asked (the pass
// is stopping), or held (the pass stopped; the round button resumes).
enum PauseStep {
    PAUSE_NONE = 0,
    PAUSE_ASKED = 1,
    PAUSE_HELD = 2,
};

// Also the sprite row in bitmaps 102 and 103.
enum ControlLook {
    Normal = 0,
    Hover = 1,
    Pressed = 2,
    Disabled = 3,
};

struct MainWindowState {
    void *instance;  // HINSTANCE
    void *window;    // HWND, set at WM_CREATE
    wchar_t launcher_folder[LAUNCHER_PATH_CHARS];
    wchar_t status_text[STATUS_TEXT_CHARS];
    wchar_t detail_text[DETAIL_TEXT_CHARS];
    int32_t file_progress;   // thousandths
    int32_t total_progress;  // thousandths
    LauncherState launcher_state;
    int32_t interface_flag;  // 0/1
    int32_t dxvk_flag;       // -1 undecided, 0 off, 1 on
    int32_t dxvk_trial_flag; // 0/1
    int32_t vulkan_offered;  // 0/1
    uint32_t game_start_tick;
    wchar_t pending_notice[NOTICE_TEXT_CHARS];
    int32_t hover_control;    // ControlId
    int32_t pressed_control;  // ControlId
    int32_t leave_tracking;   // 0/1
    int32_t focus_control;    // ControlId that Enter and Space press
    int32_t focus_cues;       // 0/1: the focus mark is drawn (after the first Tab)
    ServerInfo server_info;
    int32_t pass_mode;        // WorkerMode of the pass started last
    int32_t pause;            // PauseStep
};

// The process's one window state.
extern MainWindowState g_main_window;

// ---------------------------------------------------------------------------
// Layout: client pixels, right and bottom exclusive. Control rectangles are
// also their hit areas.

struct UiRect {
    int left, top, right, bottom;
};

enum {
    WINDOW_WIDTH = 816,
    WINDOW_HEIGHT = 604,
};

// The rectangle of a control (ControlId 1..11); null for any other number.
const UiRect *control_rect(int id);

// ---------------------------------------------------------------------------
// Decisions, free of platform calls

// What enablement asks of the rest of the launcher at one moment.
struct ControlSituation {
    int pass_running;      // worker_is_running()
    int game_running;      // game_is_running()
    int game_exe_present;  // game_exe_present(launcher folder)
};

// Enablement and look of control `id` for window state `s` in situation `now`.
int control_enabled_in(const MainWindowState *s, const ControlSituation *now, int id);
int control_look_in(const MainWindowState *s, const ControlSituation *now, int id);

// The control under client point (x, y) of the window state `s`: the news
// rows count only for items with an id above 0; the circular button only
// inside its circle. Disabled controls are hit like enabled ones.
int hit_test_control_in(const MainWindowState *s, int x, int y);

// Keyboard focus. Tab visits the round button, CHECK FILES, CANCEL, the two
// option boxes, the news rows and the settings gear in that order; Minimize
// and Close are left to the pointer and Alt+F4.
int control_in_focus_order(int id);
// The control the focus moves to from `from` for Tab (`step` 1) or Shift+Tab
// (`step` -1): the next control of the order that control_enabled_in allows,
// wrapping around; `from` itself when it is the only one. From a number
// outside the order (None) Tab begins at the first control and Shift+Tab at
// the last. None when no control of the order is enabled.
int next_focus_control_in(const MainWindowState *s, const ControlSituation *now, int from,
                          int step);

// The round button's caption: PAUSE while an update runs, RESUME for the
// update a pause stopped, UPDATE while one is needed, else START.
const wchar_t *round_button_caption(const MainWindowState *s, const ControlSituation *now);

// Width in pixels of the filled part of a bar `width` pixels wide at
// `value` thousandths (clamped to 0..1000).
int progress_fill_width(int width, int32_t value);

// ---------------------------------------------------------------------------
// The main window (on the process's g_main_window)

// The window procedure.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Draws the whole window into device context `dc` through a back buffer.
void main_window_paint(void *dc);

// Copies the text, cut to STATUS_TEXT_CHARS, into the status line; does not
// repaint.
void set_status_text(const wchar_t *text);
int control_enabled(int id);
int control_look(int id);
int hit_test_control(int x, int y);
int next_focus_control(int from, int step);
const wchar_t *round_caption(void);
// The command of a clicked control; repaints the whole window.
void run_control_command(int id);
// The download limits the settings gear offers, bytes per second (0: none).
extern const uint64_t LIMIT_CHOICES[];
extern const int LIMIT_CHOICE_COUNT;
// The player's choice of limit: kept in the folder's settings file and
// held from the next read of any transfer on; said in the status line when
// no pass is using it. 1 when it was kept.
int choose_download_limit(uint64_t bytes_per_second);
// Opens the gear's menu under it and takes the player's choice; the gear
// asks for it with WM_COMMAND SETTINGS_MENU_COMMAND.
enum { SETTINGS_MENU_COMMAND = 1 };
void open_settings_menu(void);
// Starts a pass in `mode` (WorkerMode) with the window's flags; state Busy
// and both bars at 0 when it starts. Repaints the whole window either way.
void start_worker_pass(WorkerMode mode);

// Tick source of the trial judgement (GetTickCount unless a test sets one).
extern uint32_t (*window_tick)(void);

// ---------------------------------------------------------------------------
// Pictures, fonts and drawing

struct WindowArt {
    HBITMAP background;  // BITMAP 101, 816 x 604
    HBITMAP button;      // BITMAP 102, four rows of 95 x 20
    HBITMAP circle;      // BITMAP 103, four rows of 80 x 80
    HFONT body;          // Tahoma -12
    HFONT small_bold;    // Tahoma -11 bold
    HFONT start;         // Georgia -15 bold
};

extern WindowArt g_art;

// The main window's class: other launcher processes look for it too.
extern const wchar_t MAIN_WINDOW_CLASS[];

// Text alignments of draw_label, DrawTextW flags.
enum : UINT {
    ALIGN_LEFT = DT_VCENTER,
    ALIGN_CENTRE = DT_CENTER | DT_VCENTER,
    ALIGN_RIGHT = DT_RIGHT | DT_VCENTER,
};

// Every helper draws into `dc` (the back buffer) and deletes what it creates.
void draw_label(HDC dc, const UiRect *r, const wchar_t *text, HFONT font, COLORREF colour,
                UINT align);
void draw_progress_bar(HDC dc, const UiRect *r, int32_t value, COLORREF colour);
// `sprites` is a memory DC the helper may select BITMAP 102 into.
void draw_sprite_button(HDC dc, HDC sprites, const UiRect *r, int id, const wchar_t *caption);
void draw_caption_glyph(HDC dc, const UiRect *r, int id);
void draw_check_box(HDC dc, const UiRect *r, int id, int ticked, const wchar_t *label);

// Places of the texts and bars that worker messages change (paint.cpp).
extern const UiRect STATUS_TEXT_RECT, FILE_BAR_RECT, TOTAL_BAR_RECT, DETAIL_TEXT_RECT;

// Repaints the whole client area, or the rectangle `r`, without erasing.
void repaint(const UiRect *r = nullptr);

// Closing: the window hides at once, and is destroyed when the running pass
// has ended or after CLOSE_WAIT_MS, so that the pass can save its records.
// Its threads then get up to WINDOW_END_WAIT_MS more to end. A cancelled
// pass stops at its next transfer block; only a request that hangs on a
// silent server takes longer, and the process does not wait for that.
enum {
    CLOSE_WAIT_MS = 3000,
    WINDOW_END_WAIT_MS = 1000,
    CLOSE_TIMER_ID = 1,
    CLOSE_POLL_MS = 50,
};

// Between its creation and its destruction the window carries its folder's
// lock name as a property: a second launcher of that folder finds it by
// that (find_folder_window). Called from WM_CREATE and WM_DESTROY.
void mark_folder_window(HWND window, const wchar_t *launcher_folder);
void unmark_folder_window(HWND window);
