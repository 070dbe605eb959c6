// The manifest signature: the lenient Base64 decoder, and ECDSA P-256
// verification against signatures that openssl made with the demo key.
#include "manifest/manifest.h"

#include "support/support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using namespace testing_support;

namespace {

struct Base64Case {
    std::string text;
    size_t cap;
    bool ok;
    std::string want;
    const char *why;
};

TEST(Base64DecodeLenient, AlphabetsPaddingAndCapacity)
{
    const Base64Case cases[] = {
        {"", 80, true, "", "empty text"},
        {"QQ==", 80, true, "A", "padded"},
        {"QQ", 80, true, "A", "padding is not required"},
        {"Q=Q", 80, true, "A", "padding is skipped wherever it stands"},
        {"QUJD", 80, true, "ABC", "no leftover bits"},
        {"QUJ", 80, true, "AB", "leftover bits are dropped"},
        {" Q U\r\nJ\tD\n", 80, true, "ABC", "white space and line breaks"},
        {"+/+/", 80, true, "\xFB\xFF\xBF", "standard alphabet"},
        {"-_-_", 80, true, "\xFB\xFF\xBF", "URL-safe alphabet"},
        {"-/+_", 80, true, "\xFB\xFF\xBF", "alphabets mixed"},
        {"QUJD", 3, true, "ABC", "output exactly at capacity"},
        {"QUJDRA", 3, false, "", "one byte beyond capacity"},
        {"QQ*", 80, false, "", "foreign character"},
        {"QQ\xC3\xA9", 80, false, "", "non-ASCII byte"},
        {std::string("QQ\0Q", 4), 80, false, "", "NUL byte"},
        {"QQ.", 80, false, "", "dot"},
    };
    for (const Base64Case &t : cases) {
        uint8_t out[80];
        size_t n = t.cap;
        bool ok = base64_decode_lenient(t.text.data(), t.text.size(), out, &n);
        EXPECT_EQ(ok, t.ok) << t.why;
        if (ok) {
            EXPECT_EQ(std::string((const char *)out, n), t.want) << t.why;
        }
    }
}

// Memory that faults on any read: a signature check that hashes it crashes
// the test, so a false answer proves the text was refused before hashing.
class Untouchable {
public:
    Untouchable()
    {
        block_ = VirtualAlloc(nullptr, SIZE, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    }
    ~Untouchable() { VirtualFree(block_, 0, MEM_RELEASE); }
    const void *data() const { return block_; }
    static const size_t SIZE = 65536;

private:
    void *block_;
};

#ifdef KORVANTH_TEST_SIGNED_DIR

std::string signed_file(const char *name)
{
    std::string bytes;
    EXPECT_TRUE(read_file(wine_path(std::string(KORVANTH_TEST_SIGNED_DIR "/") + name), &bytes))
        << name;
    return bytes;
}

bool valid(const std::string &manifest, const std::string &sig)
{
    return manifest_signature_valid(manifest.data(), manifest.size(), sig.data(), sig.size());
}

TEST(ManifestSignature, EveryEncodingOfTheSameSignatureVerifies)
{
    const std::string manifest = signed_file("manifest.json");
    ASSERT_FALSE(manifest.empty());
    for (const char *name : {"padded.sig", "bare.sig", "lines.sig", "urlsafe.sig"})
        EXPECT_TRUE(valid(manifest, signed_file(name))) << name;
    EXPECT_TRUE(valid(manifest, signed_file("padded.sig") + "\r\n"));
}

TEST(ManifestSignature, OneChangedByteFails)
{
    const std::string manifest = signed_file("manifest.json");
    const std::string sig = signed_file("padded.sig");
    ASSERT_TRUE(valid(manifest, sig));
    for (size_t at : {(size_t)0, manifest.size() / 2, manifest.size() - 1}) {
        std::string changed = manifest;
        changed[at] ^= 0x01;
        EXPECT_FALSE(valid(changed, sig)) << "manifest byte " << at;
    }
    EXPECT_FALSE(valid(manifest + "\n", sig)) << "an added line break";
    EXPECT_FALSE(valid(manifest.substr(0, manifest.size() - 1), sig)) << "a lost last byte";

    // Changed bytes of r and of s, re-encoded as valid Base64.
    const std::string raw = signed_file("raw.bin");
    ASSERT_EQ(raw.size(), 64u);
    static const char ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t at : {(size_t)0, (size_t)31, (size_t)32, (size_t)63}) {
        std::string changed = raw;
        changed[at] ^= 0x80;
        std::string text;
        for (size_t i = 0; i < changed.size(); i += 3) {
            uint32_t v = (uint8_t)changed[i] << 16;
            if (i + 1 < changed.size())
                v |= (uint8_t)changed[i + 1] << 8;
            if (i + 2 < changed.size())
                v |= (uint8_t)changed[i + 2];
            for (int k = 0; k < 4; k++)
                text += ALPHABET[(v >> (18 - 6 * k)) & 0x3F];
        }
        EXPECT_FALSE(valid(manifest, text)) << "signature byte " << at;
    }
}

TEST(ManifestSignature, WrongShapesAreRefusedBeforeHashing)
{
    Untouchable manifest;
    ASSERT_NE(manifest.data(), nullptr);
    for (const char *name : {"short.sig", "long.sig", "der.sig"}) {
        const std::string sig = signed_file(name);
        EXPECT_FALSE(manifest_signature_valid(manifest.data(), Untouchable::SIZE, sig.data(),
                                              sig.size()))
            << name;
    }
    std::string bad = signed_file("padded.sig");
    bad[10] = '*';
    EXPECT_FALSE(
        manifest_signature_valid(manifest.data(), Untouchable::SIZE, bad.data(), bad.size()));
    bad[10] = '\xC3';
    EXPECT_FALSE(
        manifest_signature_valid(manifest.data(), Untouchable::SIZE, bad.data(), bad.size()));
    const std::string over80(120, 'A');  // would decode to 90 bytes
    EXPECT_FALSE(manifest_signature_valid(manifest.data(), Untouchable::SIZE, over80.data(),
                                          over80.size()));
}

#else

TEST(ManifestSignature, NeedsTheDemoKey)
{
    GTEST_SKIP() << "the build uses a publisher key; no matching private key signs test data";
}

#endif

TEST(ManifestSignature, WellFormedButWrongSignatureFails)
{
    const std::string manifest = "{}";
    // 64 zero bytes: r = s = 0 is never a valid signature.
    const std::string zeros(86, 'A');
    EXPECT_FALSE(manifest_signature_valid(manifest.data(), manifest.size(), zeros.data(),
                                          zeros.size()));
    // 64 bytes 10 41 04 ...: r and s in range, but belonging to no signature.
    const std::string other(86, 'E');
    uint8_t out[80];
    size_t n = sizeof out;
    ASSERT_TRUE(base64_decode_lenient(other.data(), other.size(), out, &n));
    ASSERT_EQ(n, 64u);
    EXPECT_FALSE(manifest_signature_valid(manifest.data(), manifest.size(), other.data(),
                                          other.size()));
}

}  // namespace
