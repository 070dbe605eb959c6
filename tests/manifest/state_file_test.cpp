// The local state file: the canonical sorted form on disk, the size limit,
// saves that write nothing when nothing changed, and saves that fail without
// harm.
#include "manifest/manifest.h"

#include "base/base.h"

#include "support/support.h"
#include "state_entries.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>

using namespace testing_support;

namespace {

std::wstring state_path(const TempDir &dir)
{
    return dir / L"Korvanth.state";
}

TEST(StateFile, MissingFileGivesDefaults)
{
    TempDir dir;
    LocalState s;
    memset(&s, 0x5A, sizeof s);
    EXPECT_FALSE(state_load(&s, dir.path().c_str()));
    EXPECT_EQ(s.dxvk, -1);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.entries, nullptr);
    EXPECT_EQ(s.custom_interface, 0);
    EXPECT_EQ(s.version[0], 0);

    ASSERT_TRUE(write_file(state_path(dir), "#Korvanth state\r\n"));
    EXPECT_TRUE(state_load(&s, dir.path().c_str()));
    EXPECT_EQ(s.dxvk, -1);
    EXPECT_EQ(s.count, 0);
    state_free(&s);
}

TEST(StateFile, SavedFileIsSortedAndReproducesItsBytes)
{
    TempDir dir;
    const std::string written =
        "#dxvk=1\n#version=0.9.1\n#interface=1\n#generated=1714564800\n#dxvk_trial=1\n"
        "system/dv.exe\t10\t133000000000000000\t" + HEX_B + "\n"
        "a.txt\t1\t2\t" + std::string(64, 'A') + "\r\n";
    ASSERT_TRUE(write_file(state_path(dir), written));
    LocalState s;
    ASSERT_TRUE(state_load(&s, dir.path().c_str()));
    ASSERT_TRUE(state_save(&s, dir.path().c_str()));
    state_free(&s);

    std::string saved;
    ASSERT_TRUE(read_file(state_path(dir), &saved));
    EXPECT_EQ(saved,
              "#Korvanth state\r\n#interface=1\r\n#dxvk=1\r\n#dxvk_trial=1\r\n"
              "#generated=1714564800\r\n#version=0.9.1\r\n"
              "a.txt\t1\t2\t" + HEX_A + "\r\n"
              "system/dv.exe\t10\t133000000000000000\t" + HEX_B + "\r\n");
    EXPECT_FALSE(file_exists(dir / L"Korvanth.state.tmp"));

    ASSERT_TRUE(state_load(&s, dir.path().c_str()));
    ASSERT_TRUE(state_save(&s, dir.path().c_str()));
    state_free(&s);
    std::string again;
    ASSERT_TRUE(read_file(state_path(dir), &again));
    EXPECT_EQ(again, saved);
}

// A file of exactly `size` bytes that sets dxvk to 1 and is padding otherwise.
void write_padded_state(const std::wstring &path, size_t size)
{
    std::string text = "#Korvanth state\r\n#dxvk=1\r\n#";
    text.resize(size, 'x');
    ASSERT_TRUE(write_file(path, text));
}

TEST(StateFile, SizeLimitIs64MiB)
{
    TempDir dir;
    LocalState s;
    write_padded_state(state_path(dir), STATE_MAX_FILE_BYTES);
    EXPECT_TRUE(state_load(&s, dir.path().c_str()));
    EXPECT_EQ(s.dxvk, 1);
    state_free(&s);

    write_padded_state(state_path(dir), STATE_MAX_FILE_BYTES + 1);
    EXPECT_FALSE(state_load(&s, dir.path().c_str()));
    EXPECT_EQ(s.dxvk, -1);
    state_free(&s);
}

// Saving what the file already holds writes nothing (a check of an
// up-to-date client); any difference, in any block of a text of several
// blocks, even one byte after the text, does.
TEST(StateFile, UnchangedStateIsNotRewritten)
{
    TempDir dir;
    LocalState s;
    state_init(&s);
    for (int i = 0; i < 800; i++) {
        StateEntry e = make_entry("folder/file" + std::to_string(i), (uint64_t)i, 0x11);
        ASSERT_TRUE(state_put(&s, &e));
    }
    ASSERT_TRUE(state_save(&s, dir.path().c_str()));
    std::string saved;
    ASSERT_TRUE(read_file(state_path(dir), &saved));
    ASSERT_GT(saved.size(), 65536u);

    // An old write time shows whether the file was written again.
    auto age = [&]() { EXPECT_TRUE(set_write_time(state_path(dir), 0x01C0000010000000ull)); };
    auto rewritten = [&]() {
        uint64_t size, time;
        EXPECT_TRUE(file_info(state_path(dir).c_str(), &size, &time));
        return time != ((uint64_t)0x01C00000 << 32 | 0x10000000);
    };
    auto changed_at = [&](size_t at) {
        std::string text = saved;
        text[at] ^= 1;
        return text;
    };
    struct Row {
        const char *why;
        std::string on_disk;
        bool rewrite;
    } rows[] = {
        {"the very text", saved, false},
        {"a byte of the first block", changed_at(40), true},
        {"a byte of the last block", changed_at(saved.size() - 3), true},
        {"the last byte missing", saved.substr(0, saved.size() - 1), true},
        {"a byte after the text", saved + "x", true},
        {"no file", "", true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.why);
        if (r.on_disk.empty()) {
            ASSERT_TRUE(DeleteFileW(state_path(dir).c_str()));
        } else {
            ASSERT_TRUE(write_file(state_path(dir), r.on_disk));
            age();
        }
        EXPECT_TRUE(state_save(&s, dir.path().c_str()));
        if (!r.on_disk.empty()) {
            EXPECT_EQ(rewritten(), r.rewrite);
        }
        std::string now;
        ASSERT_TRUE(read_file(state_path(dir), &now));
        EXPECT_TRUE(now == saved);
    }

    age();
    s.dxvk = 1;
    EXPECT_TRUE(state_save(&s, dir.path().c_str()));
    EXPECT_TRUE(rewritten());
    state_free(&s);
}

TEST(StateFile, FailedSaveLeavesTheOldFile)
{
    TempDir dir;
    const std::string old_text = "#Korvanth state\r\n#dxvk=0\r\n";
    ASSERT_TRUE(write_file(state_path(dir), old_text));
    LocalState s;
    state_init(&s);
    s.dxvk = 1;
    StateEntry e = make_entry("a", 1, 0x11);
    ASSERT_TRUE(state_put(&s, &e));

    // The temporary file cannot be created.
    ASSERT_TRUE(CreateDirectoryW((dir / L"Korvanth.state.tmp").c_str(), nullptr));
    EXPECT_FALSE(state_save(&s, dir.path().c_str()));
    std::string now;
    ASSERT_TRUE(read_file(state_path(dir), &now));
    EXPECT_EQ(now, old_text);
    ASSERT_TRUE(RemoveDirectoryW((dir / L"Korvanth.state.tmp").c_str()));

    // The move cannot replace the target; the temporary file goes too.
    TempDir other;
    ASSERT_TRUE(CreateDirectoryW(state_path(other).c_str(), nullptr));
    ASSERT_TRUE(write_file(state_path(other) + L"\\keep", "x"));
    EXPECT_FALSE(state_save(&s, other.path().c_str()));
    EXPECT_TRUE(file_exists(state_path(other) + L"\\keep"));
    EXPECT_FALSE(file_exists(other / L"Korvanth.state.tmp"));

    // A folder that does not exist.
    EXPECT_FALSE(state_save(&s, (dir / L"missing").c_str()));
    state_free(&s);
}

}  // namespace
