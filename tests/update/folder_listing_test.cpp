// listed_file_info answers exactly what file_info answers, for every kind of
// path the comparison meets: present files, other spellings, folders named
// like files, missing files and folders, and after the folder changed.
#include "update/update.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using namespace testing_support;

namespace {

class FolderListingTest : public ::testing::Test {
protected:
    bool put(const std::wstring &rel, const std::string &bytes)
    {
        std::wstring path = dir_ / rel;
        return make_parent_dirs(path.c_str()) && write_file(path, bytes);
    }

    void SetUp() override
    {
        ASSERT_TRUE(put(L"a.txt", "hello"));
        ASSERT_TRUE(put(L"Mixed.Case", "1234567"));
        ASSERT_TRUE(put(L"sub/inner.bin", std::string(70000, 'x')));
        ASSERT_TRUE(put(L"sub/deeper/leaf", ""));
        ASSERT_TRUE(put(L"hidden.dat", "h"));
        SetFileAttributesW((dir_ / L"hidden.dat").c_str(),
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
        // A write time no copy would give by accident.
        ASSERT_TRUE(set_write_time(dir_ / L"a.txt", 0x01D0000012345678ull));
    }
    void TearDown() override { folder_listings_forget(&listings_); }

    // Asks both ways and compares presence, size and write time.
    void expect_same(const std::wstring &rel, int want_present)
    {
        std::wstring path = dir_ / rel;
        uint64_t size = 7, time = 7, listed_size = 7, listed_time = 7;
        int direct = file_info(path.c_str(), &size, &time);
        int listed = listed_file_info(&listings_, path.c_str(), &listed_size, &listed_time);
        EXPECT_EQ(direct, want_present) << narrow(rel);
        EXPECT_EQ(listed, direct) << narrow(rel);
        if (direct && listed) {
            EXPECT_EQ(listed_size, size) << narrow(rel);
            EXPECT_EQ(listed_time, time) << narrow(rel);
        }
    }

    TempDir dir_;
    FolderListings listings_ = {};
};

}  // namespace

TEST_F(FolderListingTest, EveryKindOfPathAnswersAsFileInfo)
{
    struct Row {
        const wchar_t *rel;
        int present;
        const char *why;
    } rows[] = {
        {L"a.txt", 1, "listed exactly, with its set write time"},
        {L"A.TXT", 1, "another spelling: the file system decides"},
        {L"mixed.case", 1, "listed as Mixed.Case"},
        {L"Mixed.Case", 1, "listed exactly"},
        {L"hidden.dat", 1, "hidden and read-only are still files"},
        {L"sub", 0, "a folder where a file is wanted"},
        {L"sub\\inner.bin", 1, "one level down"},
        {L"sub\\deeper", 0, "a folder one level down"},
        {L"sub\\deeper\\leaf", 1, "an empty file two levels down"},
        {L"missing.txt", 0, "not in a listed folder"},
        {L"gone\\file.txt", 0, "in a folder that does not exist"},
        {L"gone\\deeper\\file.txt", 0, "below a folder that does not exist"},
        {L"a.txt\\file", 0, "below a file"},
        {L"a*", 0, "a wildcard is a name, never a pattern"},
        {L"sub\\inner.bin\\", 0, "a trailing separator"},
    };
    // Twice: answers from fresh listings and from held ones agree.
    for (int pass = 0; pass < 2; pass++)
        for (const Row &r : rows) {
            SCOPED_TRACE(r.why);
            expect_same(r.rel, r.present);
        }
}

TEST_F(FolderListingTest, MoreFoldersThanSlotsAreListedAgain)
{
    const int folders = FOLDER_LISTING_SLOTS + 3;
    for (int i = 0; i < folders; i++)
        ASSERT_TRUE(put((L"f" + std::to_wstring(i) + L"/x"), std::to_string(i)));
    for (int round = 0; round < 2; round++)
        for (int i = 0; i < folders; i++) {
            expect_same(L"f" + std::to_wstring(i) + L"\\x", 1);
            expect_same(L"f" + std::to_wstring(i) + L"\\y", 0);
        }
}

// A held listing is not refreshed: after a change the caller forgets it, and
// the next answers are the folder's new state.
TEST_F(FolderListingTest, ForgettingAfterAChangeGivesTheNewState)
{
    expect_same(L"a.txt", 1);
    expect_same(L"later.txt", 0);
    ASSERT_TRUE(DeleteFileW((dir_ / L"a.txt").c_str()));
    ASSERT_TRUE(put(L"later.txt", "new"));
    folder_listings_forget(&listings_);
    expect_same(L"a.txt", 0);
    expect_same(L"later.txt", 1);
}

// A folder whose entries fill several reads is held whole: every one of its
// files is answered from the listing, the last ones as well as the first.
TEST_F(FolderListingTest, AFolderOfSeveralReadsIsHeldWhole)
{
    const int files = 400;
    const std::wstring pad(150, L'n');
    for (int i = 0; i < files; i++)
        ASSERT_TRUE(put(L"many/" + pad + std::to_wstring(i), std::string((size_t)i % 7, 'b')));
    for (int i = 0; i < files; i += 37)
        expect_same(L"many\\" + pad + std::to_wstring(i), 1);
    expect_same(L"many\\" + pad + std::to_wstring(files - 1), 1);
    expect_same(L"many\\" + pad + L"x", 0);

    const std::wstring folder = dir_ / L"many";
    const FolderListing *held = nullptr;
    for (const FolderListing &slot : listings_.slots)
        if (slot.kind != LISTING_NONE && folder == slot.folder)
            held = &slot;
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->kind, LISTING_HELD);
    EXPECT_EQ(held->count, files + 2);  // and "." and ".."
}

// A file at a drive's root is looked for in the root, never in the drive's
// current folder (which "X:" alone names).
TEST_F(FolderListingTest, ADriveRootIsNotTheCurrentFolder)
{
    const std::wstring &base = dir_.path();
    if (base.size() < 2 || base[1] != L':')
        GTEST_SKIP() << "the temporary folder is not on a lettered drive";
    const std::wstring name = L"only-in-the-test-folder-4b1d.txt";
    ASSERT_TRUE(put(name, "here"));
    wchar_t before[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, before), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(base.c_str()));

    const std::wstring at_root = base.substr(0, 2) + L"\\" + name;
    uint64_t size = 0, time = 0;
    int listed = listed_file_info(&listings_, at_root.c_str(), &size, &time);
    int direct = file_info(at_root.c_str(), nullptr, nullptr);
    SetCurrentDirectoryW(before);
    EXPECT_EQ(direct, 0);
    EXPECT_EQ(listed, direct);
}
