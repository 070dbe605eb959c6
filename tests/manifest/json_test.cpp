// The JSON reader: decoded bytes, every error text with the byte offset it
// reports, and the UTC time stamps of the manifest.
#include "manifest/manifest.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

// A document and a cursor over it; the error buffer starts empty.
struct Doc {
    std::string bytes;
    char error[JSON_ERROR_BYTES];
    JsonCursor c;

    explicit Doc(const std::string &text) : bytes(text)
    {
        error[0] = 0;
        const unsigned char *p = (const unsigned char *)bytes.data();
        c = {p, p + bytes.size(), p, error, nullptr};
    }
    long offset() const { return (long)(c.current - c.start); }
};

std::string err(const char *message, size_t at)
{
    return std::string("manifest: ") + message + " at byte " + std::to_string(at);
}

struct StringCase {
    const char *why;
    std::string doc;
    std::string want;  // decoded bytes, or the error text
    bool ok;
};

TEST(JsonReadString, DecodesOrFailsAtTheReportedByte)
{
    const std::string s31(31, 'x'), s32(32, 'x');
    const StringCase cases[] = {
        {"plain", "\"abc\"", "abc", true},
        {"whitespace first", " \t\r\n\"a\"", "a", true},
        {"simple escapes", R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t", true},
        {"\\u to two and three UTF-8 bytes", R"("\u00e9\u20AC")", "\xC3\xA9\xE2\x82\xAC", true},
        {"raw 4-byte UTF-8, DEL and high bytes stay", "\"\xF0\x9F\x98\x80\x7F\xFF\"",
         "\xF0\x9F\x98\x80\x7F\xFF", true},
        {"\\u0000 ends the text the caller sees", R"("a\u0000b")", "a", true},
        {"31 bytes fit capacity 32", "\"" + s31 + "\"", s31, true},
        {"empty document", "", err("unexpected token", 0), false},
        {"byte-order mark", "\xEF\xBB\xBF\"a\"", err("unexpected token", 0), false},
        {"not a string", "  x", err("unexpected token", 2), false},
        {"only a quote", "\"", err("unterminated string", 1), false},
        {"end inside", "\"ab", err("unterminated string", 3), false},
        {"end after an escape", R"("a\n)", err("unterminated string", 4), false},
        {"backslash at the end", "\"a\\", err("bad escape", 3), false},
        {"unknown escape letter", R"("\x")", err("bad escape", 3), false},
        {"\\u with 3 bytes left", R"("\u12")", err("bad \\u", 3), false},
        {"\\u with a non-hex digit", R"("\u12G4")", err("bad \\u", 3), false},
        {"surrogate", R"("\ud83d\ude00")", err("surrogates unsupported", 7), false},
        {"raw tab", "\"a\tb\"", err("control char in string", 3), false},
        {"raw LF", "\"\n\"", err("control char in string", 2), false},
        {"32 bytes in capacity 32", "\"" + s32 + "\"", err("string too long", 33), false},
        {"\\u that does not fit", "\"" + std::string(30, 'x') + R"(\u00e9")",
         err("string too long", 37), false},
    };
    for (const StringCase &t : cases) {
        Doc d(t.doc);
        char buf[32] = "unchanged";
        bool ok = json_read_string(&d.c, buf, sizeof buf);
        EXPECT_EQ(ok, t.ok) << t.why;
        EXPECT_EQ(ok ? std::string(buf) : std::string(d.error), t.want) << t.why;
    }
}

TEST(JsonReadString, WithoutBufferOnlyValidatesWithoutLimit)
{
    Doc d("\"" + std::string(5000, 'y') + "\" ,");
    EXPECT_TRUE(json_read_string(&d.c, nullptr, 0));
    EXPECT_EQ(d.offset(), 5002);
    Doc bad("\"abc\\q\"");
    EXPECT_FALSE(json_read_string(&bad.c, nullptr, 0));
    EXPECT_STREQ(bad.error, "manifest: bad escape at byte 6");
}

struct NumberCase {
    const char *doc;
    uint64_t value;
    long end;           // offset after the read, or of the error
    const char *error;  // null when the read succeeds
};

TEST(JsonReadU64, LimitsAndRefusals)
{
    const NumberCase cases[] = {
        {"0", 0, 1, nullptr},
        {" 007,", 7, 4, nullptr},
        {"12x", 12, 2, nullptr},  // the caller's next step judges the x
        {"18446744073709551609", 18446744073709551609ull, 20, nullptr},
        {"18446744073709551610", 0, 19, "number too big"},
        {"18446744073709551615", 0, 19, "number too big"},
        {"184467440737095516090", 0, 20, "number too big"},
        {"1.0", 0, 1, "integer expected"},
        {"1e3", 0, 1, "integer expected"},
        {"1E3", 0, 1, "integer expected"},
        {"-5", 0, 0, "number expected"},
        {"+5", 0, 0, "number expected"},
        {"  \"1\"", 0, 2, "number expected"},
        {"", 0, 0, "number expected"},
        {"   ", 0, 3, "number expected"},
    };
    for (const NumberCase &t : cases) {
        Doc d(t.doc);
        uint64_t v = 12345;
        bool ok = json_read_u64(&d.c, &v);
        EXPECT_EQ(ok, t.error == nullptr) << t.doc;
        if (t.error) {
            EXPECT_EQ(d.error, err(t.error, (size_t)t.end)) << t.doc;
            EXPECT_EQ(v, 12345u) << t.doc;
        } else {
            EXPECT_EQ(v, t.value) << t.doc;
        }
        EXPECT_EQ(d.offset(), t.end) << t.doc;
    }
}

