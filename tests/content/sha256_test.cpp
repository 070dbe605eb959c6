// SHA-256 of buffers, running digests and files, against the NIST CAVP
// byte-oriented vectors and against each other.
#include "base/base.h"
#include "content/content.h"
#include "content/sha256_internal.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <random>
#include <sstream>

using namespace testing_support;

namespace {

struct Vector {
    std::string msg;  // raw bytes
    std::string md;   // lower-case hex, as the file writes it
};

// The "Len = / Msg = / MD =" records of a CAVP response file. Msg holds at
// least one byte even for Len = 0 ("00"): only Len / 8 bytes are the message.
std::vector<Vector> read_cavp(const char *file_name)
{
    std::string text;
    std::string path = std::string(CAVP_SHA2_DIR) + "/" + file_name;
    EXPECT_TRUE(read_file(wine_path(path), &text)) << path;
    std::vector<Vector> vectors;
    std::istringstream lines(text);
    std::string line;
    size_t len_bits = 0;
    Vector v;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("Len = ", 0) == 0) {
            len_bits = strtoul(line.c_str() + 6, nullptr, 10);
        } else if (line.rfind("Msg = ", 0) == 0) {
            std::string hex = line.substr(6);
            v.msg.clear();
            for (size_t i = 0; i + 1 < hex.size() && v.msg.size() < len_bits / 8; i += 2)
                v.msg.push_back((char)(hex_digit_value(hex[i]) * 16 + hex_digit_value(hex[i + 1])));
            EXPECT_EQ(v.msg.size(), len_bits / 8);
        } else if (line.rfind("MD = ", 0) == 0) {
            v.md = line.substr(5);
            vectors.push_back(v);
        }
    }
    return vectors;
}

std::string hex_of(const uint8_t digest[SHA256_BYTES])
{
    char text[SHA256_HEX_CHARS];
    hex_encode(digest, SHA256_BYTES, text);
    return text;
}

std::string pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++)
        s[i] = (char)(i * 31 + (i >> 11));
    return s;
}

// Hashes with one engine for the life of a case and restores the process's
// own choice afterwards.
class Sha256Engines : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        before_ = sha256_engine();
        if (!sha256_select_engine(GetParam()))
            GTEST_SKIP() << "this processor has no SHA extensions";
    }
    void TearDown() override { sha256_select_engine(before_); }

private:
    int before_ = 0;
};

