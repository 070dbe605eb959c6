// The window's decisions as tables: which control a point hits, and when a
// control is enabled and how it looks, for every situation a player meets.
#include "ui/ui.h"

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
    for (int id = CheckFiles; id <= News2; id++) {
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
        int state, pass, game, exe, offered;
        int enabled[5];  // CHECK FILES, CANCEL, START, Custom interface, Modern graphics
    } rows[] = {
        {"pass running", Busy, 1, 0, 1, 1, {0, 1, 0, 0, 0}},
        {"up to date, game present", UpToDate, 0, 0, 1, 1, {1, 0, 1, 1, 1}},
        {"up to date, dv.exe missing", UpToDate, 0, 0, 0, 0, {1, 0, 0, 1, 0}},
        {"failed, game present", Failed, 0, 0, 1, 0, {1, 0, 1, 1, 0}},
        {"unreachable, game present", ServerUnreachable, 0, 0, 1, 1, {1, 0, 1, 1, 1}},
        {"update needed", UpdateNeeded, 0, 0, 0, 1, {1, 0, 1, 1, 1}},
        {"game running", UpdateNeeded, 0, 1, 1, 1, {0, 0, 0, 0, 0}},
        {"idle, first pass did not start", Idle, 0, 0, 1, 0, {1, 0, 0, 1, 0}},
        {"busy state with no pass", Busy, 0, 0, 1, 0, {1, 0, 0, 1, 0}},
    };
    const int ids[5] = {CheckFiles, Cancel, Start, CustomInterface, ModernGraphics};
    for (const auto &row : rows) {
        MainWindowState s = fresh_state();
        s.launcher_state = row.state;
        s.vulkan_offered = row.offered;
        ControlSituation now = {row.pass, row.game, row.exe};
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
