#include "drive.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <string.h>

namespace ui_test {

bool wait_until(const std::function<bool()> &done, unsigned timeout_ms)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(20);
    }
    return true;
}

namespace {

struct Search {
    const wchar_t *cls;
    DWORD pid;
    HWND found;
};

BOOL CALLBACK match_window(HWND w, LPARAM param)
{
    Search *s = (Search *)param;
    wchar_t cls[64];
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (IsWindowVisible(w) && GetClassNameW(w, cls, 64) && !wcscmp(cls, s->cls) &&
        (!s->pid || s->pid == pid)) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}

void send_mouse(DWORD flags, int sx = 0, int sy = 0)
{
    INPUT in;
    memset(&in, 0, sizeof in);
    in.type = INPUT_MOUSE;
    if (flags & MOUSEEVENTF_MOVE) {
        // Rounded up: the usual x * 65535 / (W - 1) lands a pixel off on some rows.
        int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
        in.mi.dx = (sx * 65536 + w - 1) / w;
        in.mi.dy = (sy * 65536 + h - 1) / h;
        flags |= MOUSEEVENTF_ABSOLUTE;
    }
    in.mi.dwFlags = flags;
    SendInput(1, &in, sizeof in);
}

}  // namespace

HWND wait_for_window(const wchar_t *cls, DWORD pid, unsigned timeout_ms)
{
    Search s = {cls, pid, nullptr};
    wait_until([&] {
        EnumWindows(match_window, (LPARAM)&s);
        return s.found != nullptr;
    }, timeout_ms);
    return s.found;
}

void pointer_to(HWND window, int x, int y)
{
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    POINT p = {x, y};
    ClientToScreen(window, &p);
    send_mouse(MOUSEEVENTF_MOVE, p.x, p.y);
    bool there = wait_until([&] {
        POINT now;
        return GetCursorPos(&now) && now.x == p.x && now.y == p.y;
    }, 2000);
    EXPECT_TRUE(there) << "the pointer did not reach (" << x << ", " << y << ")";
    // Let the window see the move before anything else happens.
    Sleep(60);
}

void left_button(bool down)
{
    send_mouse(down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP);
    Sleep(60);
}

void click(HWND window, int x, int y)
{
    pointer_to(window, x, y);
    left_button(true);
    left_button(false);
}

void press_key(HWND window, WORD vk, WORD modifier)
{
    SetForegroundWindow(window);
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == window; }, 2000))
        << "the window did not come to the foreground";
    INPUT keys[4];
    memset(keys, 0, sizeof keys);
    UINT n = 0;
    auto add = [&](WORD key, DWORD flags) {
        keys[n].type = INPUT_KEYBOARD;
        keys[n].ki.wVk = key;
        keys[n].ki.dwFlags = flags;
        n++;
    };
    if (modifier)
        add(modifier, 0);
    add(vk, 0);
    add(vk, KEYEVENTF_KEYUP);
    if (modifier)
        add(modifier, KEYEVENTF_KEYUP);
    EXPECT_EQ(SendInput(n, keys, sizeof keys[0]), n);
}

COLORREF Capture::at(int x, int y) const
{
    uint32_t p = pixels[(size_t)y * width + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

namespace {

Capture read_bitmap(HDC dc, HBITMAP bitmap, int width, int height)
{
    Capture shot;
    shot.width = width;
    shot.height = height;
    shot.pixels.resize((size_t)width * height);
    BITMAPINFO bi;
    memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    GetDIBits(dc, bitmap, 0, height, shot.pixels.data(), &bi, DIB_RGB_COLORS);
    for (uint32_t &p : shot.pixels)
        p &= 0xFFFFFF;
    return shot;
}

}  // namespace

Capture capture(HWND window, int width, int height)
{
    // WM_PRINTCLIENT paints on the window's own thread, and also while the
    // window is minimised; the DC must therefore be of this process.
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(mem, bitmap);
    SendMessageW(window, WM_PRINTCLIENT, (WPARAM)mem, PRF_CLIENT);
    SelectObject(mem, old);
    Capture shot = read_bitmap(mem, bitmap, width, height);
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return shot;
}

namespace {

// The pixels of a loaded bitmap, which is deleted.
Capture take_bitmap(HBITMAP bitmap)
{
    if (!bitmap)
        return Capture();
    BITMAP info = {};
    GetObjectW(bitmap, sizeof info, &info);
    HDC screen = GetDC(nullptr);
    Capture shot = read_bitmap(screen, bitmap, info.bmWidth, info.bmHeight);
    ReleaseDC(nullptr, screen);
    DeleteObject(bitmap);
    return shot;
}

}  // namespace

Capture resource_bitmap(int id)
{
    return take_bitmap(LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id)));
}

Capture file_bitmap(const std::wstring &path)
{
    return take_bitmap((HBITMAP)LoadImageW(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0,
                                           LR_LOADFROMFILE | LR_CREATEDIBSECTION));
}

namespace {

uint32_t crc32_of(const unsigned char *p, size_t n, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void put_be32(std::string &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += (char)((v >> shift) & 0xFF);
}

void put_chunk(std::string &out, const char *type, const std::string &data)
{
    put_be32(out, (uint32_t)data.size());
    std::string body = std::string(type, 4) + data;
    out += body;
    put_be32(out, crc32_of((const unsigned char *)body.data(), body.size()));
}

}  // namespace

bool save_png(const Capture &shot, const std::string &name)
{
    // RGB rows behind a filter byte, in stored deflate blocks: larger than
    // a compressed picture, but any viewer reads it.
    std::string raw;
    for (int y = 0; y < shot.height; y++) {
        raw += '\0';
        for (int x = 0; x < shot.width; x++) {
            uint32_t p = shot.pixels[(size_t)y * shot.width + x];
            raw += (char)(p >> 16);
            raw += (char)(p >> 8);
            raw += (char)p;
        }
    }
    std::string z = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
        z += (char)(at + n >= raw.size() ? 1 : 0);
        z += (char)(n & 0xFF);
        z += (char)(n >> 8);
        z += (char)(~n & 0xFF);
        z += (char)((~n >> 8) & 0xFF);
        z.append(raw, at, n);
    }
    put_be32(z, (b << 16) | a);

    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    put_be32(header, (uint32_t)shot.width);
    put_be32(header, (uint32_t)shot.height);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    put_chunk(png, "IHDR", header);
    put_chunk(png, "IDAT", z);
    put_chunk(png, "IEND", "");

    std::wstring outputs = testing_support::wine_path(KORVANTH_BINARY_DIR "/test-output");
    CreateDirectoryW(outputs.c_str(), nullptr);
    CreateDirectoryW((outputs + L"\\ui").c_str(), nullptr);
    std::wstring path = outputs + L"\\ui\\" + testing_support::widen(name) + L".png";
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(f, png.data(), (DWORD)png.size(), &written, nullptr) && written == png.size();
    CloseHandle(f);
    return ok;
}

}  // namespace ui_test
