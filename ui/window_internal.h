// Shared by the main window's files: the pictures and fonts loaded once per
// run, and the drawing helpers. Internal to ui/.
#pragma once

#include "ui/ui.h"

#include <windows.h>

struct WindowArt {
    HBITMAP background;  // BITMAP 101, 816 x 604
    HBITMAP button;      // BITMAP 102, four rows of 95 x 20
    HBITMAP circle;      // BITMAP 103, four rows of 80 x 80
    HFONT body;          // Tahoma -12
    HFONT small_bold;    // Tahoma -11 bold
    HFONT start;         // Georgia -15 bold
};

extern WindowArt g_art;

// The main window's class: other launcher processes look for it too.
extern const wchar_t MAIN_WINDOW_CLASS[];

// Text alignments of draw_label, DrawTextW flags.
enum : UINT {
    ALIGN_LEFT = DT_VCENTER,
    ALIGN_CENTRE = DT_CENTER | DT_VCENTER,
    ALIGN_RIGHT = DT_RIGHT | DT_VCENTER,
};

// Every helper draws into `dc` (the back buffer) and deletes what it creates.
void draw_label(HDC dc, const UiRect *r, const wchar_t *text, HFONT font, COLORREF colour,
                UINT align);
void draw_progress_bar(HDC dc, const UiRect *r, int32_t value, COLORREF colour);
// `sprites` is a memory DC the helper may select BITMAP 102 into.
void draw_sprite_button(HDC dc, HDC sprites, const UiRect *r, int id, const wchar_t *caption);
void draw_caption_glyph(HDC dc, const UiRect *r, int id);
void draw_check_box(HDC dc, const UiRect *r, int id, int ticked, const wchar_t *label);

// Places of the texts and bars that worker messages change (paint.cpp).
extern const UiRect STATUS_TEXT_RECT, FILE_BAR_RECT, TOTAL_BAR_RECT, DETAIL_TEXT_RECT;

// Repaints the whole client area, or the rectangle `r`, without erasing.
void repaint(const UiRect *r = nullptr);

// Closing: the window hides at once, and is destroyed when the running pass
// has ended or after CLOSE_WAIT_MS, so that the pass can save its records.
enum {
    CLOSE_WAIT_MS = 10000,
    CLOSE_TIMER_ID = 1,
    CLOSE_POLL_MS = 50,
};

// Between its creation and its destruction the window carries its folder's
// lock name as a property: a second launcher of that folder finds it by
// that (find_folder_window). Called from WM_CREATE and WM_DESTROY.
void mark_folder_window(HWND window, const wchar_t *launcher_folder);
void unmark_folder_window(HWND window);
