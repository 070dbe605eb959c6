// The window's pixel density and the art made for it. The launcher says in
// its manifest that it draws for each monitor's density itself (per-monitor
// v2, with the older per-monitor and system forms for older systems), so the
// system never stretches the window: the layout is scaled by scale_rect, the
// fonts are made at the scaled heights, and the pictures are stretched once
// per density with the halftone filter, which averages the source pixels
// under each target pixel instead of dropping rows and columns.
#include "ui/window_internal.h"

ShownArt g_shown;

namespace {

HFONT make_font(const wchar_t *face, int height, int weight)
{
    return CreateFontW(height, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, 0, 0,
                       CLEARTYPE_QUALITY, 0, face);
}

// `rows` cells of `cell_w` x `cell_h` stacked in `source`, each stretched on
// its own to `out_w` x `out_h` (so that no row bleeds into the next); null
// when a step fails.
HBITMAP stretch_rows(HDC screen, HBITMAP source, int cell_w, int cell_h, int rows, int out_w,
                     int out_h)
{
    HDC from = CreateCompatibleDC(screen);
    HDC to = CreateCompatibleDC(screen);
    HBITMAP out = CreateCompatibleBitmap(screen, out_w, out_h * rows);
    HGDIOBJ old_from = nullptr, old_to = nullptr;
    bool ok = from && to && out;
    if (ok) {
        old_from = SelectObject(from, source);
        old_to = SelectObject(to, out);
        SetStretchBltMode(to, HALFTONE);
        // HALFTONE needs the brush origin set again after the mode.
        SetBrushOrgEx(to, 0, 0, nullptr);
        for (int row = 0; ok && row < rows; row++)
            ok = StretchBlt(to, 0, row * out_h, out_w, out_h, from, 0, row * cell_h, cell_w, cell_h,
                            SRCCOPY) != 0;
        SelectObject(from, old_from);
        SelectObject(to, old_to);
    }
    if (to)
        DeleteDC(to);
    if (from)
        DeleteDC(from);
    if (!ok && out) {
        DeleteObject(out);
        out = nullptr;
    }
    return out;
}

void unscaled(ShownArt *a)
{
    a->dpi = 96;
    a->art = g_art;
    a->button_w = 95;
    a->button_h = 20;
    a->circle_w = a->circle_h = 80;
}

}  // namespace

void art_release_shown(void)
{
    if (g_shown.dpi && g_shown.dpi != 96) {
        HGDIOBJ objects[] = {g_shown.art.background, g_shown.art.button, g_shown.art.circle,
                             g_shown.art.body,       g_shown.art.small_bold, g_shown.art.start};
        for (HGDIOBJ o : objects)
            if (o)
                DeleteObject(o);
    }
    ZeroMemory(&g_shown, sizeof g_shown);
}

const ShownArt *art_at(int dpi)
{
    if (dpi <= 0)
        dpi = 96;
    if (g_shown.dpi == dpi)
        return &g_shown;
    art_release_shown();
    if (dpi == 96) {
        unscaled(&g_shown);
        return &g_shown;
    }
    ShownArt a;
    ZeroMemory(&a, sizeof a);
    a.dpi = dpi;
    // A cell as wide as the controls that show it: CHECK FILES and CANCEL
    // share their left and right edges, so one size fits both.
    UiRect button = scale_rect(control_rect(CheckFiles), dpi);
    UiRect circle = scale_rect(control_rect(Start), dpi);
    a.button_w = button.right - button.left;
    a.button_h = button.bottom - button.top;
    a.circle_w = circle.right - circle.left;
    a.circle_h = circle.bottom - circle.top;
    HDC screen = GetDC(nullptr);
    if (screen) {
        a.art.background = stretch_rows(screen, g_art.background, WINDOW_WIDTH, WINDOW_HEIGHT, 1,
                                        scale_px(WINDOW_WIDTH, dpi), scale_px(WINDOW_HEIGHT, dpi));
        a.art.button = stretch_rows(screen, g_art.button, 95, 20, 4, a.button_w, a.button_h);
        a.art.circle = stretch_rows(screen, g_art.circle, 80, 80, 4, a.circle_w, a.circle_h);
        ReleaseDC(nullptr, screen);
    }
    a.art.body = make_font(L"Tahoma", -scale_px(12, dpi), 400);
    a.art.small_bold = make_font(L"Tahoma", -scale_px(11, dpi), 700);
    a.art.start = make_font(L"Georgia", -scale_px(15, dpi), 700);
    g_shown = a;
    if (!a.art.background || !a.art.button || !a.art.circle || !a.art.body || !a.art.small_bold ||
        !a.art.start) {
        // Out of GDI objects: the unscaled art, small but readable; the
        // next paint tries again.
        art_release_shown();
        unscaled(&g_shown);
    }
    return &g_shown;
}
