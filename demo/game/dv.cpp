// dv.exe: the demo game client that scripts/demo publishes as "system\dv.exe".
// It opens one window that shows what the launcher put into its client folder
// (the renderer files of the "dxvk" set, the interface or stock HUD, the
// player's seed settings), counts down and ends with exit code 0.
//
//   dv.exe [--seconds N]     N from 1 to 60, default 4 (the launcher passes none)
//
// The window title names the renderer and the interface, so that a test or a
// screenshot can tell which files the game found. Exit code 1 when no window
// could be made, 2 for a bad argument.
#include <windows.h>
#include <shellapi.h>

#include <string.h>
#include <wchar.h>

namespace {

const wchar_t CLASS_NAME[] = L"DrumveilDemo";
const UINT_PTR TICK_TIMER = 1;
const int LINE_CHARS = 160;

struct GameInfo {
    wchar_t renderer[LINE_CHARS];
    wchar_t hud[LINE_CHARS];
    wchar_t settings[LINE_CHARS];
    int seconds_left;
};

GameInfo g_info;

// Appends `text` to the string in `out` of `cap_chars` characters, cut to fit.
// (No printf family here: mingw's C99 stdio reads a wide %s as narrow.)
void append(wchar_t *out, int cap_chars, const wchar_t *text)
{
    int used = (int)wcslen(out);
    if (used < cap_chars - 1)
        lstrcpynW(out + used, text, cap_chars - used);
}

// out = a + b (+ c), cut to `cap_chars`.
void concat(wchar_t *out, int cap_chars, const wchar_t *a, const wchar_t *b,
            const wchar_t *c = L"")
{
    out[0] = 0;
    append(out, cap_chars, a);
    append(out, cap_chars, b);
    append(out, cap_chars, c);
}

bool is_file(const wchar_t *path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Reads the first line of a small text file (UTF-8) into `out` of `cap_chars`
// characters. False when the file cannot be read; `out` is then untouched.
bool read_first_line(const wchar_t *path, wchar_t *out, int cap_chars)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char bytes[256];
    DWORD got = 0;
    BOOL ok = ReadFile(file, bytes, sizeof bytes - 1, &got, nullptr);
    CloseHandle(file);
    if (!ok)
        return false;
    bytes[got] = 0;
    bytes[strcspn(bytes, "\r\n")] = 0;
    if (!MultiByteToWideChar(CP_UTF8, 0, bytes, -1, out, cap_chars))
        out[0] = 0;
    return true;
}

// Looks at the client folder around this program (its own folder is
// "system", the client folder the one above).
void survey_client(GameInfo *info)
{
    wchar_t system_dir[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, system_dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        system_dir[0] = 0;
    wchar_t *slash = wcsrchr(system_dir, L'\\');
    if (slash)
        *slash = 0;
    wchar_t client_dir[MAX_PATH];
    lstrcpynW(client_dir, system_dir, MAX_PATH);
    slash = wcsrchr(client_dir, L'\\');
    if (slash)
        *slash = 0;

    wchar_t path[MAX_PATH + 32];
    concat(path, MAX_PATH + 32, system_dir, L"\\d3d9_dxvk.dll");
    lstrcpynW(info->renderer, is_file(path) ? L"DXVK renderer" : L"Direct3D 9 renderer",
              LINE_CHARS);

    // The custom interface wins when both are there: with the choice on, the
    // launcher leaves the stock files alone.
    concat(path, MAX_PATH + 32, client_dir, L"\\interface\\hud.cfg");
    if (!read_first_line(path, info->hud, LINE_CHARS)) {
        concat(path, MAX_PATH + 32, client_dir, L"\\stock\\hud.cfg");
        if (!read_first_line(path, info->hud, LINE_CHARS))
            lstrcpynW(info->hud, L"no HUD files", LINE_CHARS);
    }

    concat(path, MAX_PATH + 32, client_dir, L"\\settings.cfg");
    if (!read_first_line(path, info->settings, LINE_CHARS))
        lstrcpynW(info->settings, L"no settings.cfg", LINE_CHARS);
}

void on_paint(HWND window)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH background = CreateSolidBrush(RGB(24, 28, 40));
    FillRect(dc, &client, background);
    DeleteObject(background);

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(230, 200, 120));
    wchar_t count[16];
    _itow(g_info.seconds_left, count, 10);
    wchar_t lines[5][LINE_CHARS];
    concat(lines[0], LINE_CHARS, L"Drumveil - demo client", L"");
    concat(lines[1], LINE_CHARS, L"Renderer: ", g_info.renderer);
    concat(lines[2], LINE_CHARS, L"Interface: ", g_info.hud);
    concat(lines[3], LINE_CHARS, L"Settings: ", g_info.settings);
    concat(lines[4], LINE_CHARS, L"Closing in ", count, L" s");
    for (int i = 0; i < 5; i++) {
        TextOutW(dc, 24, 24 + i * 28, lines[i], (int)wcslen(lines[i]));
        SetTextColor(dc, RGB(210, 210, 220));
    }
    EndPaint(window, &ps);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_TIMER:
        if (wparam == TICK_TIMER) {
            if (--g_info.seconds_left <= 0) {
                DestroyWindow(window);
            } else {
                InvalidateRect(window, nullptr, FALSE);
            }
        }
        return 0;
    case WM_ERASEBKGND:
        return TRUE;
    case WM_PAINT:
        on_paint(window);
        return 0;
    case WM_DESTROY:
        KillTimer(window, TICK_TIMER);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

// Reads "--seconds N" (1..60) from the command line into `seconds`.
bool parse_arguments(int *seconds)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return false;
    bool ok = true;
    for (int i = 1; i < argc && ok; i++) {
        if (!wcscmp(argv[i], L"--seconds") && i + 1 < argc) {
            wchar_t *end = nullptr;
            long value = wcstol(argv[++i], &end, 10);
            ok = end != argv[i] && *end == 0 && value >= 1 && value <= 60;
            if (ok)
                *seconds = (int)value;
        } else {
            ok = false;
        }
    }
    LocalFree(argv);
    return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    memset(&g_info, 0, sizeof g_info);
    g_info.seconds_left = 4;
    if (!parse_arguments(&g_info.seconds_left))
        return 2;
    survey_client(&g_info);

    WNDCLASSEXW wc;
    memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.lpszClassName = CLASS_NAME;
    if (!RegisterClassExW(&wc))
        return 1;

    wchar_t title[2 * LINE_CHARS + 32];
    concat(title, 2 * LINE_CHARS + 32, L"Drumveil demo - ", g_info.renderer, L", ");
    append(title, 2 * LINE_CHARS + 32, g_info.hud);
    HWND window = CreateWindowExW(0, CLASS_NAME, title, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 640, 240, nullptr, nullptr,
                                  instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, show);
    UpdateWindow(window);
    SetTimer(window, TICK_TIMER, 1000, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
