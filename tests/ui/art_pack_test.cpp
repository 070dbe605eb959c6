// The pictures' packs as the launcher reads them, the choice of pack for a
// density, and the area-average filter.
#include "ui/art_pack.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

// A pack of three pictures of the sizes given, each pixel's bytes differenced
// from the pixel to its left as make_art writes them.
std::vector<uint8_t> pack_of(const int sizes[6], uint8_t seed)
{
    std::vector<uint8_t> out = {'K', 'A', 'R', 'T', 200, 0, 3, 0};
    for (int k = 0; k < 6; k++) {
        out.push_back((uint8_t)sizes[k]);
        out.push_back((uint8_t)(sizes[k] >> 8));
    }
    for (int k = 0; k < 3; k++) {
        int row = sizes[2 * k] * 3;
        for (int y = 0; y < sizes[2 * k + 1]; y++)
            for (int i = 0; i < row; i++) {
                uint8_t v = (uint8_t)(seed + 7 * i + 13 * y), left = (uint8_t)(seed + 7 * (i - 3) + 13 * y);
                out.push_back(i < 3 ? v : (uint8_t)(v - left));
            }
    }
    return out;
}

}  // namespace

TEST(ArtPack, ReadsThePicturesAndUndoesTheDifferences)
{
    const int sizes[6] = {4, 2, 3, 4, 2, 8};
    std::vector<uint8_t> bytes = pack_of(sizes, 5);
    ArtPack pack;
    ASSERT_EQ(art_pack_read(bytes.data(), bytes.size(), &pack), 1);
    EXPECT_EQ(pack.percent, 200);
    for (int k = 0; k < 3; k++) {
        const ArtPicture &p = pack.picture[k];
        ASSERT_EQ(p.width, sizes[2 * k]);
        ASSERT_EQ(p.height, sizes[2 * k + 1]);
        for (int y = 0; y < p.height; y++)
            for (int i = 0; i < p.width * 3; i++)
                ASSERT_EQ(p.pixels[y * p.width * 3 + i], (uint8_t)(5 + 7 * i + 13 * y))
                    << "picture " << k << " byte " << i << " of row " << y;
    }
}

TEST(ArtPack, RefusesWhatIsNoWholePack)
{
    const int sizes[6] = {4, 2, 3, 4, 2, 8};
    const int empty_side[6] = {4, 0, 3, 4, 2, 8};
    const int too_wide[6] = {4097, 1, 1, 1, 1, 1};
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"cut in the pixels", pack_of(sizes, 1)},
        {"a byte too many", pack_of(sizes, 1)},
        {"cut in the header", pack_of(sizes, 1)},
        {"another mark", pack_of(sizes, 1)},
        {"two pictures", pack_of(sizes, 1)},
        {"a side of 0", pack_of(empty_side, 1)},
        {"a side above the bound", {}},
    };
    cases[0].bytes.pop_back();
    cases[1].bytes.push_back(0);
    cases[2].bytes.resize(10);
    cases[3].bytes[3] = 'X';
    cases[4].bytes[6] = 2;
    cases[6].bytes = {'K', 'A', 'R', 'T', 200, 0, 3, 0};
    for (int k = 0; k < 6; k++) {
        cases[6].bytes.push_back((uint8_t)too_wide[k]);
        cases[6].bytes.push_back((uint8_t)(too_wide[k] >> 8));
    }
    cases[6].bytes.resize(cases[6].bytes.size() + 4097 * 3 + 6, 0);
    for (Case &c : cases) {
        ArtPack pack;
        EXPECT_EQ(art_pack_read(c.bytes.data(), c.bytes.size(), &pack), 0) << c.what;
    }
}

TEST(ArtPack, ChoosesTheScaleDrawnOrTheNextLarger)
{
    const int every[] = {125, 150, 175, 200}, large[] = {200}, small[] = {125};
    struct Case {
        int dpi;
        const int *carried;
        int count;
        int chosen;
    } cases[] = {
        {96, every, 4, 0},     {72, every, 4, 0},     {120, every, 4, 125},
        {144, every, 4, 150},  {192, every, 4, 200},  {110, every, 4, 125},
        {150, every, 4, 175},  {240, every, 4, 200},  {144, large, 1, 200},
        {120, large, 1, 200},  {144, small, 1, 125},  {144, nullptr, 0, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(art_pack_choice(c.dpi, c.carried, c.count), c.chosen)
            << c.dpi << " dpi of " << c.count;
}

TEST(AreaAverage, MeansOfTheCoveredAreas)
{
    // 4 x 1 -> 3 x 1: each target covers 4/3 of a source pixel.
    const uint8_t row[] = {0, 0, 0, 90, 90, 90, 180, 180, 180, 255, 255, 255};
    uint8_t out[12];
    area_average(row, 4, 1, out, 3, 1, 9);
    EXPECT_EQ(out[0], 23);   // (3*0 + 1*90) / 4 = 22.5
    EXPECT_EQ(out[3], 135);  // (2*90 + 2*180) / 4
    EXPECT_EQ(out[6], 236);  // (1*180 + 3*255) / 4 = 236.25
    // 2 x 2 -> 1 x 1, channels kept apart.
    const uint8_t square[] = {10, 20, 30, 30, 40, 50, 50, 60, 70, 70, 80, 90};
    area_average(square, 2, 2, out, 1, 1, 3);
    EXPECT_EQ(out[0], 40);
    EXPECT_EQ(out[1], 50);
    EXPECT_EQ(out[2], 60);
    // 200% -> 150% of one colour stays that colour, and target rows keep
    // their padding.
    std::vector<uint8_t> plain(8 * 6 * 3);
    for (size_t i = 0; i < plain.size(); i++)
        plain[i] = (uint8_t)(i % 3 == 0 ? 200 : i % 3 == 1 ? 17 : 255);
    const int stride = 20;  // 6 pixels and 2 bytes of padding
    std::vector<uint8_t> scaled(stride * 5, 0xEE);
    area_average(plain.data(), 8, 6, scaled.data(), 6, 5, stride);
    for (int y = 0; y < 5; y++) {
        for (int x = 0; x < 6; x++) {
            const uint8_t *p = &scaled[y * stride + 3 * x];
            EXPECT_TRUE(p[0] == 200 && p[1] == 17 && p[2] == 255) << x << "," << y;
        }
        EXPECT_TRUE(scaled[y * stride + 18] == 0xEE && scaled[y * stride + 19] == 0xEE) << y;
    }
}
