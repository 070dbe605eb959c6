// What a screen reader is told of each part of the window: a decision from
// the window state alone, like enablement and looks, so that the readers'
// view and the painted one come from the same rules and tests can table it.
#include "ui/window_internal.h"

#include <oleacc.h>

namespace {

void copy_text(wchar_t *dst, int cap_chars, const wchar_t *src)
{
    int i = 0;
    for (; i + 1 < cap_chars && src[i]; i++)
        dst[i] = src[i];
    dst[i] = 0;
}

// "date  title" of a news row, cut to the name's capacity.
void news_name(wchar_t *dst, int cap_chars, const NewsItem *item)
{
    copy_text(dst, cap_chars, item->date);
    int n = 0;
    while (dst[n])
        n++;
    if (n && n + 1 < cap_chars)
        dst[n++] = L' ';
    copy_text(dst + n, cap_chars - n, item->title);
}

void percent(wchar_t *dst, int32_t thousandths)
{
    int p = thousandths <= 0 ? 0 : thousandths >= 1000 ? 100 : (int)(thousandths / 10);
    int n = 0;
    if (p >= 100)
        dst[n++] = L'1';
    if (p >= 10)
        dst[n++] = (wchar_t)(L'0' + p / 10 % 10);
    dst[n++] = (wchar_t)(L'0' + p % 10);
    dst[n++] = L'%';
    dst[n] = 0;
}

}  // namespace

int accessible_child_rect(int child, UiRect *out)
{
    switch (child) {
    case ACC_STATUS_LINE:
        *out = STATUS_TEXT_RECT;
        return 1;
    case ACC_FILE_BAR:
        *out = FILE_BAR_RECT;
        return 1;
    case ACC_TOTAL_BAR:
        *out = TOTAL_BAR_RECT;
        return 1;
    case ACC_DETAIL_LINE:
        *out = DETAIL_TEXT_RECT;
        return 1;
    }
    const UiRect *r = control_rect(child);
    if (!r)
        return 0;
    *out = *r;
    return 1;
}

int accessible_child_in(const MainWindowState *s, const ControlSituation *now, int child,
                        int window_focused, AccessibleChild *out)
{
    out->name[0] = 0;
    out->value[0] = 0;
    out->action = nullptr;
    out->state = 0;
    out->role = ROLE_SYSTEM_PUSHBUTTON;
    const int cap = STATUS_TEXT_CHARS;
    switch (child) {
    case CheckFiles:
        copy_text(out->name, cap, L"CHECK FILES");
        break;
    case Cancel:
        copy_text(out->name, cap, L"CANCEL");
        break;
    case Start:
        copy_text(out->name, cap, round_button_caption(s, now));
        break;
    case Minimize:
        copy_text(out->name, cap, L"Minimize");
        break;
    case Close:
        copy_text(out->name, cap, L"Close");
        break;
    case Settings:
        copy_text(out->name, cap, L"Download limit");
        out->role = ROLE_SYSTEM_BUTTONMENU;
        out->state |= STATE_SYSTEM_HASPOPUP;
        break;
    case CustomInterface:
    case ModernGraphics: {
        bool ticked = child == CustomInterface ? s->interface_flag != 0 : s->dxvk_flag == 1;
        copy_text(out->name, cap,
                  child == CustomInterface ? L"Custom interface" : L"Modern graphics (Vulkan)");
        out->role = ROLE_SYSTEM_CHECKBUTTON;
        out->state |= ticked ? STATE_SYSTEM_CHECKED : 0;
        out->action = ticked ? L"Uncheck" : L"Check";
        break;
    }
    case News0:
    case News1:
    case News2: {
        int i = child - News0;
        out->role = ROLE_SYSTEM_LINK;
        // Rows past the feed's items are not drawn: nothing to read there.
        if (i >= s->server_info.item_count || s->server_info.items[i].id <= 0) {
            out->state = STATE_SYSTEM_INVISIBLE | STATE_SYSTEM_UNAVAILABLE;
            return 1;
        }
        news_name(out->name, cap, &s->server_info.items[i]);
        out->state |= STATE_SYSTEM_LINKED;
        out->action = L"Jump";
        break;
    }
    case ACC_STATUS_LINE:
    case ACC_DETAIL_LINE:
        copy_text(out->name, cap, child == ACC_STATUS_LINE ? s->status_text : s->detail_text);
        out->role = ROLE_SYSTEM_STATICTEXT;
        out->state = STATE_SYSTEM_READONLY;
        return 1;
    case ACC_FILE_BAR:
    case ACC_TOTAL_BAR:
        copy_text(out->name, cap, child == ACC_FILE_BAR ? L"File Progress" : L"Total Progress");
        out->role = ROLE_SYSTEM_PROGRESSBAR;
        out->state = STATE_SYSTEM_READONLY;
        percent(out->value, child == ACC_FILE_BAR ? s->file_progress : s->total_progress);
        return 1;
    default:
        return 0;
    }
    if (out->role == ROLE_SYSTEM_PUSHBUTTON)
        out->action = L"Press";
    else if (out->role == ROLE_SYSTEM_BUTTONMENU)
        out->action = L"Open";
    int look = control_look_in(s, now, child);
    if (look == Disabled) {
        out->state |= STATE_SYSTEM_UNAVAILABLE;
    } else {
        if (control_in_focus_order(child))
            out->state |= STATE_SYSTEM_FOCUSABLE;
        if (look == Pressed)
            out->state |= STATE_SYSTEM_PRESSED;
        else if (look == Hover)
            out->state |= STATE_SYSTEM_HOTTRACKED;
    }
    // The keyboard's focus as it is, also on a control that turned off
    // under it: the reader then says why a press does nothing.
    if (window_focused && s->focus_control == child)
        out->state |= STATE_SYSTEM_FOCUSED;
    return 1;
}
