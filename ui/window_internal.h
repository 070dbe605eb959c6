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
    int32_t dpi;              // the window's pixels per inch; 0 counts as 96
    int32_t high_contrast;    // 0/1: the system's high contrast is on
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

// The window is laid out in pixels at 96 per inch and drawn at its own
// density: a length `v` becomes v * dpi / 96 rounded to the nearest pixel
// (halves away from zero), each edge of a rectangle on its own so that
// neighbours stay neighbours. `dpi` 0 or 96 leaves everything as it is.
int scale_px(int v, int dpi);
UiRect scale_rect(const UiRect *r, int dpi);

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

// What the taskbar button shows: the values are the shell's TBPF_* flags.
enum TaskbarProgress {
    TASKBAR_NONE = 0,
    TASKBAR_NORMAL = 2,
    TASKBAR_ERROR = 4,
    TASKBAR_PAUSED = 8,
};

// Where the window stands on the desktop when a pass ends.
struct WindowPresence {
    int iconic;      // minimised
    int foreground;  // the player's active window
    int closing;     // hidden while its pass ends
};

struct TaskbarView {
    int progress;   // TaskbarProgress
    int32_t value;  // thousandths of the button's bar; 0 with TASKBAR_NONE
    int flash;      // 1: flash the button until the window comes forward
};

// The taskbar button for window state `s`: a running pass (the state Busy
// while the worker runs) shows the total bar (paused colour once a pause is
// asked), a held pause keeps its value in the paused colour, a failed pass
// shows a full bar in the error colour, anything else no bar. `pass_ended` is 1 when the state report of a pass is
// being taken in: the button flashes then, unless the player is looking at
// the window (or it is closing).
TaskbarView taskbar_view_of(const MainWindowState *s, int pass_running, int pass_ended,
                            const WindowPresence *where);

// Screen readers see the window's client area as these children: the
// controls by their ControlId (1..11), then the status line, the two bars
// and the detail line.
enum AccessibleChildId {
    ACC_STATUS_LINE = 12,
    ACC_FILE_BAR = 13,
    ACC_TOTAL_BAR = 14,
    ACC_DETAIL_LINE = 15,
    ACC_CHILD_COUNT = 15,
};

// One child as a screen reader is told of it.
struct AccessibleChild {
    wchar_t name[STATUS_TEXT_CHARS];  // as shown; a news row: its date and title
    int role;                         // ROLE_SYSTEM_*
    uint32_t state;                   // STATE_SYSTEM_* bits
    const wchar_t *action;            // the default action's name, or null
    wchar_t value[8];                 // a bar's percentage ("42%"); else empty
};

// Child `child` (1..ACC_CHILD_COUNT) of window state `s` in situation `now`;
// `window_focused` is 1 when the window has the keyboard focus (only then is
// the focused control said to be focused). 0 for any other number.
int accessible_child_in(const MainWindowState *s, const ControlSituation *now, int child,
                        int window_focused, AccessibleChild *out);
// The child's place in unscaled client pixels; 0 for any other number.
int accessible_child_rect(int child, UiRect *out);

// The colours of one paint. The window's own over its pictures; in high
// contrast the player's system colours on a plain background, with no
// picture and no shadow, the buttons drawn flat.
struct Palette {
    int plain;  // 1: high contrast: no pictures, no text shadows
    COLORREF background, label, status, detail, version, disabled, hover;
    COLORREF button_text, button_hover_text;
    COLORREF button_face, button_border, button_hover_face;  // plain only
    COLORREF round_text, round_hover;
    COLORREF bar_frame, bar_trough, file_fill, total_fill;
    COLORREF glyph, box_fill, focus;
    COLORREF news_date, news_date_lit, news_title, news_title_lit;
};

// The palette for the window, in high contrast or not; `system` answers a
// COLOR_* index as GetSysColor does (only asked in high contrast).
Palette window_palette(int high_contrast, COLORREF (*system)(int index));

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
// What enablement asks of the rest of the launcher now; whether the game's
// program is there is asked only when `with_game_exe` is 1 (a file query).
ControlSituation control_situation(int with_game_exe);
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
// Whether the system's high contrast is on (SPI_GETHIGHCONTRAST unless a
// test sets another answer); asked at creation and at every change of the
// system's settings or colours.
extern int (*window_high_contrast)(void);

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

extern WindowArt g_art;  // the pictures as loaded, the fonts at 96 per inch

// The art at the window's density: g_art itself at 96; otherwise the
// pictures of the fitting carried pack (ui/art_pack.h), as drawn or averaged
// down, or without one each picture's rows stretched once with the system's
// halftone filter; the fonts made at the scaled heights. One density is
// kept: the window's.
struct ShownArt {
    int dpi;          // 0: none made
    int source_percent;  // the pack the pictures come from; 0: the 100% ones
    WindowArt art;    // owned when dpi is not 96
    int button_w, button_h;  // one row of the stretched BITMAP 102
    int circle_w, circle_h;  // one row of the stretched BITMAP 103
};
extern ShownArt g_shown;
// The art to draw at `dpi`: made on the first call for that density; g_art
// (and the unscaled cells) when it cannot be made.
const ShownArt *art_at(int dpi);
void art_release_shown(void);

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

// Repaints the whole client area, or the rectangle `r`, without erasing;
// the taskbar button follows what is drawn.
void repaint(const UiRect *r = nullptr);

// The taskbar button (ITaskbarList3 on the window's thread, which holds a
// COM apartment for the window's life). taskbar_refresh shows the current
// view, calling the shell only for what changed; `pass_ended` as in
// taskbar_view_of. taskbar_rebuild is for the shell's TaskbarButtonCreated
// (a new button after Explorer restarts); taskbar_release at WM_DESTROY.
void taskbar_refresh(int pass_ended = 0);
void taskbar_rebuild(void);
void taskbar_release(void);
// What the window last asked of the shell, and the shell's answers.
struct TaskbarRecord {
    int progress;         // TaskbarProgress last set
    int32_t value;        // thousandths last set
    long state_result;    // HRESULT of the last SetProgressState
    long value_result;    // HRESULT of the last SetProgressValue (S_OK when none was due)
    long create_result;   // HRESULT of CoCreateInstance + HrInit
    int flashes;          // FlashWindowEx calls
};
extern TaskbarRecord g_taskbar_record;
// The shell's TaskbarButtonCreated message, registered by main_window_run.
extern UINT g_taskbar_button_created;

// Screen readers (Active Accessibility). accessible_answer is WM_GETOBJECT's
// handling: the window's own IAccessible for OBJID_CLIENT, 0 (default
// handling) for anything else. accessible_refresh tells listeners what
// changed since it last ran: focus, states and names at once, the status and
// detail lines and the bars' values at most as often as their posts are
// paced (a timer brings the last change). accessible_timer is that timer's;
// accessible_release at WM_DESTROY disconnects the object from the window.
LRESULT accessible_answer(HWND window, WPARAM wparam, LPARAM lparam);
void accessible_refresh(void);
void accessible_timer(void);
void accessible_release(void);
// WM_COMMAND ids through which a reader's default action reaches the
// window's own command path: ACCESSIBLE_PRESS_COMMAND + ControlId.
enum { ACCESSIBLE_PRESS_COMMAND = 0x100, ACCESSIBLE_TIMER_ID = 2 };

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
