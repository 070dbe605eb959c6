// The window's decisions as tables: which control a point hits, and when a
// control is enabled and how it looks, for every situation a player meets.
#include "ui/window_internal.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <oleacc.h>
#include <string.h>

#include <string>

namespace {

MainWindowState fresh_state()
{
    MainWindowState s;
    memset(&s, 0, sizeof s);
    s.dxvk_flag = -1;
    s.server_info.server_status = -1;
    return s;
}

}  // namespace

TEST(HitTest, EveryControlsCornersAndTheCircle)
{
    MainWindowState s = fresh_state();
    s.server_info.items[0].id = 5;
    s.server_info.items[2].id = 9;  // row 1 holds no item
    for (int id = CheckFiles; id <= Settings; id++) {
        if (id == Start || id == News1)
            continue;
        const UiRect *r = control_rect(id);
        SCOPED_TRACE(id);
        EXPECT_EQ(hit_test_control_in(&s, r->left, r->top), id);
        EXPECT_EQ(hit_test_control_in(&s, r->right - 1, r->bottom - 1), id);
        // Right and bottom edges are outside.
        EXPECT_NE(hit_test_control_in(&s, r->right, r->bottom - 1), id);
        EXPECT_NE(hit_test_control_in(&s, r->left, r->bottom), id);
    }
    const struct {
        int x, y, expected;
        const char *why;
    } cases[] = {
        {706, 496, None, "inside the square, outside the circle"},
        {745, 495, Start, "top of the circle"},
        {745, 535, Start, "centre"},
        {784, 535, Start, "right edge of the circle, inside the square"},
        {705, 535, Start, "left edge: distance exactly 40"},
        {785, 535, None, "right of the square"},
        {100, 440, None, "news row 1 without an item"},
        {100, 410, News0, "news row 0 with an item"},
        {400, 200, None, "the background"},
        {-5, -5, None, "outside the window"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(hit_test_control_in(&s, c.x, c.y), c.expected) << c.why;
}

TEST(HitTest, DisabledControlsAreStillHit)
{
    MainWindowState s = fresh_state();  // Idle: START is disabled
    ControlSituation now = {0, 0, 0};
    EXPECT_FALSE(control_enabled_in(&s, &now, Start));
    EXPECT_EQ(hit_test_control_in(&s, 745, 535), Start);
}

TEST(Controls, AvailabilityPerSituation)
{
    enum { CF, CA, ST, CI, MG };
    const struct {
        const char *situation;
        LauncherState state;
        int pass, game, exe, offered;
        int enabled[5];  // CHECK FILES, CANCEL, START, Custom interface, Modern graphics
        int mode, pause;      // of the pass started last
        const char *caption;  // of the round button
    } rows[] = {
        {"check running", Busy, 1, 0, 1, 1, {0, 1, 0, 0, 0}, Verify, PAUSE_NONE, "START"},
        {"update running: PAUSE", Busy, 1, 0, 1, 1, {0, 1, 1, 0, 0}, Update, PAUSE_NONE, "PAUSE"},
        {"update pausing", Busy, 1, 0, 1, 1, {0, 1, 0, 0, 0}, Update, PAUSE_ASKED, "PAUSE"},
        {"update paused: RESUME", UpdateNeeded, 0, 0, 1, 1, {1, 0, 1, 1, 1}, Update, PAUSE_HELD,
         "RESUME"},
        {"up to date, game present", UpToDate, 0, 0, 1, 1, {1, 0, 1, 1, 1}, 0, 0, "START"},
        {"up to date, dv.exe missing", UpToDate, 0, 0, 0, 0, {1, 0, 0, 1, 0}, 0, 0, "START"},
        {"failed, game present", Failed, 0, 0, 1, 0, {1, 0, 1, 1, 0}, 0, 0, "START"},
        {"unreachable, game present", ServerUnreachable, 0, 0, 1, 1, {1, 0, 1, 1, 1}, 0, 0,
         "START"},
        {"update needed", UpdateNeeded, 0, 0, 0, 1, {1, 0, 1, 1, 1}, Update, 0, "UPDATE"},
        {"game running", UpdateNeeded, 0, 1, 1, 1, {0, 0, 0, 0, 0}, 0, 0, "UPDATE"},
        {"idle, first pass did not start", Idle, 0, 0, 1, 0, {1, 0, 0, 1, 0}, 0, 0, "START"},
        {"busy state with no pass", Busy, 0, 0, 1, 0, {1, 0, 0, 1, 0}, 0, 0, "START"},
    };
    const int ids[5] = {CheckFiles, Cancel, Start, CustomInterface, ModernGraphics};
    for (const auto &row : rows) {
        MainWindowState s = fresh_state();
        s.launcher_state = row.state;
        s.vulkan_offered = row.offered;
        s.pass_mode = row.mode;
        s.pause = row.pause;
        ControlSituation now = {row.pass, row.game, row.exe};
        EXPECT_EQ(testing_support::narrow(round_button_caption(&s, &now)), row.caption) << row.situation;
        for (int i = 0; i < 5; i++) {
            EXPECT_EQ(control_enabled_in(&s, &now, ids[i]), row.enabled[i])
                << row.situation << ", control " << ids[i];
            EXPECT_EQ(control_look_in(&s, &now, ids[i]) == Disabled, !row.enabled[i])
                << row.situation << ", control " << ids[i];
        }
        EXPECT_TRUE(control_enabled_in(&s, &now, Minimize));
        EXPECT_TRUE(control_enabled_in(&s, &now, Close));
        EXPECT_TRUE(control_enabled_in(&s, &now, 99));
    }
}

TEST(Controls, NewsRowsNeedAnId)
{
    MainWindowState s = fresh_state();
    ControlSituation now = {0, 0, 0};
    s.server_info.items[1].id = 3;
    EXPECT_FALSE(control_enabled_in(&s, &now, News0));
    EXPECT_TRUE(control_enabled_in(&s, &now, News1));
    s.server_info.items[1].id = -3;
    EXPECT_FALSE(control_enabled_in(&s, &now, News1));
}

TEST(Controls, LookFollowsHoverAndPress)
{
    const struct {
        int hover, pressed, expected;
        const char *why;
    } cases[] = {
        {None, None, Normal, "untouched"},
        {CheckFiles, None, Hover, "pointer over it"},
        {CheckFiles, CheckFiles, Pressed, "held down under the pointer"},
        {None, CheckFiles, Normal, "held down, pointer moved off"},
        {CheckFiles, Cancel, Normal, "another control is held: no hover"},
    };
    ControlSituation now = {0, 0, 0};
    for (const auto &c : cases) {
        MainWindowState s = fresh_state();
        s.hover_control = c.hover;
        s.pressed_control = c.pressed;
        EXPECT_EQ(control_look_in(&s, &now, CheckFiles), c.expected) << c.why;
    }
    MainWindowState s = fresh_state();
    s.hover_control = s.pressed_control = Cancel;
    EXPECT_EQ(control_look_in(&s, &now, Cancel), Disabled) << "disabled wins over pressed";
}

TEST(ProgressBar, FillWidth)
{
    const struct {
        int32_t value;
        int expected;
    } cases[] = {{500, 215}, {0, 0}, {-7, 0}, {1, 0}, {3, 1}, {999, 429}, {1000, 430}, {250000, 430}};
    for (const auto &c : cases)
        EXPECT_EQ(progress_fill_width(430, c.value), c.expected) << c.value;
}

namespace {

// A situation of the window for the focus tables; `news` has bit i set when
// news row i holds an item.
struct FocusSituation {
    LauncherState state;
    int pass, game, exe, offered, news;
};

MainWindowState focus_state(const FocusSituation &f, ControlSituation *now)
{
    MainWindowState s = fresh_state();
    s.launcher_state = f.state;
    s.vulkan_offered = f.offered;
    for (int i = 0; i < NEWS_ITEMS; i++)
        s.server_info.items[i].id = (f.news >> i) & 1 ? 20 + i : 0;
    *now = {f.pass, f.game, f.exe};
    return s;
}

}  // namespace

// From no focus, Tab goes round the enabled controls in order and wraps;
// Shift+Tab goes the same round backwards.
TEST(Focus, TabGoesRoundTheEnabledControls)
{
    const struct {
        const char *situation;
        FocusSituation f;
        int round[9];  // Tab's visits from no focus; the round ends at the first None
    } rows[] = {
        {"update needed, Vulkan offered, three news rows", {UpdateNeeded, 0, 0, 0, 1, 7},
         {Start, CheckFiles, CustomInterface, ModernGraphics, News0, News1, News2, Settings}},
        {"up to date and idle: CANCEL is off", {UpToDate, 0, 0, 1, 0, 0},
         {Start, CheckFiles, CustomInterface, Settings}},
        {"pass running: UPDATE is off, CANCEL on", {UpdateNeeded, 1, 0, 1, 1, 2},
         {Cancel, News1, Settings}},
        {"dv.exe missing, no news rows", {Failed, 0, 0, 0, 1, 0},
         {CheckFiles, CustomInterface, ModernGraphics, Settings}},
        {"game running: a news row and the gear", {UpToDate, 0, 1, 1, 1, 4}, {News2, Settings}},
        {"game running, no news: the gear alone", {UpToDate, 0, 1, 1, 1, 0}, {Settings}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.situation);
        ControlSituation now;
        MainWindowState s = focus_state(row.f, &now);
        int n = 0;
        while (n < 9 && row.round[n] != None)
            n++;
        int forward = None, backward = None;
        // One step more than the round: the last step shows the wrap.
        for (int i = 0; i <= n; i++) {
            forward = next_focus_control_in(&s, &now, forward, 1);
            backward = next_focus_control_in(&s, &now, backward, -1);
            EXPECT_EQ(forward, n ? row.round[i % n] : None) << "Tab " << i + 1;
            EXPECT_EQ(backward, n ? row.round[n - 1 - i % n] : None) << "Shift+Tab " << i + 1;
        }
    }
}

// The focus may sit on a control that has since turned off, or on a number
// outside the order; a step still lands on an enabled control.
TEST(Focus, StepsFromADisabledOrForeignControl)
{
    const FocusSituation busy = {Busy, 1, 0, 1, 1, 1};  // CANCEL and news row 0 are on
    const FocusSituation idle = {UpToDate, 0, 0, 1, 1, 0};
    const struct {
        FocusSituation f;
        int from, step, expected;
        const char *why;
    } cases[] = {
        {busy, CheckFiles, 1, Cancel, "CHECK FILES kept the focus while its pass runs"},
        {busy, CheckFiles, -1, Settings, "backwards past the disabled START, round to the gear"},
        {busy, News1, 1, Settings, "a row whose item has gone"},
        {idle, Minimize, 1, Start, "Minimize is not in the order: Tab starts at the first"},
        {idle, 99, -1, Settings, "an unknown number: Shift+Tab starts at the last"},
    };
    for (const auto &c : cases) {
        ControlSituation now;
        MainWindowState s = focus_state(c.f, &now);
        EXPECT_EQ(next_focus_control_in(&s, &now, c.from, c.step), c.expected) << c.why;
    }
}

// The taskbar button for each moment of a pass, and when its end flashes.
TEST(Taskbar, ButtonPerSituation)
{
    const WindowPresence front = {0, 1, 0}, behind = {0, 0, 0}, minimised = {1, 0, 0},
                         closing = {0, 0, 1};
    const struct {
        const char *situation;
        LauncherState state;
        int pass, pause;
        int32_t total;
        int ended;
        WindowPresence where;
        TaskbarView expected;
    } rows[] = {
        {"update running", Busy, 1, PAUSE_NONE, 420, 0, behind, {TASKBAR_NORMAL, 420, 0}},
        {"pause asked, pass still stopping", Busy, 1, PAUSE_ASKED, 300, 0, front,
         {TASKBAR_PAUSED, 300, 0}},
        {"pause held: RESUME", UpdateNeeded, 0, PAUSE_HELD, 300, 1, front, {TASKBAR_PAUSED, 300, 0}},
        {"failed, the pass's thread still ending", Failed, 1, PAUSE_NONE, 500, 1, behind,
         {TASKBAR_ERROR, 1000, 1}},
        {"pass failed, player elsewhere", Failed, 0, PAUSE_NONE, 120, 1, behind,
         {TASKBAR_ERROR, 1000, 1}},
        {"no mirror answered, minimised", ServerUnreachable, 0, PAUSE_NONE, 0, 1, minimised,
         {TASKBAR_ERROR, 1000, 1}},
        {"up to date, window in front: no flash", UpToDate, 0, PAUSE_NONE, 1000, 1, front,
         {TASKBAR_NONE, 0, 0}},
        {"update needed, minimised", UpdateNeeded, 0, PAUSE_NONE, 0, 1, minimised,
         {TASKBAR_NONE, 0, 1}},
        {"a repaint long after the end does not flash", UpToDate, 0, PAUSE_NONE, 1000, 0, minimised,
         {TASKBAR_NONE, 0, 0}},
        {"closing: the hidden window ends quietly", UpdateNeeded, 0, PAUSE_NONE, 0, 1, closing,
         {TASKBAR_NONE, 0, 0}},
        {"a pause that ended in an up-to-date folder", UpToDate, 0, PAUSE_HELD, 1000, 0, front,
         {TASKBAR_NONE, 0, 0}},
    };
    for (const auto &row : rows) {
        MainWindowState s = fresh_state();
        s.launcher_state = row.state;
        s.pause = row.pause;
        s.total_progress = row.total;
        TaskbarView v = taskbar_view_of(&s, row.pass, row.ended, &row.where);
        EXPECT_EQ(v.progress, row.expected.progress) << row.situation;
        EXPECT_EQ(v.value, row.expected.value) << row.situation;
        EXPECT_EQ(v.flash, row.expected.flash) << row.situation;
    }
}

// What a screen reader is told of each child, per situation: the name as
// drawn, the role, the states that matter and a bar's percentage.
TEST(Accessible, ChildPerSituation)
{
    const uint32_t off = STATE_SYSTEM_UNAVAILABLE, focusable = STATE_SYSTEM_FOCUSABLE,
                   focused = STATE_SYSTEM_FOCUSED, ticked = STATE_SYSTEM_CHECKED;
    const struct {
        const char *situation;
        LauncherState state;
        int pass, mode, pause, window_focused;
        int child;
        const wchar_t *name;
        int role;
        uint32_t state_bits;  // every state bit the child has
        const wchar_t *action, *value;
    } rows[] = {
        {"an update runs: PAUSE, focused", Busy, 1, Update, PAUSE_NONE, 1, Start, L"PAUSE",
         ROLE_SYSTEM_PUSHBUTTON, focusable | focused, L"Press", L""},
        {"pausing: PAUSE off but still focused", Busy, 1, Update, PAUSE_ASKED, 1, Start, L"PAUSE",
         ROLE_SYSTEM_PUSHBUTTON, off | focused, L"Press", L""},
        {"the window lost the keyboard: no focus", UpdateNeeded, 0, Update, PAUSE_HELD, 0, Start,
         L"RESUME", ROLE_SYSTEM_PUSHBUTTON, focusable, L"Press", L""},
        {"idle: CANCEL off", UpToDate, 0, 0, PAUSE_NONE, 1, Cancel, L"CANCEL",
         ROLE_SYSTEM_PUSHBUTTON, off, L"Press", L""},
        {"close glyph: never off, not in Tab's order", UpToDate, 0, 0, PAUSE_NONE, 1, Close,
         L"Close", ROLE_SYSTEM_PUSHBUTTON, 0, L"Press", L""},
        {"ticked box", UpToDate, 0, 0, PAUSE_NONE, 1, CustomInterface, L"Custom interface",
         ROLE_SYSTEM_CHECKBUTTON, focusable | ticked, L"Uncheck", L""},
        {"Vulkan not offered", UpToDate, 0, 0, PAUSE_NONE, 1, ModernGraphics,
         L"Modern graphics (Vulkan)", ROLE_SYSTEM_CHECKBUTTON, off, L"Check", L""},
        {"news row with an item", UpToDate, 0, 0, PAUSE_NONE, 1, News0, L"30 Nov Patch notes",
         ROLE_SYSTEM_LINK, focusable | STATE_SYSTEM_LINKED, L"Jump", L""},
        {"news row past the feed", UpToDate, 0, 0, PAUSE_NONE, 1, News1, L"", ROLE_SYSTEM_LINK,
         STATE_SYSTEM_INVISIBLE | off, nullptr, L""},
        {"gear", UpToDate, 0, 0, PAUSE_NONE, 1, Settings, L"Download limit",
         ROLE_SYSTEM_BUTTONMENU, focusable | STATE_SYSTEM_HASPOPUP, L"Open", L""},
        {"file bar: thousandths to whole percents", Busy, 1, Update, PAUSE_NONE, 1, ACC_FILE_BAR,
         L"File Progress", ROLE_SYSTEM_PROGRESSBAR, STATE_SYSTEM_READONLY, nullptr, L"9%"},
        {"total bar past its end", Busy, 1, Update, PAUSE_NONE, 1, ACC_TOTAL_BAR,
         L"Total Progress", ROLE_SYSTEM_PROGRESSBAR, STATE_SYSTEM_READONLY, nullptr, L"100%"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.situation);
        MainWindowState s = fresh_state();
        s.launcher_state = row.state;
        s.pass_mode = row.mode;
        s.pause = row.pause;
        s.interface_flag = 1;
        s.focus_control = Start;
        s.file_progress = 99;
        s.total_progress = 1700;
        s.server_info.item_count = 1;
        s.server_info.items[0].id = 41;
        lstrcpyW(s.server_info.items[0].date, L"30 Nov");
        lstrcpyW(s.server_info.items[0].title, L"Patch notes");
        ControlSituation now = {row.pass, 0, 1};
        AccessibleChild c;
        ASSERT_TRUE(accessible_child_in(&s, &now, row.child, row.window_focused, &c));
        EXPECT_EQ(std::wstring(c.name), row.name);
        EXPECT_EQ(c.role, row.role);
        EXPECT_EQ(c.state, row.state_bits) << std::hex << c.state;
        EXPECT_EQ(std::wstring(c.action ? c.action : L"-"), row.action ? row.action : L"-");
        EXPECT_EQ(std::wstring(c.value), row.value);
    }
    MainWindowState s = fresh_state();
    ControlSituation now = {0, 0, 0};
    AccessibleChild c;
    EXPECT_FALSE(accessible_child_in(&s, &now, 0, 1, &c)) << "the window itself is not a child";
    EXPECT_FALSE(accessible_child_in(&s, &now, ACC_CHILD_COUNT + 1, 1, &c));
}

// Scaling from 96 per inch: lengths round to the nearest pixel, and at every
// density a point of a control's scaled place hits that control.
TEST(Dpi, LayoutAndHitsScaleTogether)
{
    const struct {
        int v, dpi, expected;
        const char *why;
    } lengths[] = {
        {816, 96, 816, "96 leaves lengths alone"},   {604, 0, 604, "0 counts as 96"},
        {816, 120, 1020, "125%"},                     {604, 144, 906, "150%"},
        {587, 120, 734, "733.75 rounds up"},          {509, 120, 636, "636.25 rounds down"},
        {509, 144, 764, "763.5: a half rounds away"}, {-5, 120, -6, "negative halves too"},
        {1, 144, 2, "a pixel line stays visible"},    {1, 120, 1, "1.25 is one pixel"},
    };
    for (const auto &l : lengths)
        EXPECT_EQ(scale_px(l.v, l.dpi), l.expected) << l.why;

    for (int dpi : {96, 120, 144, 192}) {
        SCOPED_TRACE(dpi);
        MainWindowState s = fresh_state();
        s.dpi = dpi;
        for (int i = 0; i < NEWS_ITEMS; i++)
            s.server_info.items[i].id = 30 + i;
        for (int id = CheckFiles; id <= Settings; id++) {
            UiRect r = scale_rect(control_rect(id), dpi);
            EXPECT_EQ(hit_test_control_in(&s, (r.left + r.right) / 2, (r.top + r.bottom) / 2), id)
                << "centre of control " << id;
            if (id == Start)
                continue;
            EXPECT_EQ(hit_test_control_in(&s, r.left, r.top), id) << "top left of " << id;
            EXPECT_NE(hit_test_control_in(&s, r.right, r.bottom - 1), id) << "right edge of " << id;
        }
        // The round button's square corner is off its scaled circle; its top is on.
        EXPECT_EQ(hit_test_control_in(&s, scale_px(706, dpi), scale_px(496, dpi)), None);
        EXPECT_EQ(hit_test_control_in(&s, scale_px(745, dpi), scale_px(496, dpi)), Start);
        // An unscaled place of a control is elsewhere at a higher density.
        if (dpi >= 144) {
            EXPECT_EQ(hit_test_control_in(&s, 600, 515), None) << "CHECK FILES at 96";
        }
    }
}

namespace {

// A system whose every colour says its own COLOR_* index.
COLORREF indexed_colour(int index)
{
    return RGB(index, 100, 200);
}

}  // namespace

// In high contrast every colour of the window is one of the system's, each
// in the role the system gives it.
TEST(HighContrast, EveryColourIsTheSystemsInItsRole)
{
    Palette p = window_palette(1, indexed_colour);
    EXPECT_EQ(p.plain, 1);
    const struct {
        COLORREF got;
        int index;
        const char *role;
    } roles[] = {
        {p.background, COLOR_WINDOW, "background"},      {p.label, COLOR_WINDOWTEXT, "labels"},
        {p.disabled, COLOR_GRAYTEXT, "off"},
        {p.file_fill, COLOR_HIGHLIGHT, "a bar"},         {p.bar_trough, COLOR_WINDOW, "trough"},
        {p.button_face, COLOR_BTNFACE, "button face"},   {p.button_text, COLOR_BTNTEXT, "caption"},
        {p.button_hover_face, COLOR_HIGHLIGHT, "hover"}, {p.button_hover_text, COLOR_HIGHLIGHTTEXT, "on it"},
        {p.news_title, COLOR_HOTLIGHT, "a link"},        {p.focus, COLOR_WINDOWTEXT, "focus mark"},
    };
    for (const auto &r : roles)
        EXPECT_EQ(r.got, indexed_colour(r.index)) << r.role;
    const COLORREF all[] = {p.background, p.label, p.status, p.detail, p.version, p.disabled,
                            p.hover, p.button_text, p.button_hover_text, p.button_face,
                            p.button_border, p.button_hover_face, p.round_text, p.round_hover,
                            p.bar_frame, p.bar_trough, p.file_fill, p.total_fill, p.glyph,
                            p.box_fill, p.focus, p.news_date, p.news_date_lit, p.news_title,
                            p.news_title_lit};
    for (COLORREF c : all)
        EXPECT_EQ(GetGValue(c) * 1000 + GetBValue(c), 100 * 1000 + 200) << "not a system colour";
    EXPECT_EQ(window_palette(0, indexed_colour).plain, 0);
}
