// The state text: lenient reading, the canonical line form, and the table
// operations.
#include "manifest/manifest.h"

#include "state_entries.h"
#include "support/state_text.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

struct Parsed {
    LocalState s;
    explicit Parsed(const std::string &text)
    {
        state_init(&s);
        state_parse_text(&s, text.data(), text.size());
    }
    ~Parsed() { state_free(&s); }
};

TEST(StateText, HeaderLinesAreReadLeniently)
{
    const struct {
        const char *line;
        int32_t interface_on, dxvk, trial;
        int64_t generated;
    } cases[] = {
        {"#dxvk=-5", 0, -1, 0, 0},
        {"#dxvk=2", 0, 1, 0, 0},
        {"#dxvk=", 0, 0, 0, 0},
        {"#dxvk= +3x", 0, 1, 0, 0},
        {"#dxvk=99999999999999999999", 0, 1, 0, 0},
        {"#dxvk=-99999999999999999999", 0, -1, 0, 0},
        {"#DXVK=1", 0, -1, 0, 0},  // prefixes match byte for byte
        {"#interface=yes", 0, -1, 0, 0},
        {"#interface=1", 1, -1, 0, 0},
        {"#interface=4294967296", 1, -1, 0, 0},  // not cut to 32 bits
        {"#dxvk_trial=7", 0, -1, 1, 0},
        {"#generated=1714564800", 0, -1, 0, 1714564800},
        {"#generated=-12", 0, -1, 0, -12},
        {"#generated=99999999999999999999", 0, -1, 0, INT64_MAX},
        {"#generated=-9223372036854775808", 0, -1, 0, INT64_MIN},
    };
    for (const auto &t : cases) {
        Parsed p(std::string("#Korvanth state\r\n") + t.line + "\r\n");
        EXPECT_EQ(p.s.custom_interface, t.interface_on) << t.line;
        EXPECT_EQ(p.s.dxvk, t.dxvk) << t.line;
        EXPECT_EQ(p.s.dxvk_trial, t.trial) << t.line;
        EXPECT_EQ(p.s.generated, t.generated) << t.line;
    }

    Parsed version("#version= v 1.2" + std::string(60, 'x') + "  \r\n");
    EXPECT_EQ(std::string(version.s.version), (" v 1.2" + std::string(60, 'x')).substr(0, 47));
}

TEST(StateText, OnlyValidEntryLinesAreKept)
{
    const std::string text =
        "#Korvanth state\n"
        "ok/lf\t1\t2\t" + HEX_A + "\n"
        "ok/crlf\t3\t4\t" + HEX_A + "\r\n"
        "ok/spaces\t5\t6\t" + HEX_A + "  \r \n"
        "ok/upper\t7\t8\t" + std::string(64, 'A') + "\n"
        "ok/lenient\t12abc\tx\t" + HEX_A + "\n"
        "ok/huge\t99999999999999999999\t18446744073709551615\t" + HEX_A + "\n"
        "bad/short\t1\t2\t" + HEX_A.substr(1) + "\n"
        "bad\\backslash\t1\t2\t" + HEX_A + "\n"
        "bad/two-tabs\t1\t" + HEX_A + "\n"
        "bad/fourth-tab\t1\t2\t" + HEX_A.substr(0, 32) + "\t" + HEX_A.substr(33) + "\n"
        "bad/../up\t1\t2\t" + HEX_A + "\n"
        // Records of the launcher's own files: not the client's, whatever
        // an older release said; below the top the names are the client's.
        "Korvanth.state\t1\t2\t" + HEX_A + "\n"
        "korvanth.CHUNKS/x\t1\t2\t" + HEX_A + "\n"
        "ok/Korvanth.log\t1\t2\t" + HEX_A + "\n"
        "\t1\t2\t" + HEX_A + "\n" +
        std::string(400, 'p') + "\t1\t2\t" + HEX_A + "\n" +
        std::string(399, 'q') + "\t1\t2\t" + HEX_A + "\n"
        "\n\n   \r\n";
    Parsed p(text);
    const char *want[] = {"ok/Korvanth.log", "ok/crlf",   "ok/huge",
                          "ok/lenient",      "ok/lf",     "ok/spaces", "ok/upper"};
    ASSERT_EQ(p.s.count, 8);
    for (int i = 0; i < 7; i++)
        EXPECT_STREQ(p.s.entries[i].path, want[i]);
    EXPECT_EQ(std::string(p.s.entries[7].path), std::string(399, 'q'));

    const StateEntry *e = state_find(&p.s, "ok/spaces");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 5u);
    EXPECT_EQ(e->write_time, 6u);
    EXPECT_EQ(e->digest[0], 0xAA);
    e = state_find(&p.s, "ok/lenient");
    EXPECT_EQ(e->size, 12u);
    EXPECT_EQ(e->write_time, 0u);
    e = state_find(&p.s, "ok/huge");
    EXPECT_EQ(e->size, UINT64_MAX);
    EXPECT_EQ(e->write_time, UINT64_MAX);
}

