// The manifest schema: the model a document gives, and for malformed
// documents the first error with the offset it reports.
#include "manifest/manifest.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

const std::string HEX0(64, '0');

std::string entry(const std::string &path, const std::string &more = ",\"g\":\"base\"")
{
    return "{\"p\":\"" + path + "\",\"s\":1,\"h\":\"" + HEX0 + "\"" + more + "}";
}

const std::string HEAD = R"({"version":"1.0","generated":"2024-05-01T12:00:00Z",)";
const std::string FILES = "\"files\":[" + entry("a.txt") + "]";
const std::string MINIMAL = HEAD + FILES + "}";

// A document with the usual head and files and `members` added at the end.
std::string with(const std::string &members)
{
    return HEAD + FILES + "," + members + "}";
}

struct Parsed {
    Manifest m;
    char error[JSON_ERROR_BYTES];
    bool ok;

    explicit Parsed(const std::string &doc)
    {
        memset(error, 'x', sizeof error);  // the parse must empty it
        ok = manifest_parse(doc.data(), doc.size(), &m, error);
    }
    ~Parsed() { manifest_free(&m); }
};

// Where an error is reported, named by the bytes around it.
enum Anchor { AT, AFTER, END };

struct ErrorCase {
    const char *why;
    std::string doc;
    const char *message;
    Anchor anchor;
    std::string needle;  // AT: offset of its first byte; AFTER: offset after it
};

size_t offset_of(const ErrorCase &t)
{
    if (t.anchor == END)
        return t.doc.size();
    size_t at = t.doc.find(t.needle);
    EXPECT_NE(at, std::string::npos) << t.why;
    return t.anchor == AT ? at : at + t.needle.size();
}

