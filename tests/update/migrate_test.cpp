// Clients of the 0.1 series move up next to the launcher; anything else named
// "Drumveil" is left alone.
#include "update/update.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using namespace testing_support;

namespace {

void write_legacy_state(const TempDir &dir)
{
    ASSERT_TRUE(write_file(dir / L"Korvanth.state",
                           "#Korvanth state\r\n#interface=0\r\n#dxvk=0\r\n#dxvk_trial=0\r\n"
                           "#generated=1714564800\r\n#version=0.1.9\r\n"
                           "Drumveil/system/dv.exe\t3\t1\t"
                           "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\r\n"));
}

void make_legacy_client(const TempDir &dir)
{
    ASSERT_TRUE(CreateDirectoryW((dir / L"Drumveil").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir / L"Drumveil/system").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"Drumveil/system/dv.exe", "abc"));
    ASSERT_TRUE(write_file(dir / L"Drumveil/readme.txt", "hello"));
    for (int i = 0; i < 40; i++)
        ASSERT_TRUE(write_file(dir / (L"Drumveil/data" + std::to_wstring(i) + L".pak"), "d"));
}

std::string log_of(const TempDir &dir)
{
    std::string log;
    read_file(dir / L"Korvanth.log", &log);
    return log;
}

}  // namespace

TEST(LegacyMigration, ManagedClientMovesUpWhole)
{
    TempDir dir;
    make_legacy_client(dir);
    write_legacy_state(dir);
    EXPECT_EQ(state_has_legacy_paths(dir.path().c_str()), 1);
    log_open(dir.path().c_str());

    migrate_legacy_folder(nullptr, dir.path().c_str());
    EXPECT_FALSE(file_exists(dir / L"Drumveil"));
    std::string moved;
    ASSERT_TRUE(read_file(dir / L"system/dv.exe", &moved));
    EXPECT_EQ(moved, "abc");
    EXPECT_TRUE(file_exists(dir / L"data39.pak"));
    EXPECT_NE(log_of(dir).find("migrate: 42 entries moved, 0 failed\r\n"), std::string::npos)
        << log_of(dir);
}

TEST(LegacyMigration, UnmanagedFolderIsLeftAlone)
{
    TempDir dir;
    make_legacy_client(dir);
    ASSERT_TRUE(write_file(dir / L"Korvanth.state", "#Korvanth state\r\n#interface=0\r\n"));
    EXPECT_EQ(state_has_legacy_paths(dir.path().c_str()), 0);
    log_open(dir.path().c_str());
    migrate_legacy_folder(nullptr, dir.path().c_str());
    migrate_legacy_folder(nullptr, dir.path().c_str());
    EXPECT_TRUE(file_exists(dir / L"Drumveil/system/dv.exe"));
    std::string log = log_of(dir);
    size_t first = log.find("migrate: \"Drumveil\" folder without a 0.1.x state file: left alone");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("left alone", first + 20), std::string::npos);  // on every pass
}

TEST(LegacyMigration, CurrentLayoutIsNotLookedAt)
{
    TempDir dir;
    make_legacy_client(dir);
    write_legacy_state(dir);
    ASSERT_TRUE(CreateDirectoryW((dir / L"system").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"system/dv.exe", "new"));
    log_open(dir.path().c_str());
    migrate_legacy_folder(nullptr, dir.path().c_str());
    EXPECT_TRUE(file_exists(dir / L"Drumveil/readme.txt"));
    EXPECT_FALSE(file_exists(dir / L"Korvanth.log"));
}

TEST(LegacyMigration, NameTakenKeepsTheLegacyFolder)
{
    TempDir dir;
    make_legacy_client(dir);
    write_legacy_state(dir);
    ASSERT_TRUE(write_file(dir / L"readme.txt", "the new launcher's"));
    log_open(dir.path().c_str());
    migrate_legacy_folder(nullptr, dir.path().c_str());
    EXPECT_TRUE(file_exists(dir / L"Drumveil/readme.txt"));
    EXPECT_TRUE(file_exists(dir / L"system/dv.exe"));
    std::string log = log_of(dir);
    EXPECT_NE(log.find("readme.txt failed ("), std::string::npos) << log;
    EXPECT_NE(log.find("migrate: 41 entries moved, 1 failed\r\n"), std::string::npos) << log;
}