// The uninstall names the lines dropped for their path, since their files
// stay: each is told with its path's first bytes, its length and why, even
// when the rest of the line is broken too; lines dropped for anything else
// are not told.
TEST(StateText, LinesDroppedForTheirPathAreTold)
{
    const std::string tail = "\t1\t2\t" + HEX_A;
    const std::string p120(120, 'p');
    const struct {
        std::string line;
        const char *head;  // null: not told
        size_t bytes;
        StatePathFault fault;
    } cases[] = {
        {"../../x" + tail, "../../x", 7, STATE_PATH_LEAVES_FOLDER},
        {"..\\..\\x\t1", "..\\..\\x", 7, STATE_PATH_LEAVES_FOLDER},
        {"/abs.txt" + tail, "/abs.txt", 8, STATE_PATH_LEAVES_FOLDER},
        {"C:/abs.txt" + tail, "C:/abs.txt", 10, STATE_PATH_LEAVES_FOLDER},
        {"data/CON.txt" + tail, "data/CON.txt", 12, STATE_PATH_NOT_A_NAME},
        {"trail.\tx", "trail.", 6, STATE_PATH_NOT_A_NAME},
        {std::string(400, 'p') + tail, p120.c_str(), 400, STATE_PATH_NOT_A_NAME},
        {std::string(130, 'p') + "/../x" + tail, p120.c_str(), 135, STATE_PATH_LEAVES_FOLDER},
        {"ok/file" + tail, nullptr, 0, STATE_PATH_NOT_A_NAME},
        {"KORVANTH.LOG" + tail, nullptr, 0, STATE_PATH_NOT_A_NAME},  // ours: gone unnamed
        {"ok/short\t1\t2\tab", nullptr, 0, STATE_PATH_NOT_A_NAME},
        {"#../x" + tail, nullptr, 0, STATE_PATH_NOT_A_NAME},
        {tail, nullptr, 0, STATE_PATH_NOT_A_NAME},
        {"../x", nullptr, 0, STATE_PATH_NOT_A_NAME},
    };
    std::string all;
    int told = 0;
    for (const auto &t : cases) {
        StateRefusals refused = {};
        LocalState s;
        state_init(&s);
        state_parse_text(&s, t.line.data(), t.line.size(), &refused);
        state_free(&s);
        all += t.line + "\r\n";
        if (!t.head) {
            EXPECT_EQ(refused.count, 0) << t.line;
            continue;
        }
        told++;
        ASSERT_EQ(refused.count, 1) << t.line;
        ASSERT_EQ(refused.kept, 1) << t.line;
        EXPECT_STREQ(refused.paths[0].head, t.head) << t.line;
        EXPECT_EQ(refused.paths[0].bytes, t.bytes) << t.line;
        EXPECT_EQ(refused.paths[0].fault, t.fault) << t.line;
    }

    // In the text's order; past the kept ones, only counted.
    for (int i = 0; i < STATE_REFUSED_KEPT; i++)
        all += "x/" + std::to_string(i) + "/.." + tail + "\n";
    StateRefusals refused = {};
    Parsed p("");
    state_parse_text(&p.s, all.data(), all.size(), &refused);
    EXPECT_EQ(p.s.count, 1);
    EXPECT_EQ(refused.count, told + STATE_REFUSED_KEPT);
    ASSERT_EQ(refused.kept, STATE_REFUSED_KEPT);
    EXPECT_STREQ(refused.paths[0].head, "../../x");
    EXPECT_STREQ(refused.paths[told].head, "x/0/..");
}

TEST(StateText, NulEndsTheText)
{
    static const char text[] = "#dxvk=1\r\n\0#interface=1\r\n";
    Parsed p(std::string(text, sizeof text - 1));
    EXPECT_EQ(p.s.dxvk, 1);
    EXPECT_EQ(p.s.custom_interface, 0);
}