TEST(ManifestParse, FirstErrorWithItsOffset)
{
    const std::string key31(31, 'k'), key32(32, 'k');
    const std::string deep65 = std::string(65, '[') + std::string(65, ']');
    const ErrorCase cases[] = {
        {"empty document", "", "unexpected token", END, ""},
        {"byte-order mark", "\xEF\xBB\xBF" + MINIMAL, "unexpected token", AT, "\xEF"},
        {"an array", "[]", "unexpected token", AT, "["},
        {"empty object", " { \n} ", "empty manifest", AT, "}"},
        {"generated with a space", with(R"("generated":"2024-05-01 12:00:00")"),
         "bad generated time", AFTER, "12:00:00\""},
        {"generated before 1970", with(R"("generated":"1969-12-31T23:59:59Z")"),
         "bad generated time", AFTER, "59Z\""},
        {"a second object", MINIMAL + " \r\n{}", "trailing data", AT, "{}"},
        {"a stray byte", MINIMAL + "\n;", "trailing data", AT, ";"},
        {"no version", R"({"generated":"2024-05-01T12:00:00Z",)" + FILES + "}\n",
         "version, generated and files are required", END, ""},
        {"no generated", R"({"version":"1",)" + FILES + "}", "version, generated and files are required",
         END, ""},
        {"no files", HEAD + R"("x":1})", "version, generated and files are required", END, ""},
        {"empty files", HEAD + "\"files\":[]} ", "no files", END, ""},
        {"files is an object", HEAD + "\"files\":{}}", "unexpected token", AT, "{}"},
        {"missing colon", HEAD + "\"files\" []}", "unexpected token", AT, "[]"},
        {"missing comma", HEAD + FILES + " \"x\":1}", "unexpected token", AT, "\"x\""},
        {"empty file entry", HEAD + "\"files\":[{ }]}", "empty file entry", AFTER, "{ }"},
        {"entry without s", HEAD + R"("files":[{"p":"a","h":")" + HEX0 + R"(","g":"base"}]})",
         "file entry needs p, s, h", AFTER, "\"base\"}"},
        {"63 hex digits", HEAD + R"("files":[{"p":"a","s":1,"h":")" + HEX0.substr(1) + "\"}]}",
         "bad sha256", AFTER, HEX0.substr(1) + "\""},
        {"65 hex digits", HEAD + R"("files":[{"p":"a","s":1,"h":")" + HEX0 + "0\"}]}",
         "bad sha256", AFTER, HEX0 + "0\""},
        {"66 hex digits", HEAD + R"("files":[{"p":"a","s":1,"h":")" + HEX0 + "00\"}]}",
         "string too long", AFTER, HEX0 + "00"},
        {"non-hex digest", HEAD + R"("files":[{"p":"a","s":1,"h":")" + std::string(64, 'g') + "\"}]}",
         "bad sha256", AFTER, std::string(64, 'g') + "\""},
        {"chunks of 63 digits", HEAD + "\"files\":[" + entry("a", ",\"chunks\":\"" + std::string(63, 'c') + "\"") + "]}",
         "bad chunks sha256", AFTER, std::string(63, 'c') + "\""},
        {"chunks as a number", HEAD + "\"files\":[" + entry("a", ",\"chunks\":7") + "]}",
         "unexpected token", AT, "7}"},
        {"delta from 63 digits", HEAD + "\"files\":[" + entry("a", ",\"deltas\":[{\"from\":\"" + std::string(63, 'c') + "\"}]") + "]}",
         "bad delta sha256", AFTER, std::string(63, 'c') + "\""},
        {"delta without its size", HEAD + "\"files\":[" + entry("a", ",\"deltas\":[{\"from\":\"" + HEX0 + "\",\"h\":\"" + HEX0 + "\"}]") + "]}",
         "delta needs from, h, s", AFTER, HEX0 + "\"}"},
        {"deltas as an object", HEAD + "\"files\":[" + entry("a", ",\"deltas\":{}") + "]}",
         "unexpected token", AT, "{}"},
        {"negative size", HEAD + R"("files":[{"p":"a","s":-1}]})", "number expected", AT, "-1"},
        {"fractional size", HEAD + R"("files":[{"p":"a","s":1.5}]})", "integer expected", AT, ".5"},
        {"path with an empty segment", HEAD + "\"files\":[" + entry("a//b") + "]}", "invalid path",
         AFTER, "\"base\"}"},
        {"path naming a device, among good ones",
         HEAD + "\"files\":[" + entry("data/a") + "," + entry("data/con.txt") + "," +
             entry("data/b") + "]}",
         "invalid path", AFTER, entry("data/con.txt")},
        {"path of 400 bytes", HEAD + "\"files\":[" + entry(std::string(400, 'p')) + "]}",
         "string too long", AFTER, std::string(400, 'p')},
        {"files entry without g", HEAD + "\"files\":[" + entry("a", "") + "]}", "unknown group",
         AFTER, HEX0 + "\"}"},
        {"group names are case-sensitive", HEAD + "\"files\":[" + entry("a", ",\"g\":\"Base\"") + "]}",
         "unknown group", AFTER, "\"Base\"}"},
        {"group of 16 bytes", HEAD + "\"files\":[" + entry("a", ",\"g\":\"" + std::string(16, 'b') + "\"") + "]}",
         "string too long", AFTER, std::string(16, 'b')},
        {"optional without id", with("\"optional\":[" + entry("o", "") + "]"),
         "optional entry needs id", AFTER, HEX0 + "\"}"},
        {"optional with empty id", with("\"optional\":[" + entry("o", ",\"id\":\"\"") + "]"),
         "optional entry needs id", AFTER, "\"id\":\"\"}"},
        {"id of 16 bytes", with("\"optional\":[" + entry("o", ",\"id\":\"" + std::string(16, 'i') + "\"") + "]"),
         "string too long", AFTER, std::string(16, 'i')},
        {"bad launcher entry", with("\"launcher\":" + entry("../Korvanth.exe", "")), "invalid path",
         AFTER, HEX0 + "\"}"},
        {"the launcher's state file as a client file, among good ones",
         HEAD + "\"files\":[" + entry("data/a") + "," + entry("korvanth.STATE") + "]}",
         "invalid path", AFTER, entry("korvanth.STATE")},
        {"remove naming the log", with(R"("remove":["Korvanth.log"])"), "invalid remove path",
         AFTER, "Korvanth.log\""},
        {"remove path escaping the folder", with(R"("remove":["ok","a/../../b"])"),
         "invalid remove path", AFTER, "../b\""},
        {"remove path that is a number", with(R"("remove":[1])"), "unexpected token", AT, "1]"},
        {"version of 48 bytes", with("\"version\":\"" + std::string(48, 'v') + "\""),
         "string too long", AFTER, std::string(48, 'v')},
        {"generated of 32 bytes", with("\"generated\":\"2024-05-01T12:00:00Z" + std::string(12, ' ') + "\""),
         "string too long", AFTER, "Z" + std::string(12, ' ')},
        {"mirror of 256 bytes", with("\"mirrors\":[\"https://" + std::string(247, 'm') + "/\"]"),
         "string too long", AFTER, std::string(247, 'm') + "/"},
        {"top-level key of 32 bytes", with("\"" + key32 + "\":1"), "string too long", AFTER, key32},
        {"entry key of 64 bytes", HEAD + "\"files\":[{\"" + std::string(64, 'e') + "\":1}]}",
         "string too long", AFTER, std::string(64, 'e')},
        {"unknown value nested too deep", with("\"" + key31 + "\":" + deep65), "unexpected token",
         AFTER, key31 + "\":" + std::string(64, '[')},
        {"unknown value with a fraction", with(R"("x":[1,2.5])"), "integer expected", AT, ".5"},
        {"unterminated", HEAD + "\"files\":[" + entry("a") + "],\"x\":\"abc", "unterminated string",
         END, ""},
    };
    for (const ErrorCase &t : cases) {
        Parsed p(t.doc);
        EXPECT_FALSE(p.ok) << t.why;
        std::string want = std::string("manifest: ") + t.message + " at byte " +
                           std::to_string(offset_of(t));
        EXPECT_EQ(p.error, want) << t.why;
        // A failed parse leaves nothing to free.
        EXPECT_EQ(p.m.files, nullptr) << t.why;
        EXPECT_EQ(p.m.file_count, 0) << t.why;
        EXPECT_EQ(p.m.version[0], 0) << t.why;
    }
}

