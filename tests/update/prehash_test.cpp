// A verify's hashing ahead: what it hashed is taken only for a file that
// still has the size and time it had then.
#include "update/pass.h"

#include "content/content.h"
#include "manifest/manifest.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>

using namespace testing_support;

namespace {

void sha(const std::string &bytes, uint8_t digest[SHA256_BYTES])
{
    ASSERT_TRUE(sha256_buffer(bytes.data(), bytes.size(), digest));
}

TEST(Prehash, DigestsServeOnlyFilesUnchangedSinceTheyWereHashed)
{
    TempDir dir;
    const char *const names[] = {"a.bin", "b.bin", "sub/c.bin", "gone.bin"};
    WorkerParams params;
    memset(&params, 0, sizeof params);
    params.mode = Verify;
    Pass pass;
    memset(&pass, 0, sizeof pass);
    pass.params = &params;
    pass.folder = dir.path().c_str();
    state_init(&pass.state);
    for (const char *name : names) {
        std::wstring path = dir / widen(name);
        ASSERT_TRUE(make_parent_dirs(path.c_str()));
        if (strcmp(name, "gone.bin") != 0) {
            ASSERT_TRUE(write_file(path, std::string("content of ") + name));
        }
        StateEntry record;
        memset(&record, 0, sizeof record);
        lstrcpynA(record.path, name, sizeof record.path);
        ASSERT_TRUE(state_put(&pass.state, &record));
    }

    Prehash *p = prehash_start(&pass);
    ASSERT_NE(p, nullptr);
    prehash_finish(p, true);
    // b.bin written again afterwards, its size the same, its time later.
    ASSERT_TRUE(write_file(dir / L"b.bin", "content of B.BIN"));
    ASSERT_TRUE(set_write_time(dir / L"b.bin", 0x01e0000012345678ull));

    for (const char *name : names) {
        SCOPED_TRACE(name);
        uint64_t size = 0, time = 0;
        bool present = file_info((dir / widen(name)).c_str(), &size, &time) != 0;
        uint8_t got[SHA256_BYTES], want[SHA256_BYTES];
        bool served = prehash_digest(p, name, size, time, got);
        EXPECT_EQ(served, present && strcmp(name, "b.bin") != 0);
        if (served) {
            sha(std::string("content of ") + name, want);
            EXPECT_EQ(memcmp(got, want, SHA256_BYTES), 0);
        }
        // Another size or time than the file had when hashed: not served.
        EXPECT_FALSE(prehash_digest(p, name, size + 1, time, got));
        EXPECT_FALSE(prehash_digest(p, name, size, time + 1, got));
    }
    EXPECT_FALSE(prehash_digest(p, "unrecorded.bin", 0, 0, nullptr));
    prehash_free(p);

    // Other modes do not hash ahead.
    params.mode = Update;
    EXPECT_EQ(prehash_start(&pass), nullptr);
    state_free(&pass.state);
}

}  // namespace
