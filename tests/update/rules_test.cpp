// The rules that decide which files belong in a client folder, and the small
// pieces of the update engine that need no server.
#include "update/update.h"
#include "fetch/fetch.h"

#include "korvanth_config.h"
#include "support/seams.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>

using namespace testing_support;

namespace {

ManifestEntry entry(const char *path, char group, const char *id = "")
{
    ManifestEntry e;
    memset(&e, 0, sizeof e);
    strcpy(e.path, path);
    e.group = (uint8_t)group;
    strcpy(e.id, id);
    return e;
}

LocalState flags(int custom_interface, int dxvk)
{
    LocalState s;
    state_init(&s);
    s.custom_interface = custom_interface;
    s.dxvk = dxvk;
    return s;
}

}  // namespace

TEST(EntryWanted, GroupsAndOptionalIds)
{
    const struct { char group; const char *id; int custom_interface, dxvk, wanted; } rows[] = {
        {'b', "", 0, -1, 1},
        {'s', "", 1, 0, 1},
        {'i', "", 1, 0, 1},   // interface files only with the custom interface
        {'i', "", 0, 0, 0},
        {'k', "", 0, 0, 1},   // stock files only without it
        {'k', "", 1, 0, 0},
        {0, "dxvk", 0, 1, 1}, // Vulkan files only when the mode is on
        {0, "dxvk", 0, 0, 0},
        {0, "dxvk", 0, -1, 0},
        {'b', "dxvk", 0, 0, 0}, // an id decides over any group
        {0, "other", 1, 1, 0},  // unknown features are never installed
        {'x', "", 0, 0, 1},     // unknown groups count as base
    };
    for (const auto &row : rows) {
        ManifestEntry e = entry("a", row.group, row.id);
        LocalState s = flags(row.custom_interface, row.dxvk);
        EXPECT_EQ(is_entry_wanted(&e, &s), row.wanted)
            << row.group << " " << row.id << " " << row.custom_interface << " " << row.dxvk;
    }
}

TEST(ManifestItems, FilesThenOptionalAndWireSizes)
{
    ManifestEntry files[2] = {entry("a", 'b'), entry("b", 'b')};
    ManifestEntry optional[2] = {entry("o1", 0, "other"), entry("o2", 0, "dxvk")};
    files[0].size = 100;
    files[0].packed_size = 40;
    files[1].size = 100;
    Manifest m;
    memset(&m, 0, sizeof m);
    m.files = files;
    m.file_count = 2;
    m.optional = optional;
    m.optional_count = 2;
    EXPECT_EQ(manifest_item(&m, 1), &files[1]);
    EXPECT_EQ(manifest_item(&m, 2), &optional[0]);
    EXPECT_EQ(manifest_item(&m, 3), &optional[1]);
    EXPECT_EQ(find_optional_entry(&m, "dxvk"), &optional[1]);
    EXPECT_EQ(find_optional_entry(&m, "DXVK"), nullptr);
    EXPECT_EQ(entry_wire_size(&files[0]), 40u);
    EXPECT_EQ(entry_wire_size(&files[1]), 100u);
}

TEST(MirrorList, BuiltInPairFirstThenNewManifestMirrors)
{
    Manifest m;
    memset(&m, 0, sizeof m);
    MirrorList list;
    EXPECT_EQ(build_mirror_list(nullptr, &list), 2);
    EXPECT_STREQ(list.url[0], KORVANTH_DOWNLOAD_URL);
    EXPECT_EQ(std::wstring(list.url[1]), std::wstring(KORVANTH_WEB_URL) + L"files/");

    // A built-in mirror in other capitals adds nothing; of six new mirrors
    // only four fit.
    std::wstring upper = KORVANTH_DOWNLOAD_URL;
    CharUpperW(&upper[0]);
    wcscpy(m.mirrors[0], upper.c_str());
    const wchar_t *more[] = {L"https://m1.test/", L"https://M1.test/", L"https://m2.test/",
                             L"https://m3.test/", L"https://m4.test/"};
    for (int i = 0; i < 5; i++)
        wcscpy(m.mirrors[i + 1], more[i]);
    m.mirror_count = 6;
    EXPECT_EQ(build_mirror_list(&m, &list), 6);
    EXPECT_STREQ(list.url[2], L"https://m1.test/");
    EXPECT_STREQ(list.url[3], L"https://m2.test/");
    EXPECT_STREQ(list.url[5], L"https://m4.test/");

    SeamGuard seams;
    mirrors_set_builtin(L"http://127.0.0.1:1/", L"http://127.0.0.1:1/files/");
    EXPECT_EQ(build_mirror_list(nullptr, &list), 2);
    EXPECT_STREQ(list.url[1], L"http://127.0.0.1:1/files/");
    mirrors_set_builtin(nullptr, nullptr);
    build_mirror_list(nullptr, &list);
    EXPECT_STREQ(list.url[0], KORVANTH_DOWNLOAD_URL);
}

TEST(RemoveListedFiles, FilesGoFoldersStayRecordsDrop)
{
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"system").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir / L"old").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"system/obsolete.dll", "x"));
    char remove[3][MANIFEST_PATH_BYTES] = {"system/obsolete.dll", "old", "never/there"};
    Manifest m;
    memset(&m, 0, sizeof m);
    m.remove = remove;
    m.remove_count = 3;
    LocalState state;
    state_init(&state);
    for (const char *path : {"system/obsolete.dll", "old", "kept"}) {
        StateEntry record;
        memset(&record, 0, sizeof record);
        strcpy(record.path, path);
        ASSERT_TRUE(state_put(&state, &record));
    }
    log_open(dir.path().c_str());

    remove_listed_files(&m, &state, dir.path().c_str());
    EXPECT_FALSE(file_exists(dir / L"system/obsolete.dll"));
    EXPECT_TRUE(file_exists(dir / L"old"));
    EXPECT_EQ(state.count, 1);
    EXPECT_STREQ(state.entries[0].path, "kept");
    std::string log;
    read_file(dir / L"Korvanth.log", &log);
    EXPECT_NE(log.find("removed system\\obsolete.dll\r\n"), std::string::npos) << log;
    state_free(&state);
}
