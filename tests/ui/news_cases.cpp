#include "news_cases.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace news_cases {

namespace {

std::string repeat(const std::string &s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; i++)
        out += s;
    return out;
}

std::u16string repeat16(const std::u16string &s, size_t n)
{
    std::u16string out;
    for (size_t i = 0; i < n; i++)
        out += s;
    return out;
}

// One feed object with a title and, when `date` is given, a date under `key`.
std::string item(const std::string &id, const std::string &title, const char *key = nullptr,
                 const char *date = nullptr)
{
    std::string s = "{\"id\":" + id + ",\"title\":\"" + title + "\"";
    if (key)
        s += std::string(",\"") + key + "\":\"" + date + "\"";
    return s + "}";
}

// The document in a block of exactly its size, so that a read past its end
// is a sanitizer report in the native build.
struct Exact {
    char *p;
    explicit Exact(const std::string &s) : p((char *)malloc(s.size() ? s.size() : 1))
    {
        memcpy(p, s.data(), s.size());
    }
    ~Exact() { free(p); }
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
};

// Printable ASCII as it is, every other unit as \uXXXX.
std::string shown(const wchar_t *units)
{
    std::string out = "\"";
    for (; *units; units++) {
        uint32_t u = (uint32_t)*units;
        char hex[16];
        if (u >= 0x20 && u < 0x7F) {
            out += (char)u;
        } else {
            snprintf(hex, sizeof hex, "\\u%04X", (unsigned)u);
            out += hex;
        }
    }
    return out + "\"";
}

std::string shown(const std::u16string &s)
{
    std::vector<wchar_t> units(s.begin(), s.end());
    units.push_back(0);
    return shown(units.data());
}

bool same(const wchar_t *got, const std::u16string &want)
{
    size_t i = 0;
    for (; i < want.size(); i++) {
        if ((uint32_t)got[i] != (uint32_t)want[i])
            return false;
    }
    return got[i] == 0;
}

// A terminator within `cap` units, every unit 16 bits, surrogates paired.
bool well_formed(const wchar_t *s, size_t cap)
{
    for (size_t i = 0; i < cap; i++) {
        uint32_t u = (uint32_t)s[i];
        if (u == 0)
            return true;
        if (u > 0xFFFF || (u >= 0xDC00 && u <= 0xDFFF))
            return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= cap || (uint32_t)s[i + 1] < 0xDC00 || (uint32_t)s[i + 1] > 0xDFFF)
                return false;
            i++;
        }
    }
    return false;
}

}  // namespace

std::vector<StatusCase> status_cases()
{
    return {
        {"true right after the colon", R"({"gameServer":{"online":true,"players":120}})", 1},
        {"blanks around the colons", "{\"gameServer\" :{\"online\" :\n\t true}}", 1},
        {"false", R"({"gameServer":{"online":false}})", 0},
        {"capitals", R"({"gameServer":{"online":TRUE}})", 0},
        {"a quoted true", R"({"gameServer":{"online":"true"}})", 0},
        {"the body ends after the colon", R"({"gameServer":{"online":)", 0},
        {"the body ends inside true", R"({"gameServer":{"online":tru)", 0},
        {"online before gameServer is not looked at", R"({"online":true,"gameServer":{}})", -1},
        {"online of a later object still counts", R"({"gameServer":{},"web":{"online":true}})", 1},
        {"no gameServer", R"({"server":{"online":true}})", -1},
        {"gameServer without online", R"({"gameServer":{"players":3}})", -1},
        {"a pretty-printed document", "{\n  \"gameServer\": {\n    \"online\": true\n  }\n}\n", 1},
        {"a key that only begins like online", R"({"gameServer":{"onlineSince":1,"online":false}})", 0},
        {"empty body", "", -1},
    };
}

