// The window and the shell find the launcher's pictures, icon, version and
// manifest by fixed resource ids.
#include "korvanth_config.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

struct Module {
    HMODULE handle = LoadLibraryExW(testing_support::launcher_exe().c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE);
    ~Module() { if (handle) FreeLibrary(handle); }
};

std::string resource(HMODULE module, LPCWSTR type, int id)
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!found)
        return std::string();
    HGLOBAL loaded = LoadResource(module, found);
    return std::string((const char *)LockResource(loaded), SizeofResource(module, found));
}

// The colour at (x, y), counted from the top, of a 24-bit bitmap resource
// (header, then bottom-up rows padded to 4 bytes) as 0xRRGGBB.
unsigned pixel(const std::string &bitmap, int x, int y)
{
    BITMAPINFOHEADER header;
    memcpy(&header, bitmap.data(), sizeof header);
    size_t stride = ((size_t)header.biWidth * 3 + 3) & ~(size_t)3;
    size_t at = header.biSize + stride * (size_t)(header.biHeight - 1 - y) + 3 * (size_t)x;
    const unsigned char *p = (const unsigned char *)bitmap.data() + at;
    return (unsigned)p[2] << 16 | (unsigned)p[1] << 8 | p[0];
}

}  // namespace

TEST(Resources, BitmapsHaveTheirSizesAt24Bits)
{
    Module exe;
    ASSERT_TRUE(exe.handle);
    const struct { int id; LONG width, height; } bitmaps[] = {
        {101, 816, 604}, {102, 95, 80}, {103, 80, 320}};
    for (const auto &b : bitmaps) {
        std::string data = resource(exe.handle, MAKEINTRESOURCEW(2) /* RT_BITMAP */, b.id);
        ASSERT_GE(data.size(), sizeof(BITMAPINFOHEADER)) << b.id;
        BITMAPINFOHEADER header;
        memcpy(&header, data.data(), sizeof header);
        EXPECT_EQ(header.biWidth, b.width) << b.id;
        EXPECT_EQ(header.biHeight, b.height) << b.id;
        EXPECT_EQ(header.biBitCount, 24) << b.id;
    }
}

// The circular button is copied opaquely onto the background at (705, 495):
// outside its ring every cell must repeat the background there, or the
// button shows square corners.
TEST(Resources, RoundButtonCornersRepeatTheBackground)
{
    Module exe;
    ASSERT_TRUE(exe.handle);
    std::string background = resource(exe.handle, MAKEINTRESOURCEW(2), 101);
    std::string strip = resource(exe.handle, MAKEINTRESOURCEW(2), 103);
    ASSERT_EQ(background.size(), sizeof(BITMAPINFOHEADER) + 816 * 3 * 604);
    ASSERT_EQ(strip.size(), sizeof(BITMAPINFOHEADER) + 80 * 3 * 320);
    const struct { int x, y; } outside[] = {{0, 0}, {79, 0}, {0, 79}, {79, 79}, {8, 8}, {71, 71}, {12, 2}};
    for (int look = 0; look < 4; look++) {
        for (const auto &p : outside)
            EXPECT_EQ(pixel(strip, p.x, 80 * look + p.y), pixel(background, 705 + p.x, 495 + p.y))
                << "look " << look << " at " << p.x << "," << p.y;
        EXPECT_NE(pixel(strip, 40, 80 * look + 40), pixel(background, 745, 535)) << "look " << look;
    }
}

TEST(Resources, IconGroupHoldsFourSizes)
{
    Module exe;
    ASSERT_TRUE(exe.handle);
    std::string group = resource(exe.handle, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, 100);
    ASSERT_GE(group.size(), 6u + 4 * 14);
    ASSERT_EQ(*(const WORD *)(group.data() + 4), 4);
    int sizes[4];
    for (int i = 0; i < 4; i++) {
        unsigned char w = (unsigned char)group[6 + 14 * i];
        sizes[i] = w == 0 ? 256 : w;
        // 32 bits per pixel: the round emblem needs its alpha channel.
        EXPECT_EQ(*(const WORD *)(group.data() + 6 + 14 * i + 6), 32) << sizes[i];
    }
    EXPECT_EQ(sizes[0], 256);
    EXPECT_EQ(sizes[1], 48);
    EXPECT_EQ(sizes[2], 32);
    EXPECT_EQ(sizes[3], 16);
    HICON icon = (HICON)LoadImageW(exe.handle, MAKEINTRESOURCEW(100), IMAGE_ICON, 32, 32, 0);
    EXPECT_TRUE(icon);
    if (icon)
        DestroyIcon(icon);
}

TEST(Resources, VersionAndManifest)
{
    Module exe;
    ASSERT_TRUE(exe.handle);
    std::string version = resource(exe.handle, MAKEINTRESOURCEW(16) /* RT_VERSION */, 1);
    // VS_FIXEDFILEINFO follows the "VS_VERSION_INFO" key, aligned to 4 bytes.
    size_t at = version.find(std::string("\xBD\x04\xEF\xFE", 4));
    ASSERT_NE(at, std::string::npos);
    VS_FIXEDFILEINFO info;
    memcpy(&info, version.data() + at, sizeof info);
    const DWORD ms = KORVANTH_VERSION_MAJOR << 16 | KORVANTH_VERSION_MINOR;
    const DWORD ls = KORVANTH_VERSION_PATCH << 16;
    EXPECT_EQ(info.dwFileVersionMS, ms);
    EXPECT_EQ(info.dwFileVersionLS, ls);
    EXPECT_EQ(info.dwProductVersionMS, ms);
    EXPECT_EQ(info.dwProductVersionLS, ls);
    // The string table's FileVersion and ProductVersion, in UTF-16.
    std::wstring text = L"" KORVANTH_VERSION;
    std::string utf16((const char *)text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    size_t file_version = version.find(utf16);
    EXPECT_NE(file_version, std::string::npos);
    EXPECT_NE(version.find(utf16, file_version + 1), std::string::npos);

    std::string manifest = resource(exe.handle, MAKEINTRESOURCEW(24) /* RT_MANIFEST */, 1);
    EXPECT_NE(manifest.find("version=\"" KORVANTH_VERSION ".0\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    for (const char *os : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                           "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                           "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(manifest.find(os), std::string::npos) << os;
}
