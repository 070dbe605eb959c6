#include "checks.h"

#include "content/content.h"
#include "support/harness.h"
#include "manifest/manifest.h"
#include "support/support.h"
#include "update/update.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <set>

using namespace testing_support;

namespace fault_test {

const char PLAYER_SETTINGS[] = "[settings]\r\nvolume=9\r\n; the player's own\r\n";

namespace {

const std::string TREE = KORVANTH_BINARY_DIR "/net-servers/tree/update/";

bool ends_with(const std::string &s, const char *tail)
{
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

const char LISTS[] = "Korvanth.chunks/";

bool launcher_file(const std::string &rel)
{
    return rel == "Korvanth.log" || rel == "Korvanth.log.1" || rel == "Korvanth.state" ||
           rel == "Korvanth.state.tmp" || rel.compare(0, strlen(LISTS), LISTS) == 0;
}

// A kept chunk list in place ("<file hex>.<index hex>") holds the index its
// name says; only a working copy (".tmp") may hold anything.
void expect_sound_list(const std::wstring &folder, const std::string &rel,
                       const std::string &where, bool working_may_stay)
{
    if (rel.compare(0, strlen(LISTS), LISTS) != 0)
        return;
    if (ends_with(rel, ".tmp")) {
        EXPECT_TRUE(working_may_stay) << where << ": " << rel << " is left";
        return;
    }
    std::string bytes, name = rel.substr(strlen(LISTS));
    uint8_t digest[SHA256_BYTES];
    char hex[SHA256_HEX_CHARS];
    EXPECT_TRUE(read_file(folder + L"\\" + widen(rel), &bytes)) << where << ": " << rel;
    sha256_buffer(bytes.data(), bytes.size(), digest);
    hex_encode(digest, SHA256_BYTES, hex);
    EXPECT_TRUE(name.size() == 2 * SHA256_BYTES * 2 + 1 && name.substr(65) == hex)
        << where << ": " << rel << " is not the index its name says";
}

void list_into(const std::wstring &folder, const std::string &prefix,
               std::vector<std::string> *out)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::string rel = prefix + narrow(name);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            list_into(folder + L"\\" + name, rel + "/", out);
        else
            out->push_back(rel);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

// Contents a client path may hold: each release's file at the path or its
// stock twin.
std::set<std::string> allowed_contents(const std::vector<std::string> &releases,
                                       const std::string &rel)
{
    std::set<std::string> out;
    for (const std::string &r : releases)
        for (const char *suffix : {"", ".stock"}) {
            std::string bytes;
            if (read_file(wine_path(TREE + r + ".client/" + rel + suffix), &bytes))
                out.insert(bytes);
        }
    if (rel == "settings.ini")
        out.insert(PLAYER_SETTINGS);
    return out;
}

}  // namespace

void copy_tree(const std::wstring &from, const std::wstring &to)
{
    for (const std::string &rel : list_files(from)) {
        std::wstring target = to + L"\\" + widen(rel);
        for (wchar_t &c : target)
            if (c == L'/')
                c = L'\\';
        ASSERT_TRUE(make_parent_dirs(target.c_str()));
        std::wstring source = from + L"\\" + widen(rel);
        ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << rel;
    }
}

std::vector<std::string> list_files(const std::wstring &folder)
{
    std::vector<std::string> out;
    list_into(folder, "", &out);
    return out;
}

namespace {

// A chunk carrier's object: "<file>.chunk<carrier>".
bool chunk_working_file(const std::string &rel)
{
    size_t at = rel.rfind(".chunk");
    return at != std::string::npos && at + 6 < rel.size() &&
           rel.find_first_not_of("0123456789", at + 6) == std::string::npos;
}

}  // namespace

void check_midway(const std::wstring &folder, const std::vector<std::string> &releases,
                  const std::string &where)
{
    for (const std::string &rel : list_files(folder)) {
        expect_sound_list(folder, rel, where, true);
        if (launcher_file(rel) || ends_with(rel, ".part") || ends_with(rel, ".tmp") ||
            ends_with(rel, ".delta") ||
            chunk_working_file(rel))
            continue;
        std::string client = rel.compare(0, 9, "Drumveil/") == 0 ? rel.substr(9) : rel;
        std::set<std::string> allowed = allowed_contents(releases, client);
        std::string bytes;
        EXPECT_TRUE(read_file(folder + L"\\" + widen(rel), &bytes)) << where << ": " << rel;
        EXPECT_TRUE(allowed.count(bytes)) << where << ": " << rel << " holds content of no release";
    }

    LocalState state;
    state_init(&state);
    // A folder that never had one (a first install cut short) may lack it.
    if (file_exists(folder + L"\\Korvanth.state")) {
        EXPECT_TRUE(state_load(&state, folder.c_str())) << where << ": the state file does not load";
    }
    for (int i = 0; i < state.count; i++) {
        const StateEntry &e = state.entries[i];
        wchar_t rel_wide[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
        client_file_path(e.path, folder.c_str(), rel_wide, full);
        uint64_t size = 0, time = 0;
        if (!file_info(full, &size, &time) || size != e.size || time != e.write_time)
            continue;  // the record vouches for nothing: the file is hashed again
        uint8_t digest[SHA256_BYTES];
        EXPECT_TRUE(sha256_file(full, digest)) << where << ": " << e.path;
        EXPECT_EQ(memcmp(digest, e.digest, SHA256_BYTES), 0)
            << where << ": the record of " << e.path << " vouches for other content";
    }
    state_free(&state);
}

void check_final(const std::wstring &folder, const std::string &release, bool player_seed,
                 const std::string &where, bool obsolete_may_stay)
{
    Manifest m;
    ASSERT_TRUE(update_test::release_manifest(release, &m));
    LocalState flags;
    state_init(&flags);
    flags.custom_interface = INTERFACE;
    flags.dxvk = DXVK;
    std::set<std::string> expected;
    for (int i = 0; i < m.file_count + m.optional_count; i++) {
        const ManifestEntry *e = manifest_item(&m, i);
        if (!is_entry_wanted(e, &flags))
            continue;
        expected.insert(e->path);
        std::string want, got;
        read_file(wine_path(TREE + release + ".client/" + e->path +
                            (e->group == ENTRY_GROUP_STOCK ? ".stock" : "")), &want);
        EXPECT_TRUE(read_file(folder + L"\\" + widen(e->path), &got)) << where << ": " << e->path;
        if (e->seed)
            EXPECT_TRUE(got == PLAYER_SETTINGS || (!player_seed && got == want))
                << where << ": the seed file " << e->path << " is not the player's";
        else
            EXPECT_TRUE(got == want) << where << ": " << e->path << " is not the release's";
    }
    for (int i = 0; i < m.remove_count && obsolete_may_stay; i++)
        expected.insert(m.remove[i]);
    manifest_free(&m);
    // What a failed legacy move left in "Drumveil" stays there: the client
    // beside the launcher is complete without it.
    for (const std::string &rel : list_files(folder)) {
        expect_sound_list(folder, rel, where, false);
        EXPECT_TRUE(launcher_file(rel) || expected.count(rel) || rel.compare(0, 9, "Drumveil/") == 0)
            << where << ": " << rel << " is left";
    }
}

int for_each_fault(long first, long step, const std::function<bool(long n)> &one)
{
    int faults = 0;
    for (long n = first; n < 100000 && !::testing::Test::HasFatalFailure(); n += step) {
        if (!one(n))
            break;
        faults++;
    }
    return faults;
}

}  // namespace fault_test