std::vector<FeedCase> feed_cases()
{
    std::vector<FeedCase> cases = {
        {"three items",
         "{\"items\":[" + item("12", "Patch 1.2", "published_at", "2024-03-07T10:00:00Z") + "," +
             item("11", "Maintenance", "published_at", "2024-02-29T08:00:00Z") + "," +
             item("9", "Welcome", "published_at", "2023-12-31T23:59:59Z") + "]}",
         {{12, u"7 Mar", u"Patch 1.2"}, {11, u"29 Feb", u"Maintenance"}, {9, u"31 Dec", u"Welcome"}}},
        {"the fourth and later items are ignored",
         "[" + item("1", "a") + "," + item("2", "b") + "," + item("3", "c") + "," + item("4", "d") +
             "," + item("5", "e") + "]",
         {{1, u"", u"a"}, {2, u"", u"b"}, {3, u"", u"c"}}},
        {"blanks around keys, colons and values",
         "[{ \"id\" : 1 , \"title\" :\t\"a\" },\r\n{\n\"id\":\n2,\n\"title\": \"b\"}]",
         {{1, u"", u"a"}, {2, u"", u"b"}}},
        {"a pretty-printed feed",
         "{\n  \"items\": [\n    {\n      \"id\": 7,\n      \"title\": \"Patch\",\n"
         "      \"published_at\": \"2024-03-07T10:00:00Z\"\n    },\n    {\n      \"id\": 6,\n"
         "      \"title\": \"Fest\"\n    }\n  ]\n}\n",
         {{7, u"7 Mar", u"Patch"}, {6, u"", u"Fest"}}},
        {"an id key without its object's brace is no item", R"([{"x":1,"id":3,"title":"a"}])", {}},
        {"blanks and a plus sign before the id are read, a minus one skips",
         R"([{"id": 7,"title":"a"},{"id":+8,"title":"b"},{"id":-9,"title":"c"}])",
         {{7, u"", u"a"}, {8, u"", u"b"}}},
        {"id 0 and an id without digits are skipped",
         R"([{"id":0,"title":"zero"},{"id":"5","title":"quoted"},{"id":6,"title":"six"}])",
         {{6, u"", u"six"}}},
        {"an id past 32 bits is skipped, the largest one kept",
         "[" + item("99999999999999999999999", "huge") + "," + item("2147483648", "big") + "," +
             item("2147483647", "max") + "]",
         {{2147483647, u"", u"max"}}},
        {"an item without a title is skipped and borrows no later title",
         R"([{"id":1,"published_at":"2024-01-02"},{"id":2,"title":"two"}])",
         {{2, u"", u"two"}}},
        {"an item without a date borrows no later date",
         R"([{"id":1,"title":"one"},{"id":2,"title":"two","published_at":"2024-01-02"}])",
         {{1, u"", u"one"}, {2, u"2 Jan", u"two"}}},
        {"an item's own createdAt, not a later item's published_at",
         "[" + item("1", "a", "createdAt", "2024-01-05") + "," +
             item("2", "b", "published_at", "2024-02-06") + "]",
         {{1, u"5 Jan", u"a"}, {2, u"6 Feb", u"b"}}},
        {"keys of objects inside an item are not the item's",
         R"([{"id":1,"author":{"title":"Sir","published_at":"2020-01-01"},"title":"own"}])",
         {{1, u"", u"own"}}},
        {"a wrapper object with an id of its own does not hide its items",
         R"({"id":"feed","items":[{"id":3,"title":"in"}]})", {{3, u"", u"in"}}},
        {"a title in a string that holds braces and quotes",
         R"([{"id":1,"body":"} {\"title\":\"x\"","title":"real"}])", {{1, u"", u"real"}}},
        {"month 13, letters for a day, a short date",
         "[" + item("1", "a", "published_at", "2024-13-01") + "," +
             item("2", "b", "published_at", "2024-03-xx") + "," +
             item("3", "c", "published_at", "2024-03") + "]",
         {{1, u"", u"a"}, {2, u"0 Mar", u"b"}, {3, u"", u"c"}}},
        {"a date that is no string is empty", R"({"id":1,"title":"a","published_at":20240307})",
         {{1, u"", u"a"}}},
        {"a title that is no string is empty and the item stays", R"({"id":4,"title":null})",
         {{4, u"", u""}}},
        {"escapes in a title", R"({"id":1,"title":"\u00e9t\u00E9\n\r\tx\"y\\z\/"})",
         {{1, u"", u"\u00E9t\u00E9   x\"y\\z/"}}},
        {"escapes of every length and a surrogate pair",
         R"({"id":1,"title":"\u0041\u00e9\u20AC\ud83d\ude00\u2013"})",
         {{1, u"", u"A\u00E9\u20AC\U0001F600\u2013"}}},
        {"lone, reversed and broken surrogates, and a bad digit, as U+FFFD",
         R"({"id":1,"title":"\ud83da\ude00b\ude00\ud83dc\ud83d\u0041\u12G4"})",
         {{1, u"", u"\uFFFDa\uFFFDb\uFFFD\uFFFDc\uFFFDA\uFFFD"}}},
        {"escaped control characters as blanks", R"({"id":1,"title":"a\u0000b\u001fc"})",
         {{1, u"", u"a b c"}}},
        {"UTF-8 to UTF-16, invalid bytes as U+FFFD",
         item("1", "K\xC3\xB6rvanth \xE2\x82\xAC \xF0\x9F\x98\x80 \xFF|\xE2\x82|\xC0\xAF"),
         {{1, u"", u"K\u00F6rvanth \u20AC \U0001F600 \uFFFD|\uFFFD|\uFFFD\uFFFD"}}},
        {"a title of exactly 95 characters stays whole", item("1", std::string(95, 'x')),
         {{1, u"", std::u16string(95, u'x')}}},
        {"one word of 100 characters is cut to 94 and an ellipsis",
         item("1", std::string(100, 'x')), {{1, u"", std::u16string(94, u'x') + u"\u2026"}}},
        {"a long title ends at a word with an ellipsis",
         item("1", repeat("word ", 19) + "tail"), {{1, u"", repeat16(u"word ", 18) + u"word\u2026"}}},
        {"the word the ellipsis displaces goes whole",
         item("1", std::string(93, 'x') + " y z"), {{1, u"", std::u16string(93, u'x') + u"\u2026"}}},
        {"a surrogate pair is never split by the ellipsis",
         item("1", repeat("\xF0\x9F\x98\x80", 48)),
         {{1, u"", repeat16(u"\U0001F600", 47) + u"\u2026"}}},
        {"a title of 270 bytes is cut to 252 before conversion",
         item("1", repeat("\xE8\xAA\x9E", 90)), {{1, u"", repeat16(u"\u8A9E", 84) + u"\u2026"}}},
        {"a cut through a character drops it whole", item("1", "a" + repeat("\xE8\xAA\x9E", 90)),
         {{1, u"", u"a" + repeat16(u"\u8A9E", 83) + u"\u2026"}}},
        {"a feed cut inside a title keeps what came", R"([{"id":1,"title":"Half a tit)",
         {{1, u"", u"Half a tit"}}},
        {"a \\u cut by the end of the body keeps the u", R"({"id":1,"title":"ab\u12)",
         {{1, u"", u"abu12"}}},
        {"a backslash that ends the body stays", R"({"id":1,"title":"ab\)", {{1, u"", u"ab\\"}}},
        {"a feed that ends right after the id key", R"({"id":)", {}},
        {"an empty body", "", {}},
    };
    static const char *const KEYS[] = {"published_at", "publishedAt", "created_at", "createdAt"};
    static const char *const WHY[] = {"date key published_at", "date key publishedAt",
                                      "date key created_at", "date key createdAt"};
    for (int k = 0; k < 4; k++) {
        std::string date = "2024-0" + std::to_string(k + 1) + "-1" + std::to_string(k);
        std::u16string want = u"1" + std::u16string(1, (char16_t)(u'0' + k)) + u" " +
                              std::u16string(u"JanFebMarApr").substr(3 * k, 3);
        cases.push_back({WHY[k], "[" + item("5", "t", KEYS[k], date.c_str()) + "]",
                         {{5, want, u"t"}}});
    }
    return cases;
}

