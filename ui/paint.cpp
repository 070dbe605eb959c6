// Drawing the main window. Every paint composes the whole window in a back
// buffer and copies it in one block, so nothing flickers; the background is
// never erased. Pens, brushes and memory DCs live only inside one paint.
#include "ui/window_internal.h"

#include "base/base.h"

const UiRect STATUS_TEXT_RECT = {135, 496, 565, 512};
const UiRect FILE_BAR_RECT = {135, 517, 565, 523};
const UiRect TOTAL_BAR_RECT = {135, 532, 565, 538};
const UiRect DETAIL_TEXT_RECT = {230, 545, 565, 559};

namespace {

const COLORREF k_label = RGB(200, 212, 234);
const COLORREF k_hover_gold = RGB(255, 236, 180);
const COLORREF k_disabled = RGB(110, 118, 140);

const UiRect k_server_dot = {24, 23, 33, 32};
const UiRect k_server_text = {38, 20, 320, 34};
const UiRect k_version_text = {536, 18, 724, 32};
const UiRect k_file_label = {48, 511, 134, 525};
const UiRect k_total_label = {48, 526, 134, 540};

COLORREF look_colour(int look, COLORREF hover, COLORREF normal)
{
    return look == Hover ? hover : look == Disabled ? k_disabled : normal;
}

// A pen and a brush selected for one shape; restored and deleted on scope end.
struct Tools {
    HDC dc;
    HGDIOBJ old_pen = nullptr, old_brush = nullptr;
    HPEN pen = nullptr;
    HBRUSH brush = nullptr;

