// A release built by the publisher's tool (tests/publish/make_release.py, run
// by the publish_release fixture with the key this test build carries) is
// what the launcher's own signature check and manifest reader accept, and
// every object it names is on the mirror tree with the promised digest; every
// gzip object decodes with the launcher's own decoder. The same holds for the
// release packed with --compression best, whose members another encoder made.
// Its large files also come as chunks: the launcher reads their indexes, cuts
// the files where the publisher did, and a launcher that does not know the
// chunks key reads the same release as before.
#include "chunks/chunks.h"
#include "manifest/manifest.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

using testing_support::read_file;
using testing_support::wine_path;

namespace {

const std::string RELEASES = KORVANTH_BINARY_DIR "/publish-release/";

// A launcher built with a key whose private half we lack gets no release.
bool release_missing()
{
    return testing_support::file_exists(wine_path(KORVANTH_BINARY_DIR "/publish-release/no-key"));
}

std::string release_file(const std::string &tree, const std::string &name)
{
    std::string bytes;
    EXPECT_TRUE(read_file(wine_path(RELEASES + tree + "/" + name), &bytes)) << name;
    return bytes;
}

std::string hex_of(const uint8_t *digest)
{
    char text[SHA256_HEX_CHARS];
    hex_encode(digest, SHA256_BYTES, text);
    return text;
}

// The object named by `entry` holds `entry.size` bytes with its digest, and
// its gzip form, where the entry has one, decodes to the same.
void expect_object(const std::string &tree, const ManifestEntry &entry)
{
    SCOPED_TRACE(tree + ": " + entry.path);
    std::wstring path = wine_path(RELEASES + tree + "/objects/" + hex_of(entry.digest));
    uint8_t digest[SHA256_BYTES];
    ASSERT_TRUE(sha256_file(path.c_str(), digest));
    EXPECT_EQ(memcmp(digest, entry.digest, SHA256_BYTES), 0);
    EXPECT_EQ(testing_support::file_size(path), entry.size);
    if (entry.packed_size) {
        std::wstring packed = path + L".gz";
        EXPECT_EQ(testing_support::file_size(packed), entry.packed_size);
        EXPECT_LT(entry.packed_size, entry.size);
        testing_support::TempDir scratch;
        char error[GZIP_ERROR_TEXT_BYTES] = "";
        ASSERT_TRUE(gunzip_file_hashed(packed.c_str(), (scratch / L"out").c_str(), digest, error))
            << error;
        EXPECT_EQ(memcmp(digest, entry.digest, SHA256_BYTES), 0);
    }
}

class PublishedRelease : public testing::TestWithParam<const char *> {};

INSTANTIATE_TEST_SUITE_P(Compression, PublishedRelease, testing::Values("mirror", "mirror-best"));

TEST_P(PublishedRelease, SignatureIsAcceptedAndAnyChangeRefused)
{
    if (release_missing())
        GTEST_SKIP() << "built with a key other than the demo key";
    std::string manifest = release_file(GetParam(), "manifest.json");
    std::string sig = release_file(GetParam(), "manifest.sig");
    EXPECT_TRUE(manifest_signature_valid(manifest.data(), manifest.size(), sig.data(), sig.size()));
    std::string changed = manifest;
    changed[changed.size() / 2] ^= 1;
    EXPECT_FALSE(manifest_signature_valid(changed.data(), changed.size(), sig.data(), sig.size()));
}

TEST_P(PublishedRelease, ManifestParsesWithEveryObjectInPlace)
{
    if (release_missing())
        GTEST_SKIP() << "built with a key other than the demo key";
    std::string bytes = release_file(GetParam(), "manifest.json");
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
    expect_object(GetParam(), m.launcher);

    ASSERT_EQ(m.file_count, 8);
    const struct {
        const char *path;
        char group;
        int seed;
    } want[] = {
        {"data/quests.txt", 'b', 0},
        {"data/world.pak", 'b', 0},
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
        expect_object(GetParam(), m.files[i]);
    }
    EXPECT_NE(m.files[7].packed_size, 0u);  // a program of zeros packs well

    ASSERT_EQ(m.optional_count, 1);
    EXPECT_STREQ(m.optional[0].path, "system/d3d9_dxvk.dll");
    EXPECT_STREQ(m.optional[0].id, "dxvk");
    EXPECT_EQ(m.optional[0].group, 0);
    expect_object(GetParam(), m.optional[0]);
    manifest_free(&m);
}

struct Cut {
    uint64_t offset;
    uint32_t length;
    std::string digest;
};

int collect(void *context, uint64_t offset, uint32_t length, const uint8_t digest[SHA256_BYTES])
{
    ((std::vector<Cut> *)context)->push_back({offset, length, hex_of(digest)});
    return 1;
}

TEST_P(PublishedRelease, ChunksAreWhereTheLauncherCuts)
{
    if (release_missing())
        GTEST_SKIP() << "built with a key other than the demo key";
    std::string bytes = release_file(GetParam(), "manifest.json");
    Manifest m;
    char error[128] = "";
    ASSERT_TRUE(manifest_parse(bytes.data(), bytes.size(), &m, error)) << error;
    int chunked = 0;
    for (int i = 0; i < m.file_count; i++) {
        const ManifestEntry &e = m.files[i];
        EXPECT_EQ(e.has_chunks, e.size >= 200000) << e.path;
        if (!e.has_chunks)
            continue;
        SCOPED_TRACE(e.path);
        chunked++;
        std::string index_bytes = release_file(GetParam(), "objects/" + hex_of(e.chunks_digest));
        uint8_t digest[SHA256_BYTES];
        ASSERT_TRUE(sha256_buffer(index_bytes.data(), index_bytes.size(), digest));
        EXPECT_EQ(memcmp(digest, e.chunks_digest, SHA256_BYTES), 0);
        ChunkIndex index;
        ASSERT_EQ(chunk_index_parse(index_bytes.data(), index_bytes.size(), e.size, &index),
                  CHUNK_INDEX_OK);
        std::vector<Cut> cuts;
        std::wstring whole = wine_path(RELEASES + GetParam() + "/objects/" + hex_of(e.digest));
        ASSERT_EQ(chunk_file(whole.c_str(), collect, &cuts, nullptr), CHUNK_FILE_OK);
        ASSERT_EQ(cuts.size(), index.count);
        for (uint32_t k = 0; k < index.count; k++) {
            EXPECT_EQ(cuts[k].length, chunk_index_length(&index, k)) << k;
            EXPECT_EQ(cuts[k].digest, hex_of(chunk_index_digest(&index, k))) << k;
            ManifestEntry chunk = {};
            memcpy(chunk.digest, chunk_index_digest(&index, k), SHA256_BYTES);
            chunk.size = chunk_index_length(&index, k);
            chunk.packed_size = chunk_index_packed(&index, k);
            expect_object(GetParam(), chunk);
        }
    }
    EXPECT_EQ(chunked, 2);  // the archive and the program of zeros

    // A launcher from before chunks: the key skipped, everything else alike.
    bool before = manifest_reads_chunks;
    manifest_reads_chunks = false;
    Manifest old;
    bool parsed = manifest_parse(bytes.data(), bytes.size(), &old, error);
    manifest_reads_chunks = before;
    ASSERT_TRUE(parsed) << error;
    ASSERT_EQ(old.file_count, m.file_count);
    for (int i = 0; i < m.file_count; i++) {
        const ManifestEntry &a = m.files[i], &b = old.files[i];
        EXPECT_EQ(b.has_chunks, 0);
        EXPECT_TRUE(strcmp(a.path, b.path) == 0 && a.size == b.size &&
                    a.packed_size == b.packed_size && a.group == b.group && a.seed == b.seed &&
                    memcmp(a.digest, b.digest, SHA256_BYTES) == 0)
            << a.path;
    }
    manifest_free(&old);
    manifest_free(&m);
}

// The best release is not the zlib one renamed: the text packs smaller.
TEST(PublishedBestRelease, HoldsSmallerMembersThanZlib)
{
    if (release_missing())
        GTEST_SKIP() << "built with a key other than the demo key";
    Manifest zlib9, best;
    char error[128] = "";
    std::string zlib9_text = release_file("mirror", "manifest.json");
    std::string best_text = release_file("mirror-best", "manifest.json");
    ASSERT_TRUE(manifest_parse(zlib9_text.data(), zlib9_text.size(), &zlib9, error)) << error;
    ASSERT_TRUE(manifest_parse(best_text.data(), best_text.size(), &best, error)) << error;
    ASSERT_STREQ(best.files[0].path, "data/quests.txt");
    EXPECT_LT(best.files[0].packed_size, zlib9.files[0].packed_size);
    for (int i = 0; i < best.file_count; i++)
        EXPECT_LE(best.files[i].packed_size, zlib9.files[i].packed_size) << best.files[i].path;
    manifest_free(&zlib9);
    manifest_free(&best);
}

}  // namespace
