// Drawing the main window. Every paint composes the whole window in a back
// buffer and copies it in one block, so nothing flickers; the background is
// never erased. Pens, brushes and memory DCs live only inside one paint.
// Places are given at 96 per inch and scaled to the window's density where
// they are drawn (px, at); at 96 every call is the unscaled one.
#include "ui/window_internal.h"

#include "base/base.h"

const UiRect STATUS_TEXT_RECT = {135, 496, 565, 512};
const UiRect FILE_BAR_RECT = {135, 517, 565, 523};
const UiRect TOTAL_BAR_RECT = {135, 532, 565, 538};
const UiRect DETAIL_TEXT_RECT = {230, 545, 565, 559};

namespace {


const UiRect k_server_dot = {24, 23, 33, 32};
const UiRect k_server_text = {38, 20, 320, 34};
const UiRect k_version_text = {536, 18, 724, 32};
const UiRect k_file_label = {48, 511, 134, 525};
const UiRect k_total_label = {48, 526, 134, 540};

// The art and the colours of the paint under way.
const ShownArt *g_paint_art;
Palette g_pal;

int px(int v)
{
    return scale_px(v, g_main_window.dpi);
}

RECT at(const UiRect *r)
{
    UiRect s = scale_rect(r, g_main_window.dpi);
    return {s.left, s.top, s.right, s.bottom};
}

// A solid pen `width` pixels at 96 wide; wider than one, inside the shape's
// bounds, so that a scaled frame grows inwards as the unscaled one lies.
HPEN scaled_pen(int width, COLORREF colour)
{
    int w = px(width);
    return CreatePen(w > width ? PS_INSIDEFRAME : PS_SOLID, w, colour);
}

COLORREF look_colour(int look, COLORREF hover, COLORREF normal)
{
    return look == Hover ? hover : look == Disabled ? g_pal.disabled : normal;
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

COLORREF system_colour(int index)
{
    return GetSysColor(index);
}

void fill(HDC dc, const RECT *r, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, r, brush);
    DeleteObject(brush);
}

// A button's face in high contrast: the system's button face in a frame of
// its text colour (the highlight under the pointer, a thicker frame while
// held, grey when off); round for the round button.
void flat_face(HDC dc, const RECT *r, int look, bool round)
{
    COLORREF face = look == Hover ? g_pal.button_hover_face : g_pal.button_face;
    COLORREF border = look == Disabled ? g_pal.disabled : g_pal.button_border;
    Tools t(dc, scaled_pen(look == Pressed ? 2 : 1, border), CreateSolidBrush(face));
    if (round)
        Ellipse(dc, r->left, r->top, r->right, r->bottom);
    else
        Rectangle(dc, r->left, r->top, r->right, r->bottom);
}

void line(HDC dc, int x0, int y0, int x1, int y1)
{
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

void draw_circular_button(HDC dc, HDC sprites)
{
    const UiRect *r = control_rect(Start);
    RECT c = at(r);
    const ShownArt *art = g_paint_art;
    int look = control_look(Start);
    if (g_pal.plain) {
        flat_face(dc, &c, look, true);
    } else {
        HGDIOBJ old = SelectObject(sprites, art->art.circle);
        BitBlt(dc, c.left, c.top, art->circle_w, art->circle_h, sprites, 0, art->circle_h * look,
               SRCCOPY);
        SelectObject(sprites, old);
    }
    const wchar_t *caption = round_caption();
    draw_label(dc, r, caption, art->art.start, look_colour(look, g_pal.round_hover, g_pal.round_text),
               ALIGN_CENTRE);
}

void draw_server_status(HDC dc)
{
    int status = g_main_window.server_info.server_status;
    // The dot only repeats the text beside it: its colours stay in high contrast.
    COLORREF dot = status == 1 ? RGB(70, 200, 90) : status == 0 ? RGB(200, 70, 70) : RGB(110, 118, 140);
    {
        Tools t(dc, nullptr, CreateSolidBrush(dot));
        RECT r = at(&k_server_dot);
        Ellipse(dc, r.left, r.top, r.right, r.bottom);
    }
    const wchar_t *text = status == 1   ? L"Server online"
                          : status == 0 ? L"Server offline"
                                        : L"Server status unknown";
    draw_label(dc, &k_server_text, text, g_paint_art->art.body, g_pal.label, ALIGN_LEFT);
}

// Text with a black shadow one pixel down and right.
void draw_shadowed(HDC dc, UiRect r, const wchar_t *text, HFONT font, COLORREF colour, UINT align)
{
    UiRect shadow = {r.left + 1, r.top + 1, r.right + 1, r.bottom + 1};
    if (!g_pal.plain)
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
                      g_paint_art->art.small_bold, lit ? g_pal.news_date_lit : g_pal.news_date,
                      ALIGN_LEFT);
        draw_shadowed(dc, {row->left + 66, row->top, row->right, row->bottom}, item->title,
                      g_paint_art->art.body, lit ? g_pal.news_title_lit : g_pal.news_title,
                      ALIGN_LEFT | DT_END_ELLIPSIS);
    }
}

