// The settings gear: a menu of download limits, the one in force ticked.
// A menu of the system's own, so that keys, screen readers and high
// contrast work in it as everywhere else; the choice is kept in the
// folder's settings file and held at once.
#include "ui/window_internal.h"

#include "folder/folder.h"
#include "net/net.h"
#include "update/update.h"

namespace {

const uint64_t KIB = 1024, MIB = 1024 * 1024;
// Menu item ids: a choice's index from here; the limit from the settings
// file when it is none of the choices.
const UINT FIRST_CHOICE_ITEM = 1;
const UINT OWN_LIMIT_ITEM = 100;

}  // namespace

const uint64_t LIMIT_CHOICES[] = {0, 512 * KIB, 1 * MIB, 2 * MIB, 5 * MIB, 10 * MIB, 20 * MIB};
const int LIMIT_CHOICE_COUNT = (int)(sizeof LIMIT_CHOICES / sizeof LIMIT_CHOICES[0]);

int choose_download_limit(uint64_t bytes_per_second)
{
    char text[RATE_TEXT_BYTES];
    rate_limit_format(bytes_per_second, text, sizeof text);
    int kept = write_rate_limit(g_main_window.launcher_folder, bytes_per_second);
    log_printf("download limit %s by the player%s", text, kept ? "" : ": Korvanth.ini not written");
    // A pass under way takes it from its next read on.
    http_set_rate_limit(bytes_per_second);
    if (!worker_is_running()) {
        wchar_t status[STATUS_TEXT_CHARS];
        if (bytes_per_second == 0)
            format_wide(status, STATUS_TEXT_CHARS, L"Downloads are not limited.");
        else
            format_wide(status, STATUS_TEXT_CHARS, L"Downloads are limited to %S.", text);
        set_status_text(status);
    }
    return kept;
}

void open_settings_menu(void)
{
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    uint64_t now = read_rate_limit(g_main_window.launcher_folder);
    bool listed = false;
    for (int i = 0; i < LIMIT_CHOICE_COUNT; i++) {
        char text[RATE_TEXT_BYTES];
        wchar_t label[RATE_TEXT_BYTES + 16];
        rate_limit_format(LIMIT_CHOICES[i], text, sizeof text);
        format_wide(label, RATE_TEXT_BYTES + 16, i == 0 ? L"&No download limit" : L"&%d  %S", i,
                    text);
        bool ticked = LIMIT_CHOICES[i] == now;
        listed = listed || ticked;
        AppendMenuW(menu, MF_STRING | (ticked ? MF_CHECKED : 0), FIRST_CHOICE_ITEM + (UINT)i,
                    label);
    }
    if (!listed) {
        char text[RATE_TEXT_BYTES];
        wchar_t label[RATE_TEXT_BYTES + 32];
        rate_limit_format(now, text, sizeof text);
        format_wide(label, RATE_TEXT_BYTES + 32, L"%S (Korvanth.ini)", text);
        AppendMenuW(menu, MF_STRING | MF_CHECKED, OWN_LIMIT_ITEM, label);
    }
    HWND window = (HWND)g_main_window.window;
    UiRect gear = scale_rect(control_rect(Settings), g_main_window.dpi);
    POINT at = {gear.left, gear.bottom + scale_px(2, g_main_window.dpi)};
    ClientToScreen(window, &at);
    // Right-aligned under the gear, within the window.
    UINT item = (UINT)TrackPopupMenuEx(menu, TPM_RETURNCMD | TPM_RIGHTALIGN | TPM_TOPALIGN |
                                                 TPM_NONOTIFY,
                                       at.x + (gear.right - gear.left), at.y, window, nullptr);
    DestroyMenu(menu);
    if (item >= FIRST_CHOICE_ITEM && item < FIRST_CHOICE_ITEM + (UINT)LIMIT_CHOICE_COUNT)
        choose_download_limit(LIMIT_CHOICES[item - FIRST_CHOICE_ITEM]);
}