TEST(ManifestParse, MinimalDocument)
{
    Parsed p(MINIMAL);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_STREQ(p.error, "");
    EXPECT_STREQ(p.m.version, "1.0");
    EXPECT_STREQ(p.m.generated_text, "2024-05-01T12:00:00Z");
    EXPECT_EQ(p.m.generated, 1714564800);
    EXPECT_EQ(p.m.has_launcher, 0);
    EXPECT_EQ(p.m.mirror_count, 0);
    EXPECT_EQ(p.m.optional_count, 0);
    EXPECT_EQ(p.m.remove_count, 0);
    ASSERT_EQ(p.m.file_count, 1);
    const ManifestEntry &e = p.m.files[0];
    EXPECT_STREQ(e.path, "a.txt");
    EXPECT_EQ(e.size, 1u);
    EXPECT_EQ(e.packed_size, 0u);
    EXPECT_EQ(e.group, ENTRY_GROUP_BASE);
    EXPECT_EQ(e.seed, 0);
    EXPECT_STREQ(e.id, "");
}

TEST(ManifestParse, EveryFieldOfAFullDocument)
{
    std::string hex;
    for (int i = 0; i < 32; i++)
        hex += "A1";  // upper case is accepted
    const std::string key31(31, 'k');
    std::string doc = R"({ "version" : "2.0\u00e9", "generated":"2024-02-29T23:59:59Z",
        ")" + key31 + R"(": {"deep":[[[{"x":null}]]], "n":-3, "t":true, "s":"\"}"},
        "launcher": {"p":"Korvanth.exe","s":5,"h":")" + hex + R"(","g":"nonsense","z":2},
        "files": [
          {"p":"system/dv.exe","s":10,"z":7,"h":")" + hex + R"(","g":"system"},
          {"p":"ui/skin.dat","s":0,"h":")" + HEX0 + R"(","g":"interface","seed":3,"extra":[1]},
          {"p":"ui/stock.dat","s":18446744073709551609,"h":")" + HEX0 + R"(","g":"stock","seed":0}
        ],
        "optional": [ {"p":"system/d3d9_dxvk.dll","s":1,"h":")" + HEX0 + R"(","id":"dxvk","g":"base"} ],
        "remove": ["old/a.dll", ".cache/x"]
    })" "\r\n";
    Parsed p(doc);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_STREQ(p.m.version, "2.0\xC3\xA9");
    EXPECT_EQ(p.m.generated, 1709251199);

    ASSERT_EQ(p.m.has_launcher, 1);
    EXPECT_STREQ(p.m.launcher.path, "Korvanth.exe");
    EXPECT_EQ(p.m.launcher.group, 0);  // "g" is read but ignored outside "files"
    EXPECT_EQ(p.m.launcher.packed_size, 2u);
    EXPECT_EQ(p.m.launcher.digest[0], 0xA1);
    EXPECT_EQ(p.m.launcher.digest[31], 0xA1);

    ASSERT_EQ(p.m.file_count, 3);
    EXPECT_STREQ(p.m.files[0].path, "system/dv.exe");
    EXPECT_EQ(p.m.files[0].group, ENTRY_GROUP_SYSTEM);
    EXPECT_EQ(p.m.files[0].packed_size, 7u);
    EXPECT_EQ(p.m.files[1].group, ENTRY_GROUP_INTERFACE);
    EXPECT_EQ(p.m.files[1].seed, 1);
    EXPECT_EQ(p.m.files[2].group, ENTRY_GROUP_STOCK);
    EXPECT_EQ(p.m.files[2].seed, 0);
    EXPECT_EQ(p.m.files[2].size, 18446744073709551609ull);

    ASSERT_EQ(p.m.optional_count, 1);
    EXPECT_STREQ(p.m.optional[0].id, "dxvk");
    EXPECT_EQ(p.m.optional[0].group, 0);

    ASSERT_EQ(p.m.remove_count, 2);
    EXPECT_STREQ(p.m.remove[0], "old/a.dll");
    EXPECT_STREQ(p.m.remove[1], ".cache/x");

    manifest_free(&p.m);
    Manifest zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&p.m, &zero, sizeof zero), 0);
}

