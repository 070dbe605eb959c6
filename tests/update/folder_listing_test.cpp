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
        HANDLE f = CreateFileW((dir_ / L"a.txt").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        FILETIME t = {0x12345678, 0x01D00000};
        EXPECT_TRUE(SetFileTime(f, nullptr, nullptr, &t));
        CloseHandle(f);
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
