// The window's decisions as tables: which control a point hits, and when a
// control is enabled and how it looks, for every situation a player meets.
#include "ui/window_internal.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <string.h>

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