TEST(StateText, ControlBytesOfTheVersionAreWrittenAsQuestionMarks)
{
    LocalState s;
    state_init(&s);
    strcpy(s.version, "1.0\r\n#dxvk=1\x7F\tend");
    char out[STATE_LINE_BYTES];
    size_t n = state_format_header(&s, out, sizeof out);
    EXPECT_EQ(std::string(out, n),
              "#Korvanth state\r\n#interface=0\r\n#dxvk=-1\r\n#dxvk_trial=0\r\n"
              "#generated=0\r\n#version=1.0??#dxvk=1??end\r\n");
    Parsed back(std::string(out, n));
    EXPECT_EQ(back.s.dxvk, -1);
    EXPECT_STREQ(back.s.version, "1.0??#dxvk=1??end");
    // UTF-8 passes unchanged.
    strcpy(s.version, "\xC3\xA9\xE2\x82\xAC");
    n = state_format_header(&s, out, sizeof out);
    EXPECT_NE(std::string(out, n).find("#version=\xC3\xA9\xE2\x82\xAC\r\n"), std::string::npos);
}

// A launcher with root keys adds "#keys=VERSION HEX" to the header. A
// launcher of today or older skips every '#' line it does not know and
// loads the rest as before: what makes the added line safe to write.
TEST(StateText, HeaderLinesOfLaterLaunchersAreSkipped)
{
    const std::string known = "#Korvanth state\r\n#interface=1\r\n#dxvk=0\r\n#dxvk_trial=1\r\n"
                              "#generated=1767225600\r\n#version=1.0\r\n";
    const std::string entry = "a/b\t5\t6\t" + HEX_A + "\r\n";
    Parsed plain(known + entry);
    const std::string keys = "#keys=7 " + std::string(64, 'c');
    const std::string refused = "#refused_launcher=" + std::string(64, 'd');
    for (const char *later : {keys.c_str(), refused.c_str(), "#keys=", "#later=1", "#",
                              "#interface", "#Korvanth state 2"}) {
        for (size_t at : {(size_t)0, known.find("#dxvk="), known.size()}) {
            std::string text = known;
            text.insert(at, std::string(later) + "\r\n");
            Parsed p(text + entry);
            p.s.keys_version = 0;  // the two lines this reader knows
            memset(p.s.keys_digest, 0, SHA256_BYTES);
            p.s.has_refused_launcher = 0;
            memset(p.s.refused_launcher, 0, SHA256_BYTES);
            EXPECT_EQ(testing_support::state_as_text(p.s), testing_support::state_as_text(plain.s))
                << later << " at " << at;
        }
    }
}

TEST(StateText, KeysLineHasBothPartsOrCountsForNothing)
{
    const std::string hex = "00ff" + std::string(60, 'e');
    const struct {
        std::string line;
        uint64_t version;
        const char *why;
    } cases[] = {
        {"#keys=12 " + hex, 12, "version and digest"},
        {"#keys=18446744073709551615 " + hex, UINT64_MAX, "the largest version"},
        {"#keys=12 " + hex + "   ", 12, "trailing blanks go with the line's end"},
        {"#keys=0 " + hex, 0, "version 0 is none"},
        {"#keys=12", 0, "no digest"},
        {"#keys=12 " + hex.substr(1), 0, "a digit short"},
        {"#keys=12 " + hex + "0", 0, "a digit more"},
        {"#keys=12  " + hex.substr(1), 0, "two blanks"},
        {"#keys= 12 " + hex, 0, "a blank first"},
        {"#keys=-12 " + hex, 0, "a sign"},
        {"#keys=1x " + hex, 0, "not a number"},
        {"#keys=12 " + std::string(64, 'g'), 0, "not hex"},
    };
    for (const auto &t : cases) {
        Parsed p("#Korvanth state\r\n" + t.line + "\r\n");
        EXPECT_EQ(p.s.keys_version, t.version) << t.why;
        EXPECT_EQ(p.s.keys_digest[0], t.version ? 0x00 : 0) << t.why;
        EXPECT_EQ(p.s.keys_digest[1], t.version ? 0xFF : 0) << t.why;
    }
}