std::vector<CopyCase> copy_cases()
{
    return {
        {"plain", R"("abc")", 256, "abc"},
        {"no quote at the position", R"(abc")", 256, ""},
        {"a blank before the quote", R"( "abc")", 256, ""},
        {"an empty range", "", 256, ""},
        {"no closing quote", R"("abc)", 256, "abc"},
        {"capacity less four bytes", R"("abcdefgh")", 9, "abcde"},
        {"capacity 5 keeps one byte", R"("abc")", 5, "a"},
        {"capacity 4 keeps none", R"("abc")", 4, ""},
        {"capacity 1 keeps none", R"("abc")", 1, ""},
        {"capacity 0 writes nothing", R"("abc")", 0, ""},
        {"an escape is one byte of the limit", R"("\n\r\t\n")", 7, "   "},
        {"\\u as UTF-8, a bad digit as U+FFFD", R"("a\u00e9b\uZZZZc")", 256,
         "a\xC3\xA9" "b\xEF\xBF\xBD" "c"},
        {"\\u cut by the range", R"("a\u00e)", 256, "au00e"},
        {"\\u with exactly its four characters left", R"("a\u00e9)", 256, "a\xC3\xA9"},
        {"a high surrogate whose low half is cut by the range", R"("\ud83d\ude0)", 256,
         "\xEF\xBF\xBDude0"},
        {"an escaped character that does not fit is not cut", R"("ab\u20ac")", 7, "ab"},
        {"an escaped pair needs four bytes", R"("a\ud83d\ude00")", 8, "a"},
        {"and fits in them", R"("a\ud83d\ude00")", 9, "a\xF0\x9F\x98\x80"},
        {"other escaped bytes", R"("\"\\\/\b\x")", 256, "\"\\/bx"},
        {"a cut inside a character drops it", "\"ab\xE2\x82\xAC\"", 7, "ab"},
        {"a cut after a whole character keeps it", "\"a\xE2\x82\xAC" "b\"", 8, "a\xE2\x82\xAC"},
        {"stray continuation bytes at the cut stay", "\"\x80\x80\x80\x80\x80\"", 7,
         "\x80\x80\x80"},
        {"a byte that begins no sequence stays at the cut", "\"ab\xF5\x80\x80\"", 7, "ab\xF5"},
        {"invalid bytes are copied as they are", "\"\xFF\xFE\"", 256, "\xFF\xFE"},
    };
}