std::string engine_name(const ::testing::TestParamInfo<int> &info)
{
    return info.param == SHA256_ENGINE_SHA_NI ? "ShaNi" : "Bcrypt";
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(BothEngines, Sha256Engines,
                         ::testing::Values(SHA256_ENGINE_BCRYPT, SHA256_ENGINE_SHA_NI),
                         engine_name);

TEST_P(Sha256Engines, NistShortAndLongMessages)
{
    for (const char *file : {"SHA256ShortMsg.rsp", "SHA256LongMsg.rsp"}) {
        std::vector<Vector> vectors = read_cavp(file);
        ASSERT_GE(vectors.size(), 64u) << file;
        for (const Vector &v : vectors) {
            uint8_t digest[SHA256_BYTES];
            ASSERT_EQ(sha256_buffer(v.msg.data(), v.msg.size(), digest), 1);
            EXPECT_EQ(hex_of(digest), v.md) << file << " length " << v.msg.size();

            // The same bytes fed to a running digest in three uneven pieces.
            RunningDigest running = {};
            ASSERT_EQ(running_digest_begin(&running), DIGEST_BEGIN_OK);
            size_t a = v.msg.size() / 3, b = v.msg.size() / 2;
            EXPECT_EQ(running_digest_add(&running, v.msg.data(), a), 1);
            EXPECT_EQ(running_digest_add(&running, v.msg.data() + a, b - a), 1);
            EXPECT_EQ(running_digest_add(&running, v.msg.data() + b, v.msg.size() - b), 1);
            uint8_t pieces[SHA256_BYTES];
            EXPECT_EQ(running_digest_finish(&running, pieces), 1);
            running_digest_release(&running);
            EXPECT_EQ(memcmp(pieces, digest, SHA256_BYTES), 0) << file << " " << v.msg.size();
        }
    }
}

// Random lengths around and across block boundaries, each fed to the SHA
// extensions in random pieces and to bcrypt whole: the digests agree.
TEST(Sha256, ShaExtensionsAgreeWithBcryptOnRandomSplits)
{
    int before = sha256_engine();
    if (!sha256_select_engine(SHA256_ENGINE_SHA_NI))
        GTEST_SKIP() << "this processor has no SHA extensions";
    sha256_select_engine(before);
    std::mt19937 rng(20240613);
    std::string data(70000, '\0');
    for (char &c : data)
        c = (char)rng();
    for (int round = 0; round < 30000; round++) {
        // Mostly a few blocks, sometimes many: the bulk path and the tail.
        size_t len = round % 100 == 0 ? rng() % data.size() : rng() % 400;
        size_t start = rng() % (data.size() - len + 1);
        const char *msg = data.data() + start;

        Sha256Blocks blocks;
        sha256_blocks_begin(&blocks);
        size_t done = 0;
        while (done < len) {
            size_t piece = rng() % 3 == 0 ? 0 : rng() % (len - done + 1);
            sha256_blocks_add(&blocks, msg + done, piece);
            done += piece;
        }
        uint8_t ours[SHA256_BYTES], theirs[SHA256_BYTES];
        sha256_blocks_finish(&blocks, ours);

        ASSERT_EQ(sha256_select_engine(SHA256_ENGINE_BCRYPT), 1);
        int ok = sha256_buffer(msg, len, theirs);
        sha256_select_engine(before);
        ASSERT_EQ(ok, 1);
        ASSERT_EQ(hex_of(ours), hex_of(theirs)) << "length " << len << " at " << start;
    }
}

// The choice follows what the processor reports (Wine passes CPUID through;
// Linux lists the flag in /proc/cpuinfo).
TEST(Sha256, EngineFollowsTheProcessorsFlags)
{
    std::string cpuinfo;
    if (!read_file(wine_path("/proc/cpuinfo"), &cpuinfo))
        GTEST_SKIP() << "no /proc/cpuinfo";
    bool listed = cpuinfo.find(" sha_ni") != std::string::npos;
    EXPECT_EQ(cpu_has_sha_extensions() == 1, listed);
    int before = sha256_engine();
    EXPECT_EQ(sha256_select_engine(SHA256_ENGINE_SHA_NI), listed ? 1 : 0);
    EXPECT_EQ(sha256_select_engine(SHA256_ENGINE_BCRYPT), 1);
    EXPECT_EQ(sha256_engine(), SHA256_ENGINE_BCRYPT);
    EXPECT_EQ(sha256_select_engine(0), 0);
    EXPECT_EQ(sha256_engine(), SHA256_ENGINE_BCRYPT);
    sha256_select_engine(before);
}

TEST(Sha256, ReleaseIsSafeTwiceAndUnbegun)
{
    RunningDigest never = {};
    running_digest_release(&never);
    RunningDigest d = {};
    ASSERT_EQ(running_digest_begin(&d), DIGEST_BEGIN_OK);
    running_digest_release(&d);
    running_digest_release(&d);
    EXPECT_EQ(d.provider, nullptr);
    EXPECT_EQ(d.hash, nullptr);
}

TEST_P(Sha256Engines, FileSizesAroundTheReadBlock)
{
    // The end of a file shows only as a read of zero bytes: a file of exactly
    // one block and one of a block and a byte take different last steps.
    // From 4 MiB on, the next block is read on a second thread.
    TempDir dir;
    const size_t sizes[] = {0, 1, 1048575, 1048576, 1048577, 3 * 1048576, 4 * 1048576 - 1,
                            4 * 1048576, 4 * 1048576 + 1, 9 * 1048576 + 5};
    for (size_t size : sizes) {
        std::string content = pattern(size);
        std::wstring path = dir / L"file.bin";
        ASSERT_TRUE(write_file(path, content));
        uint8_t from_file[SHA256_BYTES], from_memory[SHA256_BYTES];
        ASSERT_EQ(sha256_file(path.c_str(), from_file), 1) << size;
        ASSERT_EQ(sha256_buffer(content.data(), content.size(), from_memory), 1);
        EXPECT_EQ(hex_of(from_file), hex_of(from_memory)) << size;
        if (size == 0) {
            EXPECT_EQ(hex_of(from_file),
                      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        }
    }
}

namespace {

struct Hasher {
    std::wstring path;
    std::string want;
    int right = 0;
};

DWORD WINAPI hash_repeatedly(void *arg)
{
    Hasher *h = (Hasher *)arg;
    for (int i = 0; i < 40; i++) {
        uint8_t digest[SHA256_BYTES];
        if (sha256_file(h->path.c_str(), digest) && hex_of(digest) == h->want)
            h->right++;
    }
    return 0;
}

}  // namespace

// The read block kept for the process is lent to one caller at a time: two
// threads hashing different files at once both get their own digests.
TEST(Sha256File, TwoThreadsAtOnce)
{
    TempDir dir;
    Hasher a, b;
    a.path = dir / L"a.bin";
    b.path = dir / L"b.bin";
    std::string ca = pattern(1048576 + 77), cb = std::string(700000, 'b');
    ASSERT_TRUE(write_file(a.path, ca));
    ASSERT_TRUE(write_file(b.path, cb));
    uint8_t d[SHA256_BYTES];
    ASSERT_EQ(sha256_buffer(ca.data(), ca.size(), d), 1);
    a.want = hex_of(d);
    ASSERT_EQ(sha256_buffer(cb.data(), cb.size(), d), 1);
    b.want = hex_of(d);
    HANDLE ta = CreateThread(nullptr, 0, hash_repeatedly, &a, 0, nullptr);
    HANDLE tb = CreateThread(nullptr, 0, hash_repeatedly, &b, 0, nullptr);
    ASSERT_TRUE(ta && tb);
    WaitForSingleObject(ta, INFINITE);
    WaitForSingleObject(tb, INFINITE);
    CloseHandle(ta);
    CloseHandle(tb);
    EXPECT_EQ(a.right, 40);
    EXPECT_EQ(b.right, 40);
}

TEST(Sha256File, FolderAndMissingPathGiveFalse)
{
    TempDir dir;
    uint8_t digest[SHA256_BYTES];
    EXPECT_EQ(sha256_file(dir.path().c_str(), digest), 0);
    EXPECT_EQ(sha256_file((dir / L"missing.bin").c_str(), digest), 0);
    EXPECT_EQ(sha256_file((dir / L"no/such/folder/file").c_str(), digest), 0);
}

TEST(Sha256File, FileHeldOpenForWritingByAnotherProgram)
{
    TempDir dir;
    std::wstring path = dir / L"held.log";
    const size_t size = 1048576 + 4096;
    wchar_t ready_name[64], quit_name[64];
    wsprintfW(ready_name, L"kv-holder-ready-%lu", GetCurrentProcessId());
    wsprintfW(quit_name, L"kv-holder-quit-%lu", GetCurrentProcessId());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, ready_name);
    HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, quit_name);
    ASSERT_TRUE(ready && quit);

    std::wstring cmd = L"\"" + wine_path(FILE_HOLDER_EXE) + L"\" \"" + path + L"\" " +
                       std::to_wstring(size) + L" " + ready_name + L" " + quit_name;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    HANDLE waits[2] = {ready, pi.hProcess};
    DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 30000);
    EXPECT_EQ(woke, WAIT_OBJECT_0) << "the holder did not get the file open";

    uint8_t from_file[SHA256_BYTES], from_memory[SHA256_BYTES];
    if (woke == WAIT_OBJECT_0) {
        EXPECT_EQ(sha256_file(path.c_str(), from_file), 1);
        std::string content = pattern(size);
        ASSERT_EQ(sha256_buffer(content.data(), content.size(), from_memory), 1);
        EXPECT_EQ(hex_of(from_file), hex_of(from_memory));
    }
    SetEvent(quit);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(ready);
    CloseHandle(quit);
}

