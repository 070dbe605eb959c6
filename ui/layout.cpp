// Where the controls are and what they may do: decisions from the window
// state alone, without platform calls, so that painting, input and commands
// share one answer and tests can table every situation.
#include "ui/window_internal.h"

namespace {

const UiRect k_controls[] = {
    {587, 509, 682, 529},  // CheckFiles
    {587, 538, 682, 558},  // Cancel
    {705, 495, 785, 575},  // Start; its hit area is also cut to the circle
    {758, 18, 772, 32},    // Minimize
    {782, 18, 796, 32},    // Close
    {48, 545, 200, 559},   // CustomInterface
    {48, 561, 228, 575},   // ModernGraphics
    {30, 404, 785, 428},   // News0
    {30, 430, 785, 454},   // News1
    {30, 456, 785, 480},   // News2
    {734, 18, 748, 32},    // Settings
};
static_assert(sizeof k_controls / sizeof k_controls[0] == Settings, "one rectangle per control");

const int k_start_centre_x = 745, k_start_centre_y = 535, k_start_radius = 40;

// The order in which Tab visits the controls: the main action first, then as
// the eye reads the lower band, then the news rows above it.
const int k_focus_order[] = {Start,          CheckFiles, Cancel, CustomInterface,
                             ModernGraphics, News0,      News1,  News2, Settings};
const int k_focus_count = (int)(sizeof k_focus_order / sizeof k_focus_order[0]);

int focus_index(int id)
{
    for (int i = 0; i < k_focus_count; i++)
        if (k_focus_order[i] == id)
            return i;
    return -1;
}

bool inside(const UiRect *r, int x, int y)
{
    return r->left <= x && x < r->right && r->top <= y && y < r->bottom;
}

// Whether client point (x, y) of a window at `dpi` lies on control `id`'s
// scaled rectangle.
bool on_control(int id, int dpi, int x, int y)
{
    UiRect r = scale_rect(control_rect(id), dpi);
    return inside(&r, x, y);
}

}  // namespace

int scale_px(int v, int dpi)
{
    if (dpi <= 0 || dpi == 96)
        return v;
    int64_t scaled = (int64_t)(v < 0 ? -v : v) * dpi;
    int r = (int)((scaled + 48) / 96);
    return v < 0 ? -r : r;
}

UiRect scale_rect(const UiRect *r, int dpi)
{
    return {scale_px(r->left, dpi), scale_px(r->top, dpi), scale_px(r->right, dpi),
            scale_px(r->bottom, dpi)};
}

const UiRect *control_rect(int id)
{
    if (id < CheckFiles || id > Settings)
        return nullptr;
    return &k_controls[id - 1];
}

int hit_test_control_in(const MainWindowState *s, int x, int y)
{
    static const int k_plain[] = {Close, Minimize, Settings, CheckFiles, Cancel, CustomInterface,
                                  ModernGraphics};
    int dpi = s->dpi;
    for (int id : k_plain)
        if (on_control(id, dpi, x, y))
            return id;
    // Unused items are zero-filled, so their id alone keeps them out.
    for (int i = 0; i < NEWS_ITEMS; i++)
        if (s->server_info.items[i].id > 0 && on_control(News0 + i, dpi, x, y))
            return News0 + i;
    if (on_control(Start, dpi, x, y)) {
        int dx = x - scale_px(k_start_centre_x, dpi), dy = y - scale_px(k_start_centre_y, dpi);
        int radius = scale_px(k_start_radius, dpi);
        if (dx * dx + dy * dy <= radius * radius)
            return Start;
    }
    return None;
}

int control_in_focus_order(int id)
{
    return focus_index(id) >= 0;
}

int next_focus_control_in(const MainWindowState *s, const ControlSituation *now, int from,
                          int step)
{
    step = step < 0 ? -1 : 1;
    int at = focus_index(from);
    // Outside the order: start one place before the first (or after the last).
    if (at < 0)
        at = step > 0 ? -1 : k_focus_count;
    for (int k = 1; k <= k_focus_count; k++) {
        int i = ((at + step * k) % k_focus_count + k_focus_count) % k_focus_count;
        if (control_enabled_in(s, now, k_focus_order[i]))
            return k_focus_order[i];
    }
    return None;
}

int progress_fill_width(int width, int32_t value)
{
    if (value <= 0 || width <= 0)
        return 0;
    if (value > 1000)
        value = 1000;
    return (int)((int64_t)width * value / 1000);
}

int control_enabled_in(const MainWindowState *s, const ControlSituation *now, int id)
{
    bool idle_hands = !now->pass_running && !now->game_running;
    switch (id) {
    case CheckFiles:
    case CustomInterface:
        return idle_hands;
    case Cancel:
        return now->pass_running != 0;
    case Start:
        // The update in progress is paused with it; nothing else stops.
        if (now->pass_running)
            return !now->game_running && s->pass_mode == Update && s->pause == PAUSE_NONE;
        if (!idle_hands)
            return 0;
        if (s->launcher_state == UpdateNeeded)
            return 1;
        return (s->launcher_state == UpToDate || s->launcher_state == Failed ||
                s->launcher_state == ServerUnreachable) &&
               now->game_exe_present;
    case ModernGraphics:
        return idle_hands && s->vulkan_offered;
    case News0:
    case News1:
    case News2:
        return s->server_info.items[id - News0].id > 0;
    default:  // Minimize, Close, None and any other number
        return 1;
    }
}

const wchar_t *round_button_caption(const MainWindowState *s, const ControlSituation *now)
{
    if (now->pass_running && s->pass_mode == Update)
        return L"PAUSE";
    if (s->launcher_state != UpdateNeeded)
        return L"START";
    return s->pause == PAUSE_HELD ? L"RESUME" : L"UPDATE";
}

int control_look_in(const MainWindowState *s, const ControlSituation *now, int id)
{
    if (!control_enabled_in(s, now, id))
        return Disabled;
    if (s->hover_control != id)
        return Normal;
    if (s->pressed_control == id)
        return Pressed;
    if (s->pressed_control == None)
        return Hover;
    return Normal;
}
