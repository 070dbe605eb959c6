// The window's colours. Over its own pictures it uses its own; when the
// player has turned high contrast on, pictures and hand-picked colours would
// defeat the point, so everything is drawn flat in the system's colours,
// each in the role the system gives it (window text on the window, the
// highlight for what is under the pointer and for the bars, grey text for
// what cannot be used, the hot-track colour for links).
#include "ui/window_internal.h"

Palette window_palette(int high_contrast, COLORREF (*system)(int index))
{
    Palette p;
    if (!high_contrast) {
        p.plain = 0;
        p.background = RGB(0, 0, 0);  // unused: the picture
        p.label = RGB(200, 212, 234);
        p.status = RGB(232, 224, 192);
        p.detail = RGB(170, 182, 210);
        p.version = RGB(120, 132, 160);
        p.disabled = RGB(110, 118, 140);
        p.hover = RGB(255, 236, 180);
        p.button_text = RGB(222, 214, 180);
        p.button_hover_text = p.hover;
        p.button_face = p.button_border = p.button_hover_face = RGB(0, 0, 0);  // the sprites
        p.round_text = RGB(240, 232, 200);
        p.round_hover = RGB(255, 240, 200);
        p.bar_frame = RGB(42, 58, 92);
        p.bar_trough = RGB(6, 10, 22);
        p.file_fill = RGB(58, 106, 216);
        p.total_fill = RGB(192, 58, 58);
        p.glyph = RGB(190, 180, 150);
        p.box_fill = RGB(6, 10, 22);
        p.focus = p.hover;
        p.news_date = RGB(201, 164, 74);
        p.news_date_lit = RGB(255, 220, 120);
        p.news_title = RGB(222, 226, 236);
        p.news_title_lit = RGB(255, 250, 230);
        return p;
    }
    COLORREF window = system(COLOR_WINDOW), text = system(COLOR_WINDOWTEXT);
    COLORREF highlight = system(COLOR_HIGHLIGHT), grey = system(COLOR_GRAYTEXT);
    p.plain = 1;
    p.background = window;
    p.label = p.status = p.detail = p.version = text;
    p.disabled = grey;
    // Text on the plain background under the pointer; a hovered button's
    // face takes the highlight and its text the highlight's text colour.
    p.hover = highlight;
    p.button_text = system(COLOR_BTNTEXT);
    p.button_hover_text = system(COLOR_HIGHLIGHTTEXT);
    p.button_face = system(COLOR_BTNFACE);
    p.button_border = system(COLOR_BTNTEXT);
    p.button_hover_face = highlight;
    p.round_text = p.button_text;
    p.round_hover = system(COLOR_HIGHLIGHTTEXT);
    p.bar_frame = text;
    p.bar_trough = window;
    // Both bars in the highlight: the system offers no second bar colour,
    // and their labels tell them apart.
    p.file_fill = p.total_fill = highlight;
    p.glyph = text;
    p.box_fill = window;
    p.focus = text;
    p.news_date = p.news_title = system(COLOR_HOTLIGHT);
    p.news_date_lit = p.news_title_lit = highlight;
    return p;
}