// Puts the chunks key's reading back as it was when a case ends.
class ChunksKey : public testing::Test {
protected:
    bool before_ = manifest_reads_chunks;
    ~ChunksKey() override { manifest_reads_chunks = before_; }
};

TEST_F(ChunksKey, NamesTheIndexOfAnyEntry)
{
    std::string hex;
    for (int i = 0; i < 32; i++)
        hex += "0f";
    const std::string chunks = ",\"chunks\":\"" + hex + "\"";
    const std::string doc = HEAD + "\"files\":[" + entry("big.pak", ",\"g\":\"base\"" + chunks) + "," +
                            entry("small.txt") + "],\"launcher\":" + entry("Korvanth.exe", chunks) +
                            "}";
    Parsed p(doc);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.m.files[0].has_chunks, 1);
    EXPECT_EQ(p.m.files[0].chunks_digest[0], 0x0f);
    EXPECT_EQ(p.m.files[0].chunks_digest[31], 0x0f);
    EXPECT_EQ(p.m.files[1].has_chunks, 0);
    EXPECT_EQ(p.m.launcher.has_chunks, 1);

    // A launcher that predates the key skips it as unknown; so does this
    // one with the key hidden, even a malformed value: the same manifest,
    // and one whose chunks value such a launcher never looks at, parse.
    manifest_reads_chunks = false;
    Parsed old(doc);
    ASSERT_TRUE(old.ok) << old.error;
    EXPECT_EQ(old.m.files[0].has_chunks, 0);
    EXPECT_EQ(old.m.launcher.has_chunks, 0);
    EXPECT_EQ(memcmp(old.m.files[0].digest, p.m.files[0].digest, SHA256_BYTES), 0);
    Parsed odd(HEAD + "\"files\":[" + entry("a", ",\"g\":\"base\",\"chunks\":[\"v2\",{\"n\":1}]") +
               "]}");
    EXPECT_TRUE(odd.ok) << odd.error;
}

// Puts the deltas key's reading back as it was when a case ends.
class DeltasKey : public testing::Test {
protected:
    bool before_ = manifest_reads_deltas;
    ~DeltasKey() override { manifest_reads_deltas = before_; }
};

