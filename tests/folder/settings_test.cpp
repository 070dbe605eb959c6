// The settings file's text: a value read and set in files as players leave
// them, and the download limit's words.
#include "folder/folder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string set(const std::string &text, const char *value)
{
    char out[512];
    size_t n = settings_set(text.data(), text.size(), "download", "limit", value, out, sizeof out);
    return std::string(out, n);
}

std::string get(const std::string &text)
{
    char out[32];
    return settings_get(text.data(), text.size(), "download", "limit", out, sizeof out) ? out
                                                                                        : "<none>";
}

TEST(SettingsText, ValueReadAndSetWhereverThePlayerLeftIt)
{
    const struct {
        const char *why;
        std::string before, value_before, after;
    } rows[] = {
        {"no file", "", "<none>", "[download]\r\nlimit=5 MB/s\r\n"},
        {"another section only, without a last line end", "[sound]\nvolume=3",
         "<none>", "[sound]\nvolume=3\r\n[download]\r\nlimit=5 MB/s\r\n"},
        {"the key in another section", "[other]\nlimit=1 KB/s\n[download]\n",
         "<none>", "[other]\nlimit=1 KB/s\n[download]\nlimit=5 MB/s\r\n"},
        {"the section without the key, before another",
         "[Download]\r\nx=1\r\n[sound]\r\nlimit=9\r\n", "<none>",
         "[Download]\r\nx=1\r\nlimit=5 MB/s\r\n[sound]\r\nlimit=9\r\n"},
        {"the key replaced in place, comments and case kept",
         "; mine\r\n[ DOWNLOAD ]\r\n  Limit = 500 KB/s \r\n# end\r\n", "500 KB/s",
         "; mine\r\n[ DOWNLOAD ]\r\nlimit=5 MB/s\r\n# end\r\n"},
        {"the key last, without a line end", "[download]\nlimit=off", "off",
         "[download]\nlimit=5 MB/s\r\n"},
        {"an empty value", "[download]\nlimit=\n", "", "[download]\nlimit=5 MB/s\r\n"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(get(r.before), r.value_before) << r.why;
        EXPECT_EQ(set(r.before, "5 MB/s"), r.after) << r.why;
        EXPECT_EQ(get(r.after), "5 MB/s") << r.why;
    }
    // A text that would not fit is refused whole, never cut.
    char small[8];
    EXPECT_EQ(settings_set("", 0, "download", "limit", "5 MB/s", small, sizeof small), 0u);
}

TEST(SettingsText, LimitWords)
{
    const struct {
        const char *text;
        bool ok;
        uint64_t rate;
        const char *shown;  // as formatted back
    } rows[] = {
        {"off", true, 0, "off"},
        {" OFF ", true, 0, "off"},
        {"0", true, 0, "off"},
        {"", true, 0, "off"},
        {"5 MB/s", true, 5242880, "5 MB/s"},
        {"5mb/s", true, 5242880, "5 MB/s"},
        {"2.5 MB/s", true, 2621440, "2560 KB/s"},
        {"500 KB/s", true, 512000, "500 KB/s"},
        {"500KB", true, 512000, "500 KB/s"},
        {"1.5 KB/s", true, 1536, "2 KB/s"},
        {"0.999 KB/s", false, 0, nullptr},
        {"10240 MB/s", true, 10737418240ull, "10240 MB/s"},
        {"10241 MB/s", false, 0, nullptr},
        {"0 KB/s", false, 0, nullptr},
        {"5", false, 0, nullptr},
        {"5 GB/s", false, 0, nullptr},
        {"-5 MB/s", false, 0, nullptr},
        {"1.2.3 MB/s", false, 0, nullptr},
        {"1.2345 MB/s", false, 0, nullptr},
        {"9999999999 KB/s", false, 0, nullptr},
    };
    for (const auto &r : rows) {
        uint64_t rate = 77;
        EXPECT_EQ(rate_limit_parse(r.text, &rate), r.ok) << r.text;
        if (!r.ok)
            continue;
        EXPECT_EQ(rate, r.rate) << r.text;
        char shown[RATE_TEXT_BYTES];
        rate_limit_format(rate, shown, sizeof shown);
        EXPECT_STREQ(shown, r.shown) << r.text;
    }
}

}  // namespace
