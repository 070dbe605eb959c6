// The user interface: the borderless main window the launcher draws itself,
// its commands, and the server status and news poller that feeds it.
//
// Everything the window shows lives in one MainWindowState that only the
// main thread touches. Worker, game-watch and poller threads report through
// the posted WM_LAUNCHER_* messages of base/base.h and never read it; the
// window frees the heap texts and records those messages carry. The window
// starts update passes and the game but never waits for either; the poller
// thread runs for the rest of the process and only posts.
#pragma once

#include "base/base.h"

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// Records

enum {
    NEWS_ITEMS = 3,
    NEWS_DATE_CHARS = 16,
    NEWS_TITLE_CHARS = 96,
    NOTICE_TEXT_CHARS = 256,
};

struct NewsItem {
    int32_t id;  // > 0 for a stored item; unused items are zero-filled
    wchar_t date[NEWS_DATE_CHARS];    // "7 Mar", or empty
    wchar_t title[NEWS_TITLE_CHARS];
};

// One poll's result, handed to the window whole in WM_LAUNCHER_SERVER_INFO.
struct ServerInfo {
    int32_t server_status;  // 1 online, 0 offline, -1 unknown
    int32_t item_count;     // 0..NEWS_ITEMS
    NewsItem items[NEWS_ITEMS];
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
    int32_t launcher_state;  // LauncherState
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

// The rectangle of a control (ControlId 1..10); null for any other number.
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
// option boxes and the news rows in that order; Minimize and Close are left
// to the pointer and Alt+F4.
int control_in_focus_order(int id);
// The control the focus moves to from `from` for Tab (`step` 1) or Shift+Tab
// (`step` -1): the next control of the order that control_enabled_in allows,
// wrapping around; `from` itself when it is the only one. From a number
// outside the order (None) Tab begins at the first control and Shift+Tab at
// the last. None when no control of the order is enabled.
int next_focus_control_in(const MainWindowState *s, const ControlSituation *now, int from,
                          int step);

// Width in pixels of the filled part of a bar `width` pixels wide at
// `value` thousandths (clamped to 0..1000).
int progress_fill_width(int width, int32_t value);

// ---------------------------------------------------------------------------
// The main window (on the process's g_main_window)

// Creates the window in the middle of the screen and runs the message loop
// until it is destroyed. 0 when the loop ends; 1 when a bitmap ("Launcher
// resources are missing." box), the class or the window cannot be made.
unsigned main_window_run(void *instance, const wchar_t *launcher_folder);
#ifdef _WIN32
#include <windows.h>
// The window procedure.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
#endif
// The visible main window, of any process of this session, that runs on
// `folder`, or null. Windows of launchers on other folders, and a window
// hidden while it closes, do not count.
void *find_folder_window(const wchar_t *folder);
// Restores `window` (HWND) when it is minimised and brings it to the
// foreground, lending its process the right to take the foreground. Does
// not wait for the window's thread.
void bring_window_forward(void *window);
// Draws the whole window into device context `dc` through a back buffer.
void main_window_paint(void *dc);

// Copies the text, cut to STATUS_TEXT_CHARS, into the status line; does not
// repaint.
void set_status_text(const wchar_t *text);
int control_enabled(int id);
int control_look(int id);
int hit_test_control(int x, int y);
int next_focus_control(int from, int step);
// The command of a clicked control; repaints the whole window.
void run_control_command(int id);
// Starts a pass in `mode` (WorkerMode) with the window's flags; state Busy
// and both bars at 0 when it starts. Repaints the whole window either way.
void start_worker_pass(int mode);

// Tick source of the trial judgement (GetTickCount unless a test sets one).
extern uint32_t (*window_tick)(void);

// ---------------------------------------------------------------------------
// Server status and news

// Starts the poller thread for `window` (HWND): a poll at once, then one a
// minute, each posted as WM_LAUNCHER_SERVER_INFO. Not reported when the
// thread cannot start.
void poller_start(void *window);
// One poll of the web site's status and feed into `info` (zero-filled by the
// caller).
void poll_server_info(ServerInfo *info);
// The web site the poller asks (KORVANTH_WEB_URL unless set; null restores
// it). `base_url` ends in "/".
void poller_set_web_url(const wchar_t *base_url);
// The web site in use, ending in "/": the news pages hang off it too.
const wchar_t *poller_web_url(void);

// Byte-level halves of a poll, free of platform calls. `body` holds `len`
// bytes (no terminator needed).
// The "gameServer" ... "online" value into info->server_status (1 only for
// true, 0 for any other value, -1 when a key is missing).
void scan_server_status(const char *body, size_t len, ServerInfo *info);
// Up to NEWS_ITEMS items of the feed into info (item_count and items): the
// objects whose first key is "id" (above 0, within 32 bits) and that have a
// "title"; their title and date are taken from their own keys only. A title
// longer than its field ends at a word with an ellipsis.
void scan_news_feed(const char *body, size_t len, ServerInfo *info);

// The start of the value of the first "key" in [start, end) (the key matched
// whole, quotes included; blanks around its colon skipped), or null.
const char *find_json_key(const char *start, const char *end, const char *key);
// Copies the JSON string value at `pos` (which must be its opening quote)
// into `buf` of `cap_bytes`: at most cap_bytes - 4 bytes, never part of a
// UTF-8 sequence; \n \r \t and escaped control characters as a blank,
// \uXXXX as UTF-8 (a surrogate pair as one character, a lone or broken one
// as U+FFFD), other escaped bytes as themselves. Empty text when `pos` is
// not a quote or `cap_bytes` is below 5; nothing at all is written when it
// is 0.
void copy_json_string(const char *pos, const char *end, char *buf, size_t cap_bytes);
// "2024-03-07..." as "7 Mar" into `out` (NEWS_DATE_CHARS); empty text for a
// text under 10 bytes or a month outside 1..12.
void format_news_date(const char *date, wchar_t *out);