TEST_F(DeltasKey, EachEntryFindsItsOwnInThePool)
{
    auto delta = [](char from, char object, const std::string &sizes) {
        return "{\"from\":\"" + std::string(64, from) + "\",\"h\":\"" + std::string(64, object) +
               "\"," + sizes + ",\"later\":[1]}";
    };
    const std::string doc =
        HEAD + "\"files\":[" +
        entry("a.pak", ",\"g\":\"base\",\"deltas\":[" + delta('1', '2', "\"s\":10") + "," +
                           delta('3', '4', "\"s\":20,\"z\":5") + "]") + "," + entry("b.txt") + "]," +
        "\"optional\":[" + entry("c.dll", ",\"id\":\"dxvk\",\"deltas\":[" + delta('5', '6', "\"s\":30") + "]") +
        "],\"launcher\":" + entry("Korvanth.exe", ",\"deltas\":[" + delta('7', '8', "\"s\":1") + "]") + "}";
    Parsed p(doc);
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.m.delta_count, 3);  // the launcher's are not kept: it is never patched
    ASSERT_EQ(p.m.files[0].delta_count, 2);
    EXPECT_EQ(p.m.files[1].delta_count, 0);
    EXPECT_EQ(p.m.launcher.delta_count, 0);
    const ManifestDelta *second = manifest_delta(&p.m, &p.m.files[0], 1);
    EXPECT_EQ(second->from[0], 0x33);
    EXPECT_EQ(second->digest[31], 0x44);
    EXPECT_EQ(second->size, 20u);
    EXPECT_EQ(second->packed_size, 5u);
    ASSERT_EQ(p.m.optional[0].delta_count, 1);
    EXPECT_EQ(manifest_delta(&p.m, &p.m.optional[0], 0)->size, 30u);
    EXPECT_EQ(manifest_delta(&p.m, &p.m.optional[0], 0)->packed_size, 0u);

    // Launchers before deltas skip the key, whatever its value holds.
    manifest_reads_deltas = false;
    Parsed old(doc);
    ASSERT_TRUE(old.ok) << old.error;
    EXPECT_EQ(old.m.delta_count, 0);
    EXPECT_EQ(old.m.files[0].delta_count, 0);
    Parsed odd(HEAD + "\"files\":[" + entry("a", ",\"g\":\"base\",\"deltas\":[\"v2\",{\"n\":1}]") + "]}");
    EXPECT_TRUE(odd.ok) << odd.error;
}

TEST(ManifestParse, LongestValuesFit)
{
    // One byte below each limit that the error table shows failing.
    const std::string version(47, 'v'), path(399, 'p'), id(15, 'i'), key31(31, 'k'),
        entry_key63(63, 'e');
    Parsed p(R"({"version":")" + version + R"(","generated":"2024-05-01T12:00:00Z",")" + key31 +
             R"(":0,"files":[{")" + entry_key63 + R"(":0,"p":")" + path + R"(","s":1,"h":")" +
             HEX0 + R"(","g":"base"}],"optional":[{"p":"o","s":1,"h":")" + HEX0 +
             R"(","id":")" + id + R"("}]})");
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(std::string(p.m.version), version);
    EXPECT_EQ(std::string(p.m.files[0].path), path);
    EXPECT_EQ(std::string(p.m.optional[0].id), id);
}

TEST(ManifestParse, MirrorsKeptAndDropped)
{
    const std::string long_host(246, 'm');  // "https://" + 246 + "/" = 255 bytes
    Parsed p(with(R"("mirrors":[
        "http://plain.test/", "https://no-slash.test", "HTTPS://upper.test/", "",
        "https://a.test/", "https://\u00fc.test/", "https://)" "\xF0\x9F\x98\x80" R"(.test/",
        "https://)" + long_host + R"(/", "https://e.test/files/", "https://f.test/",
        "https://seventh.test/"])"));
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.m.mirror_count, MAX_MIRRORS);
    auto wide = [](const wchar_t *w) {
        std::u16string s;
        for (; *w; w++)
            s += (char16_t)*w;
        return s;
    };
    EXPECT_EQ(wide(p.m.mirrors[0]), u"https://a.test/");
    EXPECT_EQ(wide(p.m.mirrors[1]), u"https://\u00fc.test/");
    // Outside the basic plane: a surrogate pair, as the platform stores it.
    EXPECT_EQ(wide(p.m.mirrors[2]), u"https://\U0001F600.test/");
    EXPECT_EQ(wide(p.m.mirrors[3]).size(), 255u);
    EXPECT_EQ(wide(p.m.mirrors[4]), u"https://e.test/files/");
    EXPECT_EQ(wide(p.m.mirrors[5]), u"https://f.test/");
}

TEST(ManifestParse, RepeatedKeys)
{
    Parsed p(HEAD + FILES + R"(, "version":"second", "launcher":)" + entry("one.exe") +
             ", \"launcher\":" + entry("two.exe") + ", \"files\":[" + entry("b.txt") + "," +
             entry("c.txt") + "], \"remove\":[\"r1\"], \"remove\":[], \"remove\":[\"r2\"]}");
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_STREQ(p.m.version, "second");
    EXPECT_STREQ(p.m.launcher.path, "two.exe");
    ASSERT_EQ(p.m.file_count, 3);
    EXPECT_STREQ(p.m.files[0].path, "a.txt");
    EXPECT_STREQ(p.m.files[1].path, "b.txt");
    EXPECT_STREQ(p.m.files[2].path, "c.txt");
    ASSERT_EQ(p.m.remove_count, 2);
    EXPECT_STREQ(p.m.remove[1], "r2");
}