std::vector<DateCase> date_cases()
{
    return {
        {"a full time stamp", "2024-03-07T10:00:00Z", u"7 Mar"},
        {"exactly 10 bytes", "2024-12-25", u"25 Dec"},
        {"January", "2024-01-01", u"1 Jan"},
        {"month 13", "2024-13-01", u""},
        {"month 0", "2024-00-10", u""},
        {"letters for a day", "2024-03-xx", u"0 Mar"},
        {"9 bytes", "2024-03-0", u""},
        {"empty", "", u""},
        {"blanks before the numbers", "2024- 3- 7", u"7 Mar"},
        {"the day is not checked", "2024-03-45", u"45 Mar"},
        {"nor its sign", "2024-03--7", u"-7 Mar"},
        {"a day past 32 bits is clamped", "2024-03-99999999999999999999", u"2147483647 Mar"},
        {"and below", "2024-03--99999999999999999999", u"-2147483648 Mar"},
        {"a month past 64 bits", "2024-99999999999999999999-01", u""},
    };
}

std::string check(const StatusCase &c)
{
    Exact in(c.doc);
    ServerInfo info = {};
    info.server_status = 7;
    scan_server_status(in.p, c.doc.size(), &info);
    if (info.server_status != c.want)
        return "status " + std::to_string(info.server_status) + ", want " + std::to_string(c.want);
    return "";
}

