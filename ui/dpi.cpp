// The window's pixel density and the art made for it. The launcher says in
// its manifest that it draws for each monitor's density itself (per-monitor
// v2, with the older per-monitor and system forms for older systems), so the
// system never stretches the window: the layout is scaled by scale_rect, the
// fonts are made at the scaled heights, and the pictures come from the packs
// make_art.py drew for larger scales (art_pack.h): as drawn at a carried
// scale, area-averaged down from the next larger one otherwise. Only without
// a fitting pack are pictures stretched up, with the halftone filter.
#include "ui/window_internal.h"

#include "base/base.h"
#include "content/content.h"
#include "ui/art_pack.h"

#include <stdlib.h>
#include <string.h>

ShownArt g_shown;

namespace {

const int k_pack_percents[] = {125, 150, 175, 200};

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

HMODULE art_module(void)
{
    return g_main_window.instance ? (HMODULE)g_main_window.instance : GetModuleHandleW(nullptr);
}

int carried_packs(HMODULE module, int *out)
{
    int n = 0;
    for (int p : k_pack_percents)
        if (FindResourceW(module, MAKEINTRESOURCEW(ART_PACK_ID_BASE + p), MAKEINTRESOURCEW(10)))
            out[n++] = p;
    return n;
}

// The pack of `percent` decoded into a block the caller frees; null when it
// is missing or damaged (its gzip check, its layout, another percentage).
uint8_t *load_pack(HMODULE module, int percent, ArtPack *pack)
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(ART_PACK_ID_BASE + percent),
                                MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL held = found ? LoadResource(module, found) : nullptr;
    const uint8_t *packed = held ? (const uint8_t *)LockResource(held) : nullptr;
    DWORD packed_length = found ? SizeofResource(module, found) : 0;
    if (!packed || packed_length < 18)
        return nullptr;
    // The member's trailer says how long it decodes; the decoder checks it.
    const uint8_t *t = packed + packed_length - 4;
    size_t length = (size_t)t[0] | (size_t)t[1] << 8 | (size_t)t[2] << 16 | (size_t)t[3] << 24;
    if (length == 0 || length > ART_PACK_MAX_BYTES)
        return nullptr;
    uint8_t *block = (uint8_t *)malloc(length);
    if (!block)
        return nullptr;
    MemoryInput in = {packed, packed_length, 0};
    MemoryOutput out = {block, length, 0};
    int decoded = gzip_decode(memory_read, &in, memory_write, &out, nullptr);
    if (decoded != GZIP_OK || out.length != length || !art_pack_read(block, length, pack) ||
        pack->percent != percent) {
        log_printf("art for %d%%: the carried pictures are damaged (%s)", percent,
                   decoded != GZIP_OK ? gzip_result_text(decoded) : "layout");
        free(block);
        return nullptr;
    }
    return block;
}

// A 24-bit top-down bitmap of w x h, its rows `*stride` bytes apart from
// `*bits`; null when it cannot be made.
HBITMAP new_picture(int w, int h, uint8_t **bits, int *stride)
{
    BITMAPINFO info;
    ZeroMemory(&info, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *p = nullptr;
    HBITMAP b = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &p, nullptr, 0);
    if (!b || !p) {
        if (b)
            DeleteObject(b);
        return nullptr;
    }
    *bits = (uint8_t *)p;
    *stride = (w * 3 + 3) & ~3;
    return b;
}

// `rows` cells of `src` made out_w x out_h each: copied when drawn at that
// size, averaged down when larger, stretched up with halftone when smaller.
HBITMAP picture_from(HDC screen, const ArtPicture *src, int rows, int out_w, int out_h)
{
    int cell_h = src->height / rows;
    if (cell_h * rows != src->height)
        return nullptr;
    bool larger = src->width >= out_w && cell_h >= out_h;
    int w = larger ? out_w : src->width, h = larger ? out_h : cell_h;
    uint8_t *bits;
    int stride;
    HBITMAP made = new_picture(w, h * rows, &bits, &stride);
    if (!made)
        return nullptr;
    size_t cell_bytes = (size_t)src->width * cell_h * 3;
    for (int row = 0; row < rows; row++) {
        const uint8_t *from = src->pixels + row * cell_bytes;
        uint8_t *to = bits + (size_t)row * h * stride;
        if (w == src->width && h == cell_h) {
            for (int y = 0; y < h; y++)
                memcpy(to + (size_t)y * stride, from + (size_t)y * w * 3, (size_t)w * 3);
        } else {
            area_average(from, src->width, cell_h, to, w, h, stride);
        }
    }
    if (larger)
        return made;
    HBITMAP stretched = stretch_rows(screen, made, w, h, rows, out_w, out_h);
    DeleteObject(made);
    return stretched;
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
    LARGE_INTEGER started, ended, frequency;
    QueryPerformanceCounter(&started);
    HMODULE module = art_module();
    int carried[sizeof k_pack_percents / sizeof k_pack_percents[0]];
    int chosen = art_pack_choice(dpi, carried, carried_packs(module, carried));
    ArtPack pack;
    uint8_t *block = chosen ? load_pack(module, chosen, &pack) : nullptr;
    int width = scale_px(WINDOW_WIDTH, dpi), height = scale_px(WINDOW_HEIGHT, dpi);
    HDC screen = GetDC(nullptr);
    if (screen && block) {
        a.source_percent = chosen;
        a.art.background = picture_from(screen, &pack.picture[0], 1, width, height);
        a.art.button = picture_from(screen, &pack.picture[1], 4, a.button_w, a.button_h);
        a.art.circle = picture_from(screen, &pack.picture[2], 4, a.circle_w, a.circle_h);
    } else if (screen) {
        a.art.background = stretch_rows(screen, g_art.background, WINDOW_WIDTH, WINDOW_HEIGHT, 1,
                                        width, height);
        a.art.button = stretch_rows(screen, g_art.button, 95, 20, 4, a.button_w, a.button_h);
        a.art.circle = stretch_rows(screen, g_art.circle, 80, 80, 4, a.circle_w, a.circle_h);
    }
    if (screen)
        ReleaseDC(nullptr, screen);
    free(block);
    QueryPerformanceCounter(&ended);
    QueryPerformanceFrequency(&frequency);
    log_printf("art for %d dpi from the %d%% pictures in %.1f ms", dpi,
               a.source_percent ? a.source_percent : 100,
               (double)(ended.QuadPart - started.QuadPart) * 1000.0 / (double)frequency.QuadPart);
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