TEST(ManifestParse, ArraysGrowPastTheirFirstBlock)
{
    // 512 file entries and 16 remove paths fill the first blocks.
    const int files = 1100, removes = 40;
    std::string doc = HEAD + "\"files\":[";
    for (int i = 0; i < files; i++)
        doc += (i ? "," : "") + entry("f/" + std::to_string(i));
    doc += "],\"remove\":[";
    for (int i = 0; i < removes; i++)
        doc += (i ? ",\"r" : "\"r") + std::to_string(i) + "\"";
    doc += "]}";
    Parsed p(doc);
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.m.file_count, files);
    ASSERT_EQ(p.m.remove_count, removes);
    for (int i = 0; i < files; i++)
        ASSERT_EQ(std::string(p.m.files[i].path), "f/" + std::to_string(i));
    for (int i = 0; i < removes; i++)
        ASSERT_EQ(std::string(p.m.remove[i]), "r" + std::to_string(i));
}

TEST(ManifestParse, NullErrorBufferIsAllowed)
{
    Manifest m;
    EXPECT_FALSE(manifest_parse("{}", 2, &m, nullptr));
    EXPECT_TRUE(manifest_parse(MINIMAL.data(), MINIMAL.size(), &m, nullptr));
    manifest_free(&m);
}

TEST(SafeRelativePath, Rule)
{
    const struct {
        std::string path;
        bool safe;
    } cases[] = {
        {"a/b.c", true},
        {".hidden/x", true},
        {"a/..b", true},
        {"\xC3\xA9t\xC3\xA9/\xE2\x82\xAC", true},
        {std::string(399, 'p'), true},
        // Names that only look like devices.
        {"data/cons.txt", true},
        {"data/com0", true},
        {"data/COM10", true},
        {"data/lpt", true},
        {"data/nul_.txt", true},
        {"data/xcon", true},
        {"console/aux_files/prn1", true},
        {"data/.con", true},  // the stem is empty: a hidden file's name
        {"", false},
        {std::string(400, 'p'), false},
        {"/a", false},
        {"a/", false},
        {"a//b", false},
        {".", false},
        {"./a", false},
        {"a/..", false},
        {"a/../b", false},
        {"C:/a", false},
        {"a\\b", false},
        {"a:b", false},
        {"a/b /c", false},
        {"a ", false},
        {"a\tb", false},
        {"a\x7F", false},
        {"a*", false},
        {"a?", false},
        {"a\"", false},
        {"a<b>", false},
        {"a|b", false},
        // What Windows cannot hold: a trailing dot or space is dropped,
        // device names reach the device whatever follows them.
        {"a/.../b", false},
        {"dir./file", false},
        {"data/trail.", false},
        {"data/con.txt", false},
        {"CON", false},
        {"x/Prn", false},
        {"aux.tar.gz/x", false},
        {"data/nUl", false},
        {"data/nul .txt", false},
        {"data/COM1", false},
        {"data/com9.log", false},
        {"Lpt1", false},
        {"data/lPt5.dat", false},
        {"a\x1F", false},
        {"a\x01b", false},
        // The launcher's own files and folders at the folder's top, in any
        // letter case; the same names deeper down, or longer, are free.
        {"Korvanth.exe", false},
        {"korvanth.STATE", false},
        {"KORVANTH.LOG.1", false},
        {"korvanth.chunks/ab/cd", false},
        {"Korvanth.new.part", false},
        {"data/Korvanth.state", true},
        {"Korvanth.log.2", true},
        {"Korvanth.st\xC3\xA4te", true},
    };
    for (const auto &t : cases)
        EXPECT_EQ(is_safe_relative_path(t.path.c_str()), t.safe) << t.path;
}

TEST(HexDecode, ExactLengthEitherCase)
{
    uint8_t out[2];
    EXPECT_TRUE(hex_decode("0aF9", out, 2));
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xF9);
    EXPECT_FALSE(hex_decode("0aF", out, 2));
    EXPECT_FALSE(hex_decode("0aF90", out, 2));
    EXPECT_FALSE(hex_decode("0aG9", out, 2));
    EXPECT_FALSE(hex_decode(" 0aF9", out, 2));
    EXPECT_TRUE(hex_decode("", out, 0));
}

}  // namespace