struct SkipCase {
    std::string doc;
    long end;           // offset after the skip, or of the error
    const char *error;  // null when the skip succeeds
};

TEST(JsonSkipValue, SkipsAnyValueOrFailsWhereTheReaderWould)
{
    const SkipCase cases[] = {
        {R"({"a":[true,false,null,{"b":"c"}],"d":-1} ,)", 40, nullptr},
        {" [ ] ", 4, nullptr},
        {"{}", 2, nullptr},
        {"-5", 2, nullptr},
        {"- 5", 3, nullptr},
        {"nullx", 4, nullptr},  // the caller's next step judges the x
        {"\"s\\u0041\"", 9, nullptr},
        {"[1,]", 3, "number expected"},
        {"[1}", 2, "unexpected token"},
        {"{\"a\":1]", 6, "unexpected token"},
        {"{\"a\" 1}", 5, "unexpected token"},
        {"{1:2}", 1, "unexpected token"},
        {"[", 1, "number expected"},
        {"{", 1, "unexpected token"},
        {"nul", 0, "number expected"},
        {"nulx", 0, "number expected"},
        {"fals", 0, "number expected"},
        {"-1.5", 2, "integer expected"},
        {"--1", 1, "number expected"},
        {"1e5", 1, "integer expected"},
        {"", 0, "number expected"},
    };
    for (const SkipCase &t : cases) {
        Doc d(t.doc);
        bool ok = json_skip_value(&d.c);
        EXPECT_EQ(ok, t.error == nullptr) << t.doc;
        if (t.error) {
            EXPECT_EQ(d.error, err(t.error, (size_t)t.end)) << t.doc;
        }
        EXPECT_EQ(d.offset(), t.end) << t.doc;
    }
}

TEST(JsonSkipValue, NestingIsBoundedAtTheLimit)
{
    auto nested = [](int levels, char open, const std::string &inner, char close) {
        std::string s;
        for (int i = 0; i < levels; i++)
            s += open, s += open == '{' ? "\"k\":" : "";
        s += inner;
        s += std::string((size_t)levels, close);
        return s;
    };
    Doc deepest(nested(JSON_MAX_SKIP_DEPTH, '[', "1", ']'));
    EXPECT_TRUE(json_skip_value(&deepest.c)) << deepest.error;
    EXPECT_EQ((size_t)deepest.offset(), deepest.bytes.size());

    Doc one_more(nested(JSON_MAX_SKIP_DEPTH + 1, '[', "1", ']'));
    EXPECT_FALSE(json_skip_value(&one_more.c));
    EXPECT_EQ(one_more.error, err("unexpected token", JSON_MAX_SKIP_DEPTH));

    Doc objects(nested(JSON_MAX_SKIP_DEPTH + 1, '{', "1", '}'));
    EXPECT_FALSE(json_skip_value(&objects.c));
    EXPECT_EQ(objects.error, err("unexpected token", 5 * JSON_MAX_SKIP_DEPTH));

    // Far beyond any stack: fails at the bound like the case above.
    Doc hostile(std::string(1000000, '['));
    EXPECT_FALSE(json_skip_value(&hostile.c));
    EXPECT_EQ(hostile.error, err("unexpected token", JSON_MAX_SKIP_DEPTH));
}

TEST(JsonFail, FirstErrorWinsAndErrorsAreCut)
{
    Doc d("abcdef");
    d.c.current += 2;
    EXPECT_FALSE(json_fail(&d.c, "first"));
    d.c.current += 2;
    EXPECT_FALSE(json_expect(&d.c, '{'));
    EXPECT_STREQ(d.error, "manifest: first at byte 2");

    Doc cut("x");
    EXPECT_FALSE(json_fail(&cut.c, std::string(300, 'm').c_str()));
    EXPECT_EQ(strlen(cut.error), (size_t)JSON_ERROR_BYTES - 1);

    Doc silent("x");
    silent.c.error = nullptr;
    EXPECT_FALSE(json_expect(&silent.c, '['));
}

TEST(JsonPeek, WhitespaceIsExactlyFourBytes)
{
    Doc d(" \t\r\n\v");
    EXPECT_EQ(json_peek(&d.c), '\v');
    Doc end(" \t\r\n");
    EXPECT_EQ(json_peek(&end.c), -1);
    Doc high("\xFF");
    EXPECT_EQ(json_peek(&high.c), 0xFF);
}

