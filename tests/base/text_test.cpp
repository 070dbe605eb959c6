// The platform-free text helpers of base.h: where a UTF-8 text may be cut,
// and UTF-8 to UTF-16 units into a bounded buffer.
#include "base/base.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

struct CutCase {
    const char *text;  // longer than `n`, so that the formatter cuts it too
    size_t n;          // bytes offered
    size_t kept;       // bytes that may stay
    const char *why;
};

const CutCase CUT_CASES[] = {
    {"ab\xE2\x82\xAC" "z", 5, 5, "a cut exactly at a sequence's end keeps it"},
    {"ab\xE2\x82\xAC" "z", 4, 2, "a 3-byte sequence missing its last byte goes"},
    {"ab\xE2\x82\xAC" "z", 3, 2, "a lone 3-byte lead goes"},
    {"a\xC3\xA9" "z", 2, 1, "half a 2-byte sequence goes"},
    {"a\xF0\x9F\x98\x80" "z", 5, 5, "a whole 4-byte sequence stays"},
    {"a\xF0\x9F\x98\x80" "z", 4, 1, "a 4-byte sequence missing one byte goes"},
    {"a\xF4\x8F" "z", 2, 1, "F4 is the last 4-byte lead"},
    {"\xE2\x82\xAC" "z", 2, 0, "a cut sequence at the start leaves nothing"},
    {"z", 0, 0, "nothing offered"},
    // Bytes that begin no sequence: a reader shows each as U+FFFD, cut or not.
    {"ab\xC0" "z", 3, 3, "C0 leads no sequence (it would be overlong)"},
    {"ab\xC1\xBF" "z", 3, 3, "nor does C1"},
    {"ab\xF5\x80\x80" "z", 5, 5, "nor F5 (beyond U+10FFFF) with continuation bytes"},
    {"ab\xFF" "z", 3, 3, "nor FF"},
    {"a\x80\x80\x80" "z", 4, 4, "stray continuation bytes stay"},
    {"\x80\x80\x80\x80" "z", 4, 4, "continuation bytes only"},
    {"a\xF0\x9F\x98\x80\x80" "z", 6, 6, "a stray continuation after a whole sequence stays"},
};

TEST(Utf8CutLength, KeepsEverySequenceWholeAndEveryOtherByte)
{
    for (const CutCase &c : CUT_CASES) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(utf8_cut_length(c.text, c.n), c.kept);
        // The formatter cuts its text by the same rule.
        char buf[16];
        ASSERT_LT(c.n + 1, sizeof buf);
        EXPECT_EQ(format_narrow(buf, c.n + 1, "%s", c.text), (int)strlen(c.text));
        EXPECT_EQ(std::string(buf), std::string(c.text, c.kept));
    }
}

struct UnitsCase {
    const char *text;
    size_t cap_units;
    int whole;
    std::u16string units;
    const char *why;
};

TEST(Utf8ToUtf16Units, WholeCodePointsWithinTheCapacity)
{
    const UnitsCase cases[] = {
        {"ab\xC3\xA9", 4, 1, u"ab\u00E9", "fits with the terminator exactly"},
        {"ab\xC3\xA9", 3, 0, u"ab", "one unit short: cut"},
        {"a\xF0\x9F\x98\x80", 4, 1, u"a\U0001F600", "a pair fits"},
        {"a\xF0\x9F\x98\x80", 3, 0, u"a", "never half a pair"},
        {"a\xFF" "b\xE2\x82", 8, 1, u"a\uFFFDb\uFFFD", "broken bytes become U+FFFD"},
        {"", 1, 1, u"", "empty text"},
    };
    for (const UnitsCase &c : cases) {
        SCOPED_TRACE(c.why);
        wchar_t dst[8];
        EXPECT_EQ(utf8_to_utf16_units(c.text, dst, c.cap_units), c.whole);
        std::u16string got;
        for (size_t i = 0; dst[i]; i++)
            got += (char16_t)dst[i];
        EXPECT_EQ(got, c.units);
    }
    wchar_t untouched[1] = {L'x'};
    EXPECT_EQ(utf8_to_utf16_units("a", untouched, 0), 0);
    EXPECT_EQ(untouched[0], L'x');
}

}  // namespace
