// A release built by the publisher's tool (tests/publish/make_release.py, run
// by the publish_release fixture with the key this test build carries) is
// what the launcher's own signature check and manifest reader accept, and
// every object it names is on the mirror tree with the promised digest.
#include "content/content.h"
#include "manifest/manifest.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

using testing_support::read_file;
using testing_support::wine_path;

namespace {

const std::string RELEASE = KORVANTH_BINARY_DIR "/publish-release/mirror";

// A launcher built with a key whose private half we lack gets no release.
bool release_missing()
{
    return testing_support::file_exists(wine_path(KORVANTH_BINARY_DIR "/publish-release/no-key"));
}

std::string release_file(const std::string &name)
{
    std::string bytes;
    EXPECT_TRUE(read_file(wine_path(RELEASE + "/" + name), &bytes)) << name;
    return bytes;
}

std::string hex_of(const uint8_t *digest)
{
    char text[SHA256_HEX_CHARS];
    hex_encode(digest, SHA256_BYTES, text);
    return text;
}

// The object named by `entry` holds `entry.size` bytes with its digest.
void expect_object(const ManifestEntry &entry)
{
    SCOPED_TRACE(entry.path);
    std::wstring path = wine_path(RELEASE + "/objects/" + hex_of(entry.digest));
    uint8_t digest[SHA256_BYTES];
    ASSERT_TRUE(sha256_file(path.c_str(), digest));
    EXPECT_EQ(memcmp(digest, entry.digest, SHA256_BYTES), 0);
    EXPECT_EQ(testing_support::file_size(path), entry.size);
    if (entry.packed_size) {
        std::wstring packed = path + L".gz";
        EXPECT_EQ(testing_support::file_size(packed), entry.packed_size);
        EXPECT_LT(entry.packed_size, entry.size);
    }
}

TEST(PublishedRelease, SignatureIsAcceptedAndAnyChangeRefused)
{
    if (release_missing())
        GTEST_SKIP() << "built with a key other than the demo key";
    std::string manifest = release_file("manifest.json");
    std::string sig = release_file("manifest.sig");
    EXPECT_TRUE(manifest_signature_valid(manifest.data(), manifest.size(), sig.data(), sig.size()));
    std::string changed = manifest;
    changed[changed.size() / 2] ^= 1;
    EXPECT_FALSE(manifest_signature_valid(changed.data(), changed.size(), sig.data(), sig.size()));
}

TEST(PublishedRelease, ManifestParsesWithEveryObjectInPlace)
{
    if (release_missing())
        GTEST_SKIP() << "built with a key other than the demo key";
    std::string bytes = release_file("manifest.json");
    Manifest m;
    char error[128] = "";
    ASSERT_TRUE(manifest_parse(bytes.data(), bytes.size(), &m, error)) << error;

    EXPECT_STREQ(m.version, "1.2.3 \xC3\xA9");
    EXPECT_STREQ(m.generated_text, "2026-03-04T05:06:07Z");
    EXPECT_EQ(m.generated, 1772600767);
    EXPECT_EQ(m.mirror_count, 2);
    EXPECT_EQ(m.remove_count, 1);
    EXPECT_STREQ(m.remove[0], "old/gone.txt");

    ASSERT_EQ(m.has_launcher, 1);
    EXPECT_STREQ(m.launcher.path, "Korvanth.exe");
    uint8_t launcher_digest[SHA256_BYTES];
    ASSERT_TRUE(sha256_file(testing_support::launcher_exe().c_str(), launcher_digest));
    EXPECT_EQ(memcmp(launcher_digest, m.launcher.digest, SHA256_BYTES), 0);
    expect_object(m.launcher);

    ASSERT_EQ(m.file_count, 6);
    const struct {
        const char *path;
        char group;
        int seed;
    } want[] = {
        {"data/\xC3\xA9t\xC3\xA9 maps/a.dat", 'b', 0},
        {"interface/skin.xml", 'i', 0},
        {"settings.cfg", 'b', 1},
        {"stock/skin.xml", 'k', 0},
        {"system/d3d9.dll", 's', 0},
        {"system/dv.exe", 's', 0},
    };
    for (int i = 0; i < m.file_count; i++) {
        EXPECT_STREQ(m.files[i].path, want[i].path);
        EXPECT_EQ(m.files[i].group, want[i].group) << want[i].path;
        EXPECT_EQ(m.files[i].seed, want[i].seed) << want[i].path;
        expect_object(m.files[i]);
    }
    EXPECT_NE(m.files[5].packed_size, 0u);  // a program of zeros packs well

    ASSERT_EQ(m.optional_count, 1);
    EXPECT_STREQ(m.optional[0].path, "system/d3d9_dxvk.dll");
    EXPECT_STREQ(m.optional[0].id, "dxvk");
    EXPECT_EQ(m.optional[0].group, 0);
    expect_object(m.optional[0]);
    manifest_free(&m);
}

}  // namespace
