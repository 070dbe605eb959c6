// The key list reader at its limits, and the signature check over several
// keys that takes a manifest's signer from it.
#include "manifest/manifest.h"

#include "korvanth_config.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

using namespace testing_support;

namespace {

// Key texts: 128 hex digits, told apart by their first digit.
std::string key_hex(char first)
{
    return std::string(1, first) + std::string(127, '0');
}

std::string key(const std::string &id, char first)
{
    return "{\"id\": \"" + id + "\", \"key\": \"" + key_hex(first) + "\"}";
}

// A list of `keys` (and `revoked`) around the members `extra`.
std::string list(const std::string &keys, const std::string &revoked = "",
                 const std::string &extra = "")
{
    return "{\"version\": 3, \"generated\": \"2026-01-02T03:04:05Z\", " + extra +
           "\"keys\": [" + keys + "]" +
           (revoked.empty() ? "" : ", \"revoked\": [" + revoked + "]") + "}";
}

std::string nested(int depth)
{
    return std::string(depth, '[') + std::string(depth, ']');
}

// `n` keys "k0", "k1", ... whose texts begin with the index in hex.
std::string many_keys(int n)
{
    std::string keys;
    for (int i = 0; i < n; i++) {
        char hex[3] = {"0123456789abcdef"[i / 16], "0123456789abcdef"[i % 16], 0};
        keys += std::string(i ? ", " : "") + "{\"id\": \"k" + std::to_string(i) +
                "\", \"key\": \"" + hex + std::string(126, '0') + "\"}";
    }
    return keys;
}

// The same list padded with blanks to exactly `size` bytes.
std::string padded(const std::string &doc, size_t size)
{
    return doc + std::string(size - doc.size(), ' ');
}

struct ReadCase {
    const char *why;
    std::string doc;
    std::string error;  // empty: accepted
    int keys;           // accepted: release keys, then every key
    int all;
};

TEST(KeyList, ReaderTable)
{
    const std::string a = key("A", '1'), b = key("B", '2');
    const std::string ok = list(a);
    const ReadCase cases[] = {
        {"one release key", ok, "", 1, 1},
        {"release and revoked keys", list(a, b), "", 1, 2},
        {"unknown members skipped, nested to the depth limit",
         list(a, "", "\"note\": " + nested(JSON_MAX_SKIP_DEPTH) + ", "), "", 1, 1},
        {"an unknown member inside a key",
         list("{\"id\": \"A\", \"comment\": {\"x\": [1]}, \"key\": \"" + key_hex('1') + "\"}"), "",
         1, 1},
        {"sixteen keys", list(many_keys(KEY_LIST_MAX_KEYS)), "", 16, 16},
        {"exactly the size limit", padded(ok, KEY_LIST_MAX_BYTES), "", 1, 1},
        {"id of 31 bytes of every allowed kind", list(key("Az09._-" + std::string(24, 'x'), '1')),
         "", 1, 1},

        {"one byte over the size limit", padded(ok, KEY_LIST_MAX_BYTES + 1),
         "keys: key list too large at byte 16384", 0, 0},
        {"one level deeper than the limit",
         list(a, "", "\"note\": " + nested(JSON_MAX_SKIP_DEPTH + 1) + ", "),
         "keys: unexpected token at byte 124", 0, 0},
        {"a member twice", "{\"version\": 1, \"version\": 2}", "keys: duplicate member at byte 15",
         0, 0},
        {"an unknown member twice", list(a, "", "\"x\": 1, \"x\": 1, "),
         "keys: duplicate member at byte 60", 0, 0},
        {"a member twice inside a key", list("{\"id\": \"A\", \"id\": \"B\"}"),
         "keys: duplicate member at byte 73", 0, 0},
        {"one id twice", list(a + ", " + key("A", '2')), "keys: key listed twice at byte 213", 0,
         0},
        {"one key under two ids, release and revoked", list(a, key("B", '1')),
         "keys: key listed twice at byte 226", 0, 0},
        {"seventeen keys", list(many_keys(KEY_LIST_MAX_KEYS + 1)),
         "keys: too many keys at byte 2515", 0, 0},
        {"no release key, only revoked ones", list("", a), "keys: no release key at byte 228", 0,
         0},
        {"version 0", "{\"version\": 0}", "keys: version 0 at byte 13", 0, 0},
        {"negative version", "{\"version\": -1}", "keys: number expected at byte 12", 0, 0},
        {"version as text", "{\"version\": \"3\"}", "keys: number expected at byte 12", 0, 0},
        {"generated not a time", "{\"generated\": \"yesterday\"}",
         "keys: bad generated time at byte 25", 0, 0},
        {"id with a blank", list(key("A B", '1')), "keys: bad key id at byte 73", 0, 0},
        {"empty id", list(key("", '1')), "keys: bad key id at byte 70", 0, 0},
        {"id of 32 bytes", list(key(std::string(32, 'x'), '1')),
         "keys: string too long at byte 101", 0, 0},
        {"key of 127 digits",
         list("{\"id\": \"A\", \"key\": \"" + key_hex('1').substr(1) + "\"}"),
         "keys: bad key at byte 209", 0, 0},
        {"key of 129 digits", list("{\"id\": \"A\", \"key\": \"" + key_hex('1') + "0\"}"),
         "keys: bad key at byte 211", 0, 0},
        {"key not hex", list("{\"id\": \"A\", \"key\": \"" + std::string(128, 'g') + "\"}"),
         "keys: bad key at byte 210", 0, 0},
        {"a key without its id", list("{\"key\": \"" + key_hex('1') + "\"}"),
         "keys: a key needs id and key at byte 200", 0, 0},
        {"keys missing", "{\"version\": 1, \"generated\": \"2026-01-02T03:04:05Z\"}",
         "keys: version, generated and keys are required at byte 51", 0, 0},
        {"trailing data", ok + "{}", "keys: trailing data at byte 213", 0, 0},
        {"not an object", "[]", "keys: unexpected token at byte 0", 0, 0},
        {"empty document", "", "keys: unexpected token at byte 0", 0, 0},
    };
    for (const ReadCase &t : cases) {
        SCOPED_TRACE(t.why);
        KeyList l;
        memset(&l, 0x5A, sizeof l);
        char error[JSON_ERROR_BYTES];
        bool accepted = key_list_parse(t.doc.data(), t.doc.size(), &l, error);
        if (t.error.empty()) {
            ASSERT_TRUE(accepted) << error;
            EXPECT_EQ(l.version, 3u);
            EXPECT_EQ(l.generated, 1767323045);
            EXPECT_EQ(l.release_count, t.keys);
            EXPECT_EQ(l.count, t.all);
            continue;
        }
        EXPECT_FALSE(accepted);
        EXPECT_EQ(std::string(error), t.error);
        EXPECT_EQ(l.count, 0);
        EXPECT_EQ(l.version, 0u);
    }
}

TEST(KeyList, ReleaseKeysComeFirstAndKeysAreFoundByTheirBytes)
{
    const std::string doc = "{\"revoked\": [" + key("old", 'a') + "], \"version\": 9, " +
                            "\"keys\": [" + key("new", 'b') + ", " + key("next", 'c') +
                            "], \"generated\": \"2026-01-02T03:04:05Z\"}";
    KeyList l;
    char error[JSON_ERROR_BYTES];
    ASSERT_TRUE(key_list_parse(doc.data(), doc.size(), &l, error)) << error;
    ASSERT_EQ(l.count, 3);
    EXPECT_EQ(l.release_count, 2);
    EXPECT_STREQ(l.keys[0].id, "new");
    EXPECT_STREQ(l.keys[1].id, "next");
    EXPECT_STREQ(l.keys[2].id, "old");
    EXPECT_EQ(l.keys[2].revoked, 1);

    uint8_t point[P256_POINT_BYTES] = {0xC0};
    EXPECT_EQ(key_list_find(&l, point), 1);
    point[63] = 1;  // the same id's key but for one bit: another key
    EXPECT_EQ(key_list_find(&l, point), -1);
}

#ifdef KORVANTH_TEST_SIGNED_DIR

std::string signed_file(const char *name)
{
    std::string bytes;
    EXPECT_TRUE(read_file(wine_path(std::string(KORVANTH_TEST_SIGNED_DIR "/") + name), &bytes))
        << name;
    return bytes;
}

// The demo key (the test build's manifest key), the curve's generator (a
// valid key that signed nothing) and bytes that are no point of the curve.
const uint8_t DEMO[P256_POINT_BYTES] = KORVANTH_MANIFEST_PUBKEY_BYTES;
const uint8_t GENERATOR[P256_POINT_BYTES] = {
    0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2,
    0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96,
    0x4F, 0xE3, 0x42, 0xE2, 0xFE, 0x1A, 0x7F, 0x9B, 0x8E, 0xE7, 0xEB, 0x4A, 0x7C, 0x0F, 0x9E, 0x16,
    0x2B, 0xCE, 0x33, 0x57, 0x6B, 0x31, 0x5E, 0xCE, 0xCB, 0xB6, 0x40, 0x68, 0x37, 0xBF, 0x51, 0xF5};
const uint8_t OFF_CURVE[P256_POINT_BYTES] = {1};

TEST(SignatureMatch, NamesTheKeyThatSigned)
{
    const std::string doc = signed_file("manifest.json");
    const std::string sig = signed_file("padded.sig");
    const struct {
        const uint8_t *keys[3];
        int count;
        int want;
        const char *why;
    } cases[] = {
        {{DEMO}, 1, 0, "the signer alone"},
        {{GENERATOR, DEMO}, 2, 1, "the signer second"},
        {{OFF_CURVE, GENERATOR, DEMO}, 3, 2, "a key the platform refuses is passed over"},
        {{GENERATOR}, 1, -1, "another key"},
        {{DEMO}, 0, -1, "no key"},
    };
    for (const auto &t : cases) {
        uint8_t points[3 * P256_POINT_BYTES];
        for (int i = 0; i < t.count; i++)
            memcpy(points + i * P256_POINT_BYTES, t.keys[i], P256_POINT_BYTES);
        EXPECT_EQ(signature_match(doc.data(), doc.size(), sig.data(), sig.size(), points, t.count),
                  t.want)
            << t.why;
    }
}

#endif

// Roots are the build's (none in the test build) until a test sets others;
// a count below 0 restores them.
TEST(RootKeys, SetAndRestored)
{
    const uint8_t *points = nullptr;
    int built_in = root_keys(&points);
    EXPECT_EQ(built_in, KORVANTH_ROOT_PUBKEY_COUNT);
    uint8_t two[2 * P256_POINT_BYTES];
    memset(two, 7, sizeof two);
    signature_set_roots(two, 2);
    EXPECT_EQ(root_keys(&points), 2);
    EXPECT_EQ(memcmp(points, two, sizeof two), 0);
    signature_set_roots(nullptr, 0);
    EXPECT_EQ(root_keys(nullptr), 0);
    signature_set_roots(nullptr, -1);
    EXPECT_EQ(root_keys(nullptr), built_in);
}

}  // namespace