TEST(StateText, KeysLineIsWrittenOnlyWithAVersion)
{
    LocalState s;
    state_init(&s);
    char out[STATE_LINE_BYTES];
    std::string without(out, state_format_header(&s, out, sizeof out));
    EXPECT_EQ(without.find("#keys="), std::string::npos);
    s.keys_version = UINT64_MAX;
    memset(s.keys_digest, 0xAB, SHA256_BYTES);
    strcpy(s.version, std::string(47, 'v').c_str());
    s.generated = INT64_MIN;
    // The longest header: it still fits a line's buffer.
    std::string with(out, state_format_header(&s, out, sizeof out));
    std::string hex;
    for (int i = 0; i < SHA256_BYTES; i++)
        hex += "ab";
    EXPECT_EQ(with, without.substr(0, without.find("#generated=")) +
                        "#generated=-9223372036854775808\r\n#version=" + std::string(47, 'v') +
                        "\r\n#keys=18446744073709551615 " + hex + "\r\n");
    Parsed back(with);
    EXPECT_EQ(back.s.keys_version, UINT64_MAX);
    EXPECT_EQ(memcmp(back.s.keys_digest, s.keys_digest, SHA256_BYTES), 0);
}

// A refused launcher's line holds one digest or counts for nothing; it is
// written only when a launcher was refused, after the key list's line, and
// reads back the same.
TEST(StateText, RefusedLauncherLine)
{
    const std::string hex = "00ff" + std::string(60, 'e');
    const struct {
        std::string line;
        int second_byte;  // of the digest read; -1: no refusal
        const char *why;
    } cases[] = {
        {"#refused_launcher=" + hex, 0xFF, "a digest"},
        {"#refused_launcher=" + std::string(64, 'E'), 0xEE, "capitals"},
        {"#refused_launcher=" + hex + "  ", 0xFF, "trailing blanks go with the line's end"},
        {"#refused_launcher=", -1, "empty"},
        {"#refused_launcher=" + hex.substr(1), -1, "a digit short"},
        {"#refused_launcher=" + hex + "0", -1, "a digit more"},
        {"#refused_launcher= " + hex.substr(1), -1, "a blank first"},
        {"#refused_launcher=" + std::string(64, 'g'), -1, "not hex"},
        {"#Refused_launcher=" + hex, -1, "another name"},
    };
    for (const auto &t : cases) {
        Parsed p("#Korvanth state\r\n" + t.line + "\r\n");
        EXPECT_EQ(p.s.has_refused_launcher, t.second_byte >= 0 ? 1 : 0) << t.why;
        EXPECT_EQ(p.s.refused_launcher[1], t.second_byte >= 0 ? t.second_byte : 0) << t.why;
    }

    LocalState s;
    state_init(&s);
    char out[STATE_LINE_BYTES];
    std::string without(out, state_format_header(&s, out, sizeof out));
    EXPECT_EQ(without.find("#refused_launcher="), std::string::npos);
    s.keys_version = 3;
    s.has_refused_launcher = 1;
    memset(s.refused_launcher, 0x5C, SHA256_BYTES);
    std::string digest_hex;
    for (int i = 0; i < SHA256_BYTES; i++)
        digest_hex += "5c";
    std::string with(out, state_format_header(&s, out, sizeof out));
    EXPECT_EQ(with, without + "#keys=3 " + std::string(64, '0') + "\r\n#refused_launcher=" +
                        digest_hex + "\r\n");
    Parsed back(with);
    EXPECT_EQ(testing_support::state_as_text(back.s), with);
}

// Entry lines at the limits of every field, and a buffer too small for the
// line: cut like snprintf, never overrun.
TEST(StateText, EntryLinesAtTheLimits)
{
    struct Case {
        size_t path_bytes;
        uint64_t size, time;
    } cases[] = {{1, 0, 0}, {17, 123456789, 133000000000000000ull},
                 {399, UINT64_MAX, UINT64_MAX}, {399, 10, 9},
                 // Where the digits change from 32-bit to 64-bit work.
                 {2, 0xFFFFFFFFull, 0x100000000ull}, {3, 999999999, 1000000000},
                 {4, 4000000000000000000ull, 10000000000000000000ull}};
    for (const Case &c : cases) {
        StateEntry e;
        memset(&e, 0, sizeof e);
        memset(e.path, 'p', c.path_bytes);
        e.size = c.size;
        e.write_time = c.time;
        for (int i = 0; i < 32; i++)
            e.digest[i] = (uint8_t)(i * 37 + 1);
        char hex[65];
        for (int i = 0; i < 32; i++)
            snprintf(hex + 2 * i, 3, "%02x", e.digest[i]);
        char want[600];
        snprintf(want, sizeof want, "%s\t%llu\t%llu\t%s\r\n", e.path,
                 (unsigned long long)c.size, (unsigned long long)c.time, hex);
        char line[STATE_LINE_BYTES];
        memset(line, 'z', sizeof line);
        EXPECT_EQ(state_format_entry(&e, line, sizeof line), strlen(want));
        EXPECT_STREQ(line, want);

        char small[40];
        memset(small, 'z', sizeof small);
        size_t n = state_format_entry(&e, small, 30);
        EXPECT_EQ(n, strlen(small));
        EXPECT_LT(n, 30u);
        EXPECT_EQ(std::string(small), std::string(want).substr(0, n));
        EXPECT_EQ(small[31], 'z');
    }
}