// Every other pixel of a one-pixel frame just outside the control, in the
// hover gold: the window's own colour on any part of the picture, where
// DrawFocusRect's inverted dots would change with what lies underneath.
void draw_focus_mark(HDC dc, const UiRect *r)
{
    LOGBRUSH colour = {BS_SOLID, g_pal.focus, 0};
    Tools t(dc, ExtCreatePen(PS_COSMETIC | PS_ALTERNATE, 1, &colour, 0, nullptr), nullptr);
    // As thick as a scaled pixel: one dotted frame per pixel outwards.
    RECT c = at(r);
    for (int k = 1; k <= px(1); k++)
        Rectangle(dc, c.left - k, c.top - k, c.right + k, c.bottom + k);
}

}  // namespace

void draw_label(HDC dc, const UiRect *r, const wchar_t *text, HFONT font, COLORREF colour,
                UINT align)
{
    HGDIOBJ old = SelectObject(dc, font);
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    RECT rect = at(r);
    // DT_PATH_ELLIPSIS and DT_END_ELLIPSIS shorten what is drawn; without
    // DT_MODIFYSTRING the caller's text stays as it is.
    DrawTextW(dc, text, -1, &rect, align | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
}

void draw_progress_bar(HDC dc, const UiRect *r, int32_t value, COLORREF colour)
{
    RECT c = at(r);
    int f = px(1);
    {
        Tools t(dc, scaled_pen(1, g_pal.bar_frame), CreateSolidBrush(g_pal.bar_trough));
        Rectangle(dc, c.left - f, c.top - f, c.right + f, c.bottom + f);
    }
    int width = progress_fill_width(c.right - c.left, value);
    if (width <= 0)
        return;
    HBRUSH fill = CreateSolidBrush(colour);
    RECT rect = {c.left, c.top, c.left + width, c.bottom};
    FillRect(dc, &rect, fill);
    DeleteObject(fill);
}

void draw_sprite_button(HDC dc, HDC sprites, const UiRect *r, int id, const wchar_t *caption)
{
    int look = control_look(id);
    const ShownArt *art = g_paint_art;
    RECT c = at(r);
    if (g_pal.plain) {
        flat_face(dc, &c, look, false);
    } else {
        HGDIOBJ old = SelectObject(sprites, art->art.button);
        BitBlt(dc, c.left, c.top, art->button_w, art->button_h, sprites, 0, art->button_h * look,
               SRCCOPY);
        SelectObject(sprites, old);
    }
    draw_label(dc, r, caption, art->art.small_bold,
               look_colour(look, g_pal.button_hover_text, g_pal.button_text), ALIGN_CENTRE);
}

void draw_caption_glyph(HDC dc, const UiRect *r, int id)
{
    COLORREF colour = control_look(id) == Hover ? g_pal.hover : g_pal.glyph;
    Tools t(dc, CreatePen(PS_SOLID, px(2), colour), nullptr);
    RECT c = at(r);
    int in3 = px(3), in4 = px(4);
    if (id == Close) {
        line(dc, c.left + in3, c.top + in3, c.right - in3, c.bottom - in3);
        line(dc, c.right - in3, c.top + in3, c.left + in3, c.bottom - in3);
    } else if (id == Settings) {
        // A gear: a ring and six teeth.
        int cx = (c.left + c.right) / 2, cy = (c.top + c.bottom) / 2;
        static const int k_teeth[6][4] = {{0, -7, 0, -4}, {6, -4, 3, -2}, {6, 4, 3, 2},
                                          {0, 7, 0, 4},   {-6, 4, -3, 2}, {-6, -4, -3, -2}};
        for (const auto &t : k_teeth)
            line(dc, cx + px(t[0]), cy + px(t[1]), cx + px(t[2]), cy + px(t[3]));
        HGDIOBJ old = SelectObject(dc, GetStockObject(NULL_BRUSH));
        Ellipse(dc, cx - in4, cy - in4, cx + px(5), cy + px(5));
        SelectObject(dc, old);
    } else {
        line(dc, c.left + in3, c.bottom - in4, c.right - in3, c.bottom - in4);
    }
}

void draw_check_box(HDC dc, const UiRect *r, int id, int ticked, const wchar_t *label)
{
    COLORREF colour = look_colour(control_look(id), g_pal.hover, g_pal.label);
    RECT c = at(r);
    {
        Tools t(dc, scaled_pen(1, colour), CreateSolidBrush(g_pal.box_fill));
        Rectangle(dc, c.left, c.top + px(1), c.left + px(12), c.top + px(13));
    }
    if (ticked) {
        Tools t(dc, CreatePen(PS_SOLID, px(2), colour), nullptr);
        MoveToEx(dc, c.left + px(2), c.top + px(7), nullptr);
        LineTo(dc, c.left + px(5), c.top + px(10));
        LineTo(dc, c.left + px(10), c.top + px(3));
    }
    UiRect text = {r->left + 17, r->top, r->right, r->bottom};
    draw_label(dc, &text, label, g_paint_art->art.body, colour, ALIGN_LEFT);
}

void main_window_paint(void *window_dc)
{
    HDC dc = (HDC)window_dc;
    const MainWindowState *s = &g_main_window;
    g_paint_art = art_at(s->dpi);
    g_pal = window_palette(s->high_contrast, system_colour);
    const WindowArt *art = &g_paint_art->art;
    int width = px(WINDOW_WIDTH), height = px(WINDOW_HEIGHT);
    HDC back = CreateCompatibleDC(dc);
    HDC sprites = CreateCompatibleDC(dc);
    HBITMAP back_bitmap = CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ old_back = nullptr, old_sprite = nullptr;
    if (!back || !sprites || !back_bitmap)
        goto cleanup;
    old_back = SelectObject(back, back_bitmap);

    if (g_pal.plain) {
        RECT all = {0, 0, width, height};
        fill(back, &all, g_pal.background);
        // The picture's frame is gone: the window's edge in the text colour.
        HBRUSH edge = CreateSolidBrush(g_pal.label);
        FrameRect(back, &all, edge);
        DeleteObject(edge);
    } else {
        old_sprite = SelectObject(sprites, art->background);
        BitBlt(back, 0, 0, width, height, sprites, 0, 0, SRCCOPY);
        SelectObject(sprites, old_sprite);
    }

    draw_label(back, &k_file_label, L"File Progress:", art->body, g_pal.label, ALIGN_LEFT);
    draw_label(back, &k_total_label, L"Total Progress:", art->body, g_pal.label, ALIGN_LEFT);
    draw_label(back, &STATUS_TEXT_RECT, s->status_text, art->body, g_pal.status,
               ALIGN_LEFT | DT_PATH_ELLIPSIS);
    draw_progress_bar(back, &FILE_BAR_RECT, s->file_progress, g_pal.file_fill);
    draw_progress_bar(back, &TOTAL_BAR_RECT, s->total_progress, g_pal.total_fill);
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
        draw_label(back, &k_version_text, version, art->body, g_pal.version, ALIGN_RIGHT);
    }
    draw_label(back, &DETAIL_TEXT_RECT, s->detail_text, art->body, g_pal.detail, ALIGN_RIGHT);
    draw_server_status(back);
    draw_news(back);
    // A focused control that cannot take a press (CHECK FILES during its own
    // pass, a news row whose item has gone) shows no mark until it can.
    if (s->focus_cues && s->focus_control != None && control_enabled(s->focus_control))
        draw_focus_mark(back, control_rect(s->focus_control));

    BitBlt(dc, 0, 0, width, height, back, 0, 0, SRCCOPY);

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