// A digest fed through the ring: whatever the block lengths (empty, partial,
// full), the one digest of the bytes in order; a ring closed with blocks
// still on their way, or before any, ends its thread.
TEST(DigestRing, BlocksOfAnyLengthGiveTheDigestOfTheWhole)
{
    const uint32_t BLOCK = 4096;
    std::mt19937 rng(20261208);
    std::string data(200000, '\0');
    for (char &c : data)
        c = (char)rng();
    for (int round = 0; round < 20; round++) {
        DigestRing ring = {};
        ASSERT_EQ(digest_ring_open(&ring, BLOCK), 1);
        size_t fed = 0;
        while (fed < data.size()) {
            uint32_t len = (uint32_t)std::min<size_t>(
                rng() % 4 == 0 ? BLOCK : rng() % 3 == 0 ? 0 : rng() % BLOCK, data.size() - fed);
            memcpy(digest_ring_block(&ring), data.data() + fed, len);
            ASSERT_EQ(digest_ring_add(&ring, len), 1);
            fed += len;
        }
        uint8_t ours[SHA256_BYTES], whole[SHA256_BYTES];
        ASSERT_EQ(digest_ring_finish(&ring, ours), 1);
        digest_ring_close(&ring);
        ASSERT_EQ(sha256_buffer(data.data(), data.size(), whole), 1);
        ASSERT_EQ(hex_of(ours), hex_of(whole)) << "round " << round;
    }
    DigestRing untouched = {}, midway = {};
    ASSERT_EQ(digest_ring_open(&untouched, BLOCK), 1);
    digest_ring_close(&untouched);
    ASSERT_EQ(digest_ring_open(&midway, BLOCK), 1);
    for (int n = 0; n < 5; n++)
        digest_ring_add(&midway, BLOCK);
    digest_ring_block(&midway);
    digest_ring_close(&midway);
}