TEST(StateTable, PutFindRemoveKeepPathsSortedAndUnique)
{
    LocalState s;
    state_init(&s);
    EXPECT_EQ(state_find(&s, "a"), nullptr);
    // Byte order: upper case before lower case, UTF-8 after ASCII.
    for (const char *path : {"m", "b", "\xC3\xA9", "Z", "b/c", "a"}) {
        StateEntry e = make_entry(path, 1, 0x11);
        ASSERT_TRUE(state_put(&s, &e));
    }
    const char *order[] = {"Z", "a", "b", "b/c", "m", "\xC3\xA9"};
    ASSERT_EQ(s.count, 6);
    for (int i = 0; i < 6; i++)
        EXPECT_STREQ(s.entries[i].path, order[i]);

    StateEntry replaced = make_entry("b", 99, 0x22);
    ASSERT_TRUE(state_put(&s, &replaced));
    EXPECT_EQ(s.count, 6);
    StateEntry *found = state_find(&s, "b");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->size, 99u);
    EXPECT_EQ(found->write_time, 990u);
    EXPECT_EQ(found->digest[31], 0x22);

    state_remove(&s, "absent");
    EXPECT_EQ(s.count, 6);
    state_remove(&s, "b");
    EXPECT_EQ(s.count, 5);
    EXPECT_EQ(state_find(&s, "b"), nullptr);
    EXPECT_STREQ(s.entries[1].path, "a");
    EXPECT_STREQ(s.entries[2].path, "b/c");
    state_remove(&s, "\xC3\xA9");
    state_remove(&s, "Z");
    EXPECT_EQ(s.count, 3);
    EXPECT_STREQ(s.entries[0].path, "a");

    // A lookup path is cut to 399 bytes.
    StateEntry longest = make_entry(std::string(399, 'l'), 7, 0x33);
    ASSERT_TRUE(state_put(&s, &longest));
    found = state_find(&s, (std::string(399, 'l') + "tail").c_str());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->size, 7u);

    // Past the first block of 256 entries.
    for (int i = 0; i < 700; i++) {
        StateEntry e = make_entry("n/" + std::to_string(i), (uint64_t)i, 0x44);
        ASSERT_TRUE(state_put(&s, &e));
    }
    EXPECT_EQ(s.count, 704);
    for (int i = 1; i < s.count; i++)
        ASSERT_LT(strcmp(s.entries[i - 1].path, s.entries[i].path), 0);
    EXPECT_EQ(state_find(&s, "n/699")->size, 699u);
    state_free(&s);
    EXPECT_EQ(s.entries, nullptr);
    EXPECT_EQ(s.count, 0);
}

// A guess is only a place to look first: every guess, right, near, wrong or
// out of range, gives state_find's answer.
TEST(StateTable, FindNearGivesFindsAnswerForEveryGuess)
{
    LocalState s;
    state_init(&s);
    EXPECT_EQ(state_find_near(&s, "a", 0), nullptr);
    for (const char *path : {"a", "b", "c", "d"}) {
        StateEntry e = make_entry(path, 1, 0x11);
        ASSERT_TRUE(state_put(&s, &e));
    }
    StateEntry longest = make_entry(std::string(399, 'l'), 7, 0x33);
    ASSERT_TRUE(state_put(&s, &longest));
    const std::string cut_away = std::string(399, 'l') + "tail";
    const char *paths[] = {"a", "c", "d", "absent", "", cut_away.c_str()};
    const int32_t guesses[] = {-1000, -1, 0, 1, 2, 3, 4, 5, 6, 1 << 30};
    for (const char *path : paths)
        for (int32_t guess : guesses)
            EXPECT_EQ(state_find_near(&s, path, guess), state_find(&s, path))
                << path << " guessed at " << guess;
    state_free(&s);
}

}  // namespace