    Tools(HDC dc_, HPEN pen_, HBRUSH brush_) : dc(dc_), pen(pen_), brush(brush_)
    {
        old_pen = SelectObject(dc, pen ? (HGDIOBJ)pen : GetStockObject(NULL_PEN));
        old_brush = SelectObject(dc, brush ? (HGDIOBJ)brush : GetStockObject(NULL_BRUSH));
    }
    ~Tools()
    {
        SelectObject(dc, old_pen);
        SelectObject(dc, old_brush);
        if (pen)
            DeleteObject(pen);
        if (brush)
            DeleteObject(brush);
    }
};

void line(HDC dc, int x0, int y0, int x1, int y1)
{
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

void draw_circular_button(HDC dc, HDC sprites)
{
    const UiRect *r = control_rect(Start);
    int look = control_look(Start);
    HGDIOBJ old = SelectObject(sprites, g_art.circle);
    BitBlt(dc, r->left, r->top, 80, 80, sprites, 0, 80 * look, SRCCOPY);
    SelectObject(sprites, old);
    const wchar_t *caption = round_caption();
    draw_label(dc, r, caption, g_art.start, look_colour(look, RGB(255, 240, 200), RGB(240, 232, 200)),
               ALIGN_CENTRE);
}

void draw_server_status(HDC dc)
{
    int status = g_main_window.server_info.server_status;
    COLORREF dot = status == 1 ? RGB(70, 200, 90) : status == 0 ? RGB(200, 70, 70) : k_disabled;
    {
        Tools t(dc, nullptr, CreateSolidBrush(dot));
        Ellipse(dc, k_server_dot.left, k_server_dot.top, k_server_dot.right, k_server_dot.bottom);
    }
    const wchar_t *text = status == 1   ? L"Server online"
                          : status == 0 ? L"Server offline"
                                        : L"Server status unknown";
    draw_label(dc, &k_server_text, text, g_art.body, k_label, ALIGN_LEFT);
}

// Text with a black shadow one pixel down and right.
void draw_shadowed(HDC dc, UiRect r, const wchar_t *text, HFONT font, COLORREF colour, UINT align)
{
    UiRect shadow = {r.left + 1, r.top + 1, r.right + 1, r.bottom + 1};
    draw_label(dc, &shadow, text, font, RGB(0, 0, 0), align);
    draw_label(dc, &r, text, font, colour, align);
}

void draw_news(HDC dc)
{
    const ServerInfo *info = &g_main_window.server_info;
    for (int i = 0; i < info->item_count && i < NEWS_ITEMS; i++) {
        const UiRect *row = control_rect(News0 + i);
        bool lit = g_main_window.hover_control == News0 + i;
        const NewsItem *item = &info->items[i];
        draw_shadowed(dc, {row->left, row->top, row->left + 60, row->bottom}, item->date,
                      g_art.small_bold, lit ? RGB(255, 220, 120) : RGB(201, 164, 74), ALIGN_LEFT);
        draw_shadowed(dc, {row->left + 66, row->top, row->right, row->bottom}, item->title,
                      g_art.body, lit ? RGB(255, 250, 230) : RGB(222, 226, 236),
                      ALIGN_LEFT | DT_END_ELLIPSIS);
    }
}

// Every other pixel of a one-pixel frame just outside the control, in the
// hover gold: the window's own colour on any part of the picture, where
// DrawFocusRect's inverted dots would change with what lies underneath.
void draw_focus_mark(HDC dc, const UiRect *r)
{
    LOGBRUSH colour = {BS_SOLID, k_hover_gold, 0};
    Tools t(dc, ExtCreatePen(PS_COSMETIC | PS_ALTERNATE, 1, &colour, 0, nullptr), nullptr);
    Rectangle(dc, r->left - 1, r->top - 1, r->right + 1, r->bottom + 1);
}

}  // namespace

void draw_label(HDC dc, const UiRect *r, const wchar_t *text, HFONT font, COLORREF colour,
                UINT align)
{
    HGDIOBJ old = SelectObject(dc, font);
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    RECT rect = {r->left, r->top, r->right, r->bottom};
    // DT_PATH_ELLIPSIS and DT_END_ELLIPSIS shorten what is drawn; without
    // DT_MODIFYSTRING the caller's text stays as it is.
    DrawTextW(dc, text, -1, &rect, align | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
}

void draw_progress_bar(HDC dc, const UiRect *r, int32_t value, COLORREF colour)
{
    {
        Tools t(dc, CreatePen(PS_SOLID, 1, RGB(42, 58, 92)), CreateSolidBrush(RGB(6, 10, 22)));
        Rectangle(dc, r->left - 1, r->top - 1, r->right + 1, r->bottom + 1);
    }
    int width = progress_fill_width(r->right - r->left, value);
    if (width <= 0)
        return;
    HBRUSH fill = CreateSolidBrush(colour);
    RECT rect = {r->left, r->top, r->left + width, r->bottom};
    FillRect(dc, &rect, fill);
    DeleteObject(fill);
}

void draw_sprite_button(HDC dc, HDC sprites, const UiRect *r, int id, const wchar_t *caption)
{
    int look = control_look(id);
    HGDIOBJ old = SelectObject(sprites, g_art.button);
    BitBlt(dc, r->left, r->top, 95, 20, sprites, 0, 20 * look, SRCCOPY);
    SelectObject(sprites, old);
    draw_label(dc, r, caption, g_art.small_bold, look_colour(look, k_hover_gold, RGB(222, 214, 180)),
               ALIGN_CENTRE);
}

void draw_caption_glyph(HDC dc, const UiRect *r, int id)
{
    COLORREF colour = control_look(id) == Hover ? k_hover_gold : RGB(190, 180, 150);
    Tools t(dc, CreatePen(PS_SOLID, 2, colour), nullptr);
    if (id == Close) {
        line(dc, r->left + 3, r->top + 3, r->right - 3, r->bottom - 3);
        line(dc, r->right - 3, r->top + 3, r->left + 3, r->bottom - 3);
    } else if (id == Settings) {
        // A gear: a ring and six teeth.
        int cx = (r->left + r->right) / 2, cy = (r->top + r->bottom) / 2;
        static const int k_teeth[6][4] = {{0, -7, 0, -4}, {6, -4, 3, -2}, {6, 4, 3, 2},
                                          {0, 7, 0, 4},   {-6, 4, -3, 2}, {-6, -4, -3, -2}};
        for (const auto &t : k_teeth)
            line(dc, cx + t[0], cy + t[1], cx + t[2], cy + t[3]);
        HGDIOBJ old = SelectObject(dc, GetStockObject(NULL_BRUSH));
        Ellipse(dc, cx - 4, cy - 4, cx + 5, cy + 5);
        SelectObject(dc, old);
    } else {
        line(dc, r->left + 3, r->bottom - 4, r->right - 3, r->bottom - 4);
    }
}

void draw_check_box(HDC dc, const UiRect *r, int id, int ticked, const wchar_t *label)
{
    COLORREF colour = look_colour(control_look(id), k_hover_gold, k_label);
    {
        Tools t(dc, CreatePen(PS_SOLID, 1, colour), CreateSolidBrush(RGB(6, 10, 22)));
        Rectangle(dc, r->left, r->top + 1, r->left + 12, r->top + 13);
    }
    if (ticked) {
        Tools t(dc, CreatePen(PS_SOLID, 2, colour), nullptr);
        MoveToEx(dc, r->left + 2, r->top + 7, nullptr);
        LineTo(dc, r->left + 5, r->top + 10);
        LineTo(dc, r->left + 10, r->top + 3);
    }
    UiRect text = {r->left + 17, r->top, r->right, r->bottom};
    draw_label(dc, &text, label, g_art.body, colour, ALIGN_LEFT);
}

void main_window_paint(void *window_dc)
{
    HDC dc = (HDC)window_dc;
    const MainWindowState *s = &g_main_window;
    HDC back = CreateCompatibleDC(dc);
    HDC sprites = CreateCompatibleDC(dc);
    HBITMAP back_bitmap = CreateCompatibleBitmap(dc, WINDOW_WIDTH, WINDOW_HEIGHT);
    HGDIOBJ old_back = nullptr, old_sprite = nullptr;
    if (!back || !sprites || !back_bitmap)
        goto cleanup;
    old_back = SelectObject(back, back_bitmap);

    old_sprite = SelectObject(sprites, g_art.background);
    BitBlt(back, 0, 0, WINDOW_WIDTH, WINDOW_HEIGHT, sprites, 0, 0, SRCCOPY);
    SelectObject(sprites, old_sprite);

    draw_label(back, &k_file_label, L"File Progress:", g_art.body, k_label, ALIGN_LEFT);
    draw_label(back, &k_total_label, L"Total Progress:", g_art.body, k_label, ALIGN_LEFT);
    draw_label(back, &STATUS_TEXT_RECT, s->status_text, g_art.body, RGB(232, 224, 192),
               ALIGN_LEFT | DT_PATH_ELLIPSIS);
    draw_progress_bar(back, &FILE_BAR_RECT, s->file_progress, RGB(58, 106, 216));
    draw_progress_bar(back, &TOTAL_BAR_RECT, s->total_progress, RGB(192, 58, 58));
    draw_sprite_button(back, sprites, control_rect(CheckFiles), CheckFiles, L"CHECK FILES");
    draw_sprite_button(back, sprites, control_rect(Cancel), Cancel, L"CANCEL");
    draw_circular_button(back, sprites);
    draw_caption_glyph(back, control_rect(Minimize), Minimize);
    draw_caption_glyph(back, control_rect(Close), Close);
    draw_caption_glyph(back, control_rect(Settings), Settings);
    draw_check_box(back, control_rect(CustomInterface), CustomInterface, s->interface_flag != 0,
                   L"Custom interface");
    draw_check_box(back, control_rect(ModernGraphics), ModernGraphics, s->dxvk_flag == 1,
                   L"Modern graphics (Vulkan)");
    {
        wchar_t version[128];
        format_wide(version, 128, L"Launcher %S", LAUNCHER_VERSION);
        draw_label(back, &k_version_text, version, g_art.body, RGB(120, 132, 160), ALIGN_RIGHT);
    }
    draw_label(back, &DETAIL_TEXT_RECT, s->detail_text, g_art.body, RGB(170, 182, 210), ALIGN_RIGHT);
    draw_server_status(back);
    draw_news(back);
    // A focused control that cannot take a press (CHECK FILES during its own
    // pass, a news row whose item has gone) shows no mark until it can.
    if (s->focus_cues && s->focus_control != None && control_enabled(s->focus_control))
        draw_focus_mark(back, control_rect(s->focus_control));

    BitBlt(dc, 0, 0, WINDOW_WIDTH, WINDOW_HEIGHT, back, 0, 0, SRCCOPY);

cleanup:
    if (old_back)
        SelectObject(back, old_back);
    if (back_bitmap)
        DeleteObject(back_bitmap);
    if (sprites)
        DeleteDC(sprites);
    if (back)
        DeleteDC(back);
}