struct TimeCase {
    const char *text;
    int64_t want;
    const char *why;
};

TEST(ParseUtcTime, GregorianDatesOnly)
{
    const TimeCase cases[] = {
        {"2024-02-29T23:59:59Z", 1709251199, "leap day"},
        {"1970-01-01T00:00:00Z", 0, "the epoch"},
        {"2000-02-29T00:00:00Z", 951782400, "400-year leap day"},
        {"9999-12-31T23:59:59Z", 253402300799, "largest four-digit year"},
        {"2024-01-01T00:00:00Zjunk", 1704067200, "text after the Z is ignored"},
        {"2024- 5-01T12:00:00Z", 1714564800, "space instead of a leading zero"},
        {"2024-+5-01T12:00:00Z", 1714564800, "sign instead of a leading zero"},
        {"2023-02-29T00:00:00Z", -1, "no leap day"},
        {"1900-02-29T00:00:00Z", -1, "century without leap day"},
        {"2024-04-31T00:00:00Z", -1, "April has 30 days"},
        {"2024-00-10T00:00:00Z", -1, "month 0"},
        {"2024-13-10T00:00:00Z", -1, "month 13"},
        {"2024-01-00T00:00:00Z", -1, "day 0"},
        {"2024-01-01T24:00:00Z", -1, "hour 24"},
        {"2024-01-01T00:60:00Z", -1, "minute 60"},
        {"2024-01-01T00:00:60Z", -1, "second 60"},
        {"2024-01-01T00:00:00", -1, "no Z"},
        {"2024-01-01T00:00:00.5Z", -1, "fraction"},
        {"2024-01-01T00:00:00+01:00", -1, "offset"},
        {"2024-01-01 00:00:00Z", -1, "space for T"},
        {"2024-1-1T0:0:0Z", -1, "Z not at index 19"},
        {"1600-12-31T23:59:59Z", -1, "before 1601"},
        {"1969-12-31T23:59:59Z", -1, "before 1970"},
        {"", -1, "empty"},
    };
    for (const TimeCase &t : cases)
        EXPECT_EQ(parse_utc_time(t.text), t.want) << t.text << ": " << t.why;
}

// The platform's own reading of a time stamp, as a peer: the C library's
// sscanf for the layout and Windows' SYSTEMTIME conversion for the calendar.
// Times before 1970 are refused by the launcher and here alike.
int64_t platform_time(const char *text)
{
    int year, month, day, hour, minute, second;
    if (sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &day, &hour, &minute, &second) != 6)
        return -1;
    if (strlen(text) < 20 || text[19] != 'Z')
        return -1;
    SYSTEMTIME st = {};
    st.wYear = (WORD)year;
    st.wMonth = (WORD)month;
    st.wDay = (WORD)day;
    st.wHour = (WORD)hour;
    st.wMinute = (WORD)minute;
    st.wSecond = (WORD)second;
    FILETIME ft;
    SYSTEMTIME back;
    if (!SystemTimeToFileTime(&st, &ft) || !FileTimeToSystemTime(&ft, &back))
        return -1;
    // Wine's conversion moves a 29th of February of a common year to the 1st
    // of March where Windows refuses it; the way back shows the move.
    if (back.wYear != st.wYear || back.wMonth != st.wMonth || back.wDay != st.wDay)
        return -1;
    uint64_t ticks = (uint64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    if (ticks < 116444736000000000ull)
        return -1;
    return (int64_t)((ticks - 116444736000000000ull) / 10000000);
}

TEST(ParseUtcTime, AgreesWithThePlatformOnEveryDayAndOnChangedTexts)
{
    char text[32];
    // Every day 0..32 of every month of years around the calendar's edges.
    for (int year : {1601, 1900, 1969, 1970, 1999, 2000, 2023, 2024, 2100, 2400, 9999})
        for (int month = 0; month <= 13; month++)
            for (int day = 0; day <= 32; day++) {
                snprintf(text, sizeof text, "%04d-%02d-%02dT23:59:59Z", year, month, day);
                ASSERT_EQ(parse_utc_time(text), platform_time(text)) << text;
            }
    // Leap days of every year the four-digit field can hold.
    for (int year = 1601; year <= 9999; year++) {
        snprintf(text, sizeof text, "%04d-02-29T00:00:00Z", year);
        ASSERT_EQ(parse_utc_time(text), platform_time(text)) << text;
    }
    // One or two bytes of a stamp replaced by bytes that matter to the scan.
    const char base[] = "2024-02-29T13:07:09Zx";
    const char swaps[] = {' ', '\t', '+', '-', '0', '9', 'Z', 'T', ':', 'x', '\0'};
    const size_t n = sizeof base - 1;
    for (size_t i = 0; i < n; i++)
        for (char a : swaps)
            for (size_t j = i; j < n; j++)
                for (char b : swaps) {
                    memcpy(text, base, sizeof base);
                    text[i] = a;
                    text[j] = b;
                    ASSERT_EQ(parse_utc_time(text), platform_time(text)) << "[" << text << "]";
                }
}

}  // namespace