std::string check(const FeedCase &c)
{
    Exact in(c.doc);
    ServerInfo info = {};
    scan_news_feed(in.p, c.doc.size(), &info);
    std::string bad = check_invariants(info);
    if (!bad.empty())
        return bad;
    if ((size_t)info.item_count != c.want.size())
        return std::to_string(info.item_count) + " items, want " + std::to_string(c.want.size());
    for (size_t i = 0; i < c.want.size(); i++) {
        const NewsItem &got = info.items[i];
        const WantItem &want = c.want[i];
        std::string at = "item " + std::to_string(i) + ": ";
        if (got.id != want.id)
            return at + "id " + std::to_string(got.id) + ", want " + std::to_string(want.id);
        if (!same(got.date, want.date))
            return at + "date " + shown(got.date) + ", want " + shown(want.date);
        if (!same(got.title, want.title))
            return at + "title " + shown(got.title) + ", want " + shown(want.title);
    }
    return "";
}

std::string check(const CopyCase &c)
{
    Exact in(c.doc);
    const char FILL = 0x55;
    std::vector<char> buf(c.cap_bytes + 8, FILL);
    copy_json_string(in.p, in.p + c.doc.size(), buf.data(), c.cap_bytes);
    for (size_t i = c.cap_bytes; i < buf.size(); i++) {
        if (buf[i] != FILL)
            return "byte " + std::to_string(i) + " written past the capacity";
    }
    if (c.cap_bytes == 0)
        return "";
    if (!memchr(buf.data(), 0, c.cap_bytes))
        return "no terminator";
    if (buf.data() != c.want)
        return "copied \"" + std::string(buf.data()) + "\", want \"" + c.want + "\"";
    return "";
}

std::string check(const DateCase &c)
{
    wchar_t out[NEWS_DATE_CHARS];
    for (wchar_t &u : out)
        u = 0x5555;
    Exact in(std::string(c.date, strlen(c.date) + 1));
    format_news_date(in.p, out);
    if (!well_formed(out, NEWS_DATE_CHARS))
        return "no terminator within the field";
    if (!same(out, c.want))
        return "date " + shown(out) + ", want " + shown(c.want);
    return "";
}

std::string check_invariants(const ServerInfo &info)
{
    if (info.item_count < 0 || info.item_count > NEWS_ITEMS)
        return "item count " + std::to_string(info.item_count);
    for (int i = 0; i < NEWS_ITEMS; i++) {
        const NewsItem &it = info.items[i];
        std::string at = "item " + std::to_string(i) + ": ";
        if (i >= info.item_count) {
            static const NewsItem ZERO = {};
            if (memcmp(&it, &ZERO, sizeof it) != 0)
                return at + "written past the count";
            continue;
        }
        if (it.id <= 0)
            return at + "id " + std::to_string(it.id);
        if (!well_formed(it.title, NEWS_TITLE_CHARS))
            return at + "title not terminated or not UTF-16";
        if (!well_formed(it.date, NEWS_DATE_CHARS))
            return at + "date not terminated or not UTF-16";
    }
    return "";
}

std::string check_any_document(const std::string &doc)
{
    Exact in(doc);
    ServerInfo info = {};
    info.server_status = 7;
    scan_server_status(in.p, doc.size(), &info);
    if (info.server_status < -1 || info.server_status > 1)
        return "status " + std::to_string(info.server_status);
    scan_news_feed(in.p, doc.size(), &info);
    return check_invariants(info);
}

std::string check_any_copy(const std::string &doc, size_t cap_bytes)
{
    Exact in(doc);
    char *buf = (char *)malloc(cap_bytes ? cap_bytes : 1);
    std::string bad;
    for (size_t at = 0; at <= doc.size() && bad.empty(); at++) {
        copy_json_string(in.p + at, in.p + doc.size(), buf, cap_bytes);
        size_t limit = cap_bytes > 4 ? cap_bytes - 4 : 0;
        if (cap_bytes && strnlen(buf, cap_bytes) > limit)
            bad = "copied more than the capacity allows at byte " + std::to_string(at);
    }
    free(buf);
    return bad;
}

std::string check_any_date(const std::string &text)
{
    std::string c_text = text.substr(0, text.find('\0'));
    Exact in(std::string(c_text.data(), c_text.size() + 1));
    wchar_t out[NEWS_DATE_CHARS];
    format_news_date(in.p, out);
    return well_formed(out, NEWS_DATE_CHARS) ? "" : "date not terminated or not UTF-16";
}

}  // namespace news_cases
