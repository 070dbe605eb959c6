// The formatters follow the Windows runtime's string rules and convert
// between the kinds as UTF-8, whatever the ANSI code page is.
#include "base/base.h"

#include <gtest/gtest.h>

#include <string.h>
#include <wchar.h>

TEST(FormatWide, StringKindsFollowWindowsRules)
{
    wchar_t buf[64];
    EXPECT_EQ(format_wide(buf, 64, L"%s|%S", L"wide", "narrow"), 11);
    EXPECT_STREQ(buf, L"wide|narrow");
    EXPECT_EQ(format_wide(buf, 64, L"%ls|%hs|%ws", L"a", "b", L"c"), 5);
    EXPECT_STREQ(buf, L"a|b|c");
}

TEST(FormatNarrow, StringKindsFollowWindowsRules)
{
    char buf[64];
    EXPECT_EQ(format_narrow(buf, sizeof buf, "%s|%S", "narrow", L"wide"), 11);
    EXPECT_STREQ(buf, "narrow|wide");
    EXPECT_EQ(format_narrow(buf, sizeof buf, "%hs|%ls", "a", L"b"), 3);
    EXPECT_STREQ(buf, "a|b");
}

TEST(FormatConversion, OtherKindIsUtf8BothWays)
{
    // "é€" and a character outside the basic plane.
    const char *utf8 = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const wchar_t wide[] = {0x00E9, 0x20AC, 0xD83D, 0xDE00, 0};
    wchar_t wbuf[16];
    EXPECT_EQ(format_wide(wbuf, 16, L"%S", utf8), 4);
    EXPECT_STREQ(wbuf, wide);
    char nbuf[16];
    EXPECT_EQ(format_narrow(nbuf, sizeof nbuf, "%S", wide), 9);
    EXPECT_STREQ(nbuf, utf8);
    // Broken UTF-8 becomes replacement characters, unpaired surrogates too.
    EXPECT_EQ(format_wide(wbuf, 16, L"[%S]", "a\xFF" "b\xE2\x82"), 6);
    const wchar_t repaired[] = {L'[', L'a', 0xFFFD, L'b', 0xFFFD, L']', 0};
    EXPECT_STREQ(wbuf, repaired);
    const wchar_t lone[] = {L'x', 0xD800, L'y', 0};
    format_narrow(nbuf, sizeof nbuf, "%S", lone);
    EXPECT_STREQ(nbuf, "x\xEF\xBF\xBDy");
}

TEST(FormatNumbers, LauncherTextsFormatAsTheRuntimeDoes)
{
    char buf[128];
    format_narrow(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02dZ ", 2026, 12, 6, 13, 57, 7);
    EXPECT_STREQ(buf, "2026-12-06 13:57:07Z ");
    format_narrow(buf, sizeof buf, "%llu|%lld|%lu|%ld|%u|%d", 18446744073709551615ULL,
                  -9223372036854775807LL - 1, 4294967295UL, -5L, 7u, -1);
    EXPECT_STREQ(buf, "18446744073709551615|-9223372036854775808|4294967295|-5|7|-1");
    format_narrow(buf, sizeof buf, "0x%08lx|%X|%.1f|%.0f|%c|%%|%5s|%-3s|", 0xC0000005UL, 255u,
                  2.25, 1.5, 'Z', "ab", "c");
    EXPECT_STREQ(buf, "0xc0000005|FF|2.2|2|Z|%|   ab|c  |");
    format_narrow(buf, sizeof buf, "%.80s|%.2s|%.*s", "short", "cut", 1, "xy");
    EXPECT_STREQ(buf, "short|cu|x");
    wchar_t wbuf[64];
    format_wide(wbuf, 64, L"%c:\\Games\\%s (%d)", L'D', L"Korvanth", 3);
    EXPECT_STREQ(wbuf, L"D:\\Games\\Korvanth (3)");
}

TEST(FormatNarrow, CutsLikeSnprintf)
{
    char text[101];
    memset(text, 'a', 100);
    text[100] = 0;
    char buf[64];
    EXPECT_EQ(format_narrow(buf, sizeof buf, "%s", text), 100);
    EXPECT_EQ(strlen(buf), 63u);
    EXPECT_EQ(format_narrow(nullptr, 0, "%s", text), 100);
    // A cut never leaves half a UTF-8 sequence behind.
    EXPECT_EQ(format_narrow(buf, 5, "ab\xE2\x82\xAC"), 5);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(format_narrow(buf, 6, "ab\xE2\x82\xAC"), 5);
    EXPECT_STREQ(buf, "ab\xE2\x82\xAC");
}

TEST(FormatWide, CutIsNegativeAndTerminated)
{
    wchar_t buf[8];
    EXPECT_EQ(format_wide(buf, 8, L"%s", L"1234567"), 7);
    EXPECT_LT(format_wide(buf, 8, L"%s", L"12345678"), 0);
    EXPECT_STREQ(buf, L"1234567");
    const wchar_t pair[] = {L'1', L'2', L'3', L'4', L'5', L'6', 0xD83D, 0xDE00, 0};
    EXPECT_LT(format_wide(buf, 8, L"%s", pair), 0);
    EXPECT_STREQ(buf, L"123456");
}

TEST(FormatErrors, UnknownOrUnsafeDirectivesAreRefused)
{
    char buf[16] = "junk";
    EXPECT_LT(format_narrow(buf, sizeof buf, "%n", nullptr), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_LT(format_narrow(buf, sizeof buf, "abc%"), 0);
    EXPECT_LT(format_narrow(buf, sizeof buf, "%9999d", 1), 0);
    wchar_t wbuf[16];
    EXPECT_LT(format_wide(wbuf, 16, L"%q"), 0);
    EXPECT_STREQ(wbuf, L"");
    format_narrow(buf, sizeof buf, "%s", (const char *)nullptr);
    EXPECT_STREQ(buf, "(null)");
}
