// Uninstalling as a player does: from the command that the list of installed
// apps holds, through the confirmation window, driven from here. Every
// process of a case (the launcher, its helper copy) runs in the case's job.
#include "install/install.h"
#include "install_helpers.h"
#include "korvanth_config.h"
#include "support/support.h"
#include "uninstall_helpers.h"
#include "folder/folder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <ostream>
#include <string>

using namespace install_testing;
using namespace testing_support;
using namespace uninstall_testing;

namespace {

const std::wstring HELD_TEXT =
    L"Korvanth is running on this folder (the launcher, or korvanth-cli). Please close it, then "
    L"uninstall Korvanth again.";

std::string contents(const std::wstring &path)
{
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

std::wstring special_folder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

bool contains(const std::wstring &text, const std::wstring &part)
{
    return text.find(part) != std::wstring::npos;
}

class UninstallCase : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS})
            DeleteFileW(shortcut_path(csidl).c_str());
    }

    // Copies the launcher into `folder` beside the installer's marker and
    // runs it there until its window is up; the job's wait closes it.
    void run_in_place(const std::wstring &folder)
    {
        ASSERT_TRUE(make_parent_dirs((folder + L"\\Korvanth.exe").c_str()));
        ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), (folder + L"\\Korvanth.exe").c_str(), FALSE));
        ASSERT_TRUE(write_file(folder + L"\\Korvanth.ini", ""));
        unsigned long pid = job_.start(in_quotes(folder + L"\\Korvanth.exe"), folder);
        EXPECT_NE(wait_window(pid, L"KorvanthLauncher", nullptr, 30000), nullptr);
        ASSERT_TRUE(job_.wait_all(30000));
    }

    void expect_shortcuts(bool there)
    {
        for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS})
            EXPECT_EQ(file_exists(shortcut_path(csidl)), there) << csidl;
    }

    TempDir root_;
    Job job_;
    Links links_;  // before the job: the links go after every process
};

struct EndToEndCase {
    const char *name;
    bool keep;  // "Keep files I made myself"
};

void PrintTo(const EndToEndCase &c, std::ostream *os)
{
    *os << c.name;
}

class UninstallEndToEnd : public UninstallCase,
                          public ::testing::WithParamInterface<EndToEndCase> {};

}  // namespace

// The whole life: the install window, the entry read back, a game folder
// with the player's files and links to a folder beside it, the uninstall
// from the entry's command, and what is left once its helper has run.
TEST_P(UninstallEndToEnd, InstallThenUninstallFromTheListOfInstalledApps)
{
    const bool keep = GetParam().keep;
    delete_all_entries();
    std::wstring download = root_ / L"Downloads", folder = root_ / L"Games\\Korvanth";
    std::wstring beside = root_ / L"Games\\Other", exe = folder + L"\\Korvanth.exe";
    ASSERT_TRUE(make_parent_dirs((download + L"\\Korvanth.exe").c_str()));
    ASSERT_TRUE(CopyFileW(launcher_exe().c_str(), (download + L"\\Korvanth.exe").c_str(), FALSE));
    unsigned long pid = job_.start(in_quotes(download + L"\\Korvanth.exe"), download);
    HWND window = wait_install_window(pid);
    ASSERT_NE(window, nullptr);
    set_control_text(window, INSTALL_ID_FOLDER, folder);
    press(window, INSTALL_ID_INSTALL);
    ASSERT_TRUE(job_.wait_all(60000));

    // The first installation's entry, as the list of installed apps reads it.
    const std::wstring key = L"Korvanth";
    ASSERT_EQ(entry_key(folder), key);
    EXPECT_EQ(entry_text(key, L"DisplayName"), L"Korvanth");
    EXPECT_EQ(entry_text(key, L"DisplayIcon"), exe + L",0");
    EXPECT_EQ(entry_text(key, L"DisplayVersion"), widen(KORVANTH_VERSION));
    EXPECT_EQ(entry_text(key, L"Publisher"), L"Korvanth");
    EXPECT_EQ(entry_text(key, L"InstallLocation"), folder);
    EXPECT_EQ(entry_text(key, L"UninstallString"), in_quotes(exe) + L" --uninstall");
    EXPECT_EQ(entry_number(key, L"EstimatedSize"), (file_size(exe) + 1023) / 1024);
    EXPECT_EQ(entry_number(key, L"NoModify"), 1u);
    EXPECT_EQ(entry_number(key, L"NoRepair"), 1u);
    expect_shortcuts(true);

    add_client(folder);
    ASSERT_TRUE(make_parent_dirs((beside + L"\\keep.txt").c_str()));
    ASSERT_TRUE(write_file(beside + L"\\keep.txt", "beside the game"));
    LinkKind folder_link = links_.make(folder + L"\\Other", beside, true);
    LinkKind file_link = links_.make(folder + L"\\data\\keep.txt", beside + L"\\keep.txt", false);
    ASSERT_NE(folder_link, NO_LINK);
    ASSERT_NE(file_link, NO_LINK);

    UninstallRun run = run_uninstall(job_, entry_text(key, L"UninstallString"), keep);
    EXPECT_TRUE(run.asked);
    EXPECT_EQ(run.code, (unsigned long)UNINSTALL_EXIT_DONE) << narrow(run.box_text);
    EXPECT_EQ(run.helper_code, (unsigned long)UNINSTALL_EXIT_DONE);
    EXPECT_EQ(run.box_title, L"Uninstall Korvanth");
    EXPECT_EQ(run.box_text.find(L"Korvanth was removed from " + folder + L"."), 0u)
        << narrow(run.box_text);

    EXPECT_FALSE(entry_exists(key));
    expect_shortcuts(false);
    expect_launcher_files_gone(folder, keep);
    EXPECT_EQ(contents(beside + L"\\keep.txt"), "beside the game");
    EXPECT_TRUE(helper_copies().empty()) << "the helper copy deletes itself as it ends";
    bool links_stay = keep || folder_link == LINUX_LINK;
    EXPECT_EQ(file_exists(folder + L"\\Other"), links_stay);
    EXPECT_EQ(file_exists(folder + L"\\data\\keep.txt"), links_stay);
    if (keep) {
        // The player's two files and the two links.
        EXPECT_TRUE(contains(run.box_text, L"4 files that Korvanth did not install stay in " +
                                               folder + L"."))
            << narrow(run.box_text);
    } else if (folder_link == LINUX_LINK) {
        // Wine cannot delete a Linux link without reaching what it leads to.
        EXPECT_TRUE(contains(run.box_text, L"\n  Other (leads outside the folder)"))
            << narrow(run.box_text);
        EXPECT_TRUE(contains(run.box_text, L"\n  data\\keep.txt (leads outside the folder)"))
            << narrow(run.box_text);
    } else {
        EXPECT_FALSE(file_exists(folder)) << "the emptied folder goes with the launcher";
    }
}

INSTANTIATE_TEST_SUITE_P(Boxes, UninstallEndToEnd,
                         ::testing::Values(EndToEndCase{"KeepingThePlayersFiles", true},
                                           EndToEndCase{"RemovingEverything", false}),
                         [](const ::testing::TestParamInfo<EndToEndCase> &info) {
                             return std::string(info.param.name);
                         });

// What was tampered with: the state file, links in the folder, the entry,
// or where the launcher stands. With "Keep files I made myself" unticked,
// nothing outside the folder is deleted, and the box says why things stay.
TEST_F(UninstallCase, TamperedInstallationsLoseNothingOutsideTheirFolder)
{
    std::wstring folder = root_ / L"Games\\Korvanth", outside = root_ / L"Outside";
    std::wstring documents = special_folder(CSIDL_PERSONAL);
    std::wstring profile = special_folder(CSIDL_PROFILE);
    std::wstring marker = L"kv-uninstall-marker-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring victims[] = {
        root_ / L"x", root_ / L"abs.txt", outside + L"\\victim.txt", L"C:\\" + marker,
        profile + L"\\" + marker, documents + L"\\" + marker,
    };
    enum Where { IN_GAMES, IN_DOCUMENTS };
    struct Row {
        const char *why;
        std::string state_path;  // a line for the state file; "ROOT" is the case's folder
        const wchar_t *link;     // a link inside the folder to the outside folder (or file)
        bool folder_link;
        std::wstring location;   // the entry's install location, when edited
        Where where;
        std::wstring told;       // in the box
    };
    const std::string root_text = narrow(root_.path());
    std::string root_slashes = root_text;
    for (char &c : root_slashes)
        c = c == '\\' ? '/' : c;
    const Row rows[] = {
        {"a state path that climbs out with backslashes", "..\\..\\x", nullptr, false, L"",
         IN_GAMES, L"..\\..\\x (named in Korvanth.state, outside the folder)"},
        {"a state path that climbs out", "../../x", nullptr, false, L"", IN_GAMES,
         L"../../x (named in Korvanth.state, outside the folder)"},
        {"an absolute state path", root_text + "\\abs.txt", nullptr, false, L"", IN_GAMES,
         widen(root_text) + L"\\abs.txt (named in Korvanth.state, outside the folder)"},
        {"an absolute state path with slashes", root_slashes + "/abs.txt", nullptr, false, L"",
         IN_GAMES, widen(root_slashes) + L"/abs.txt (named in Korvanth.state"},
        {"a device name in a state path", "data/CON.txt", nullptr, false, L"", IN_GAMES,
         L"data/CON.txt (named in Korvanth.state, not a name Windows can hold)"},
        {"a state path through a folder link out of the folder", "out/victim.txt", L"out", true,
         L"", IN_GAMES, L"out\\victim.txt (leads outside the folder)"},
        {"a file link listed as a client file", "data/linked.pak", L"data\\linked.pak", false,
         L"", IN_GAMES, L"data\\linked.pak (leads outside the folder)"},
        {"the entry names the drive as the install location", "", nullptr, false, L"C:\\",
         IN_GAMES, L"The list of installed apps named C:\\ as Korvanth's folder: nothing outside "},
        {"the entry names the profile as the install location", "", nullptr, false, profile,
         IN_GAMES, L"The list of installed apps named " + profile + L" as Korvanth's folder"},
        {"the launcher stands in the profile's documents", "", nullptr, false, L"", IN_DOCUMENTS,
         documents + L" is a system folder"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        for (const std::wstring &victim : victims) {
            ASSERT_TRUE(make_parent_dirs(victim.c_str()));
            ASSERT_TRUE(write_file(victim, "outside the folder"));
        }
        std::wstring at = row.where == IN_DOCUMENTS ? documents : folder;
        make_installation(at, launcher_exe(), row.state_path.empty() ? "" : row.state_path +
                          "\t20\t0\t" + std::string(64, '0') + "\r\n");
        LinkKind link = NO_LINK;
        if (row.link) {
            link = links_.make(at + L"\\" + row.link,
                               row.folder_link ? outside : outside + L"\\victim.txt",
                               row.folder_link);
            ASSERT_NE(link, NO_LINK);
        }
        std::wstring key = entry_key(at);
        ASSERT_FALSE(key.empty());
        if (!row.location.empty())
            set_entry_text(key, L"InstallLocation", row.location);

        UninstallRun run = run_uninstall(job_, entry_text(key, L"UninstallString"), false);
        EXPECT_EQ(run.code, (unsigned long)UNINSTALL_EXIT_DONE) << narrow(run.box_text);
        for (const std::wstring &victim : victims)
            EXPECT_EQ(contents(victim), "outside the folder") << narrow(victim);
        // A link that the system deletes as itself needs no word.
        if (link != WINDOWS_LINK) {
            EXPECT_TRUE(contains(run.box_text, row.told)) << narrow(run.box_text);
        }
        EXPECT_FALSE(entry_exists(key));
        expect_shortcuts(false);
        if (row.where == IN_DOCUMENTS) {
            // Only what the launcher names: the player's files stay, and
            // nothing is walked.
            for (const std::wstring &file : CLIENT_FILES)
                EXPECT_FALSE(file_exists(at + L"\\" + file)) << narrow(file);
            for (const std::wstring &file : PLAYER_FILES)
                EXPECT_TRUE(file_exists(at + L"\\" + file)) << narrow(file);
            EXPECT_FALSE(file_exists(at + L"\\Korvanth.exe"));
            EXPECT_TRUE(file_exists(at));
            for (const wchar_t *made : {L"data", L"screenshots"})
                remove_tree(at + L"\\" + made);
        } else {
            expect_launcher_files_gone(at, false);
        }
        EXPECT_EQ(run.box_text.find(L"Korvanth was removed from " + at + L"."), 0u);
    }
    for (const std::wstring &victim : victims)
        DeleteFileW(victim.c_str());
}

// The exit codes besides 0: cancelled, the folder in use by a launcher, by
// another program that holds it (as korvanth-cli does) or by the game, and a
// file that cannot be deleted, which a later run finishes.
TEST_F(UninstallCase, RefusalsAndFailuresEndWithTheirCodes)
{
    enum Kind { CANCEL, LAUNCHER_RUNS, FOLDER_HELD, GAME_RUNS, FILE_HELD };
    struct Row {
        const char *why;
        Kind kind;
        unsigned long code;
        bool asked;
        std::wstring told;  // the box's text, or a part of it
    };
    const Row rows[] = {
        {"cancelled", CANCEL, UNINSTALL_EXIT_CANCELLED, true, L""},
        {"a launcher runs on the folder", LAUNCHER_RUNS, UNINSTALL_EXIT_IN_USE, false, HELD_TEXT},
        {"another program holds the folder", FOLDER_HELD, UNINSTALL_EXIT_IN_USE, false, HELD_TEXT},
        {"the game runs", GAME_RUNS, UNINSTALL_EXIT_IN_USE, false,
         L"system\\dv.exe is running from this folder. Please close it, then uninstall Korvanth "
         L"again."},
        {"a file is held open", FILE_HELD, UNINSTALL_EXIT_INCOMPLETE, true,
         L"These files could not be deleted:\n  data\\world.pak (error 32)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        TempDir dir;
        std::wstring folder = dir / L"Korvanth";
        make_installation(folder, launcher_exe());
        std::wstring key = entry_key(folder);
        FolderLock lock = {};
        HANDLE held = INVALID_HANDLE_VALUE;
        PROCESS_INFORMATION game = {};
        switch (row.kind) {
        case CANCEL:
            break;
        case LAUNCHER_RUNS: {
            unsigned long launcher = job_.start(in_quotes(folder + L"\\Korvanth.exe"), folder);
            ASSERT_NE(wait_window(launcher, L"KorvanthLauncher", nullptr, 30000), nullptr);
            break;
        }
        case FOLDER_HELD:
            ASSERT_EQ(folder_lock_take(&lock, folder.c_str(), 0), FOLDER_LOCK_OWNED);
            break;
        case GAME_RUNS: {
            std::wstring game_exe = folder + L"\\system\\dv.exe";
            ASSERT_TRUE(CopyFileW(wine_path(KORVANTH_BINARY_DIR "/tests/fake_game.exe").c_str(),
                                  game_exe.c_str(), FALSE));
            ASSERT_TRUE(write_file(folder + L"\\system\\fake_game.txt", "0 release"));
            STARTUPINFOW si = {};
            si.cb = sizeof si;
            std::wstring command = in_quotes(game_exe);
            ASSERT_TRUE(CreateProcessW(game_exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0,
                                       nullptr, (folder + L"\\system").c_str(), &si, &game));
            for (int i = 0; i < 500 && !file_exists(folder + L"\\system\\pid.txt"); i++)
                Sleep(20);
            break;
        }
        case FILE_HELD:
            held = CreateFileW((folder + L"\\data\\world.pak").c_str(), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
            break;
        }

        UninstallRun run = run_uninstall(job_, entry_text(key, L"UninstallString"), true,
                                         row.kind != CANCEL);
        EXPECT_EQ(run.code, row.code) << narrow(run.box_text);
        EXPECT_EQ(run.asked, row.asked);
        EXPECT_EQ(run.helper_code, 12345u) << "no helper runs";
        EXPECT_TRUE(contains(run.box_text, row.told)) << narrow(run.box_text);
        // What a later run needs stays: the entry, the launcher, and here
        // (nothing failed but the held file) the state file with its list.
        EXPECT_TRUE(entry_exists(key));
        EXPECT_TRUE(file_exists(folder + L"\\Korvanth.exe"));
        EXPECT_TRUE(file_exists(folder + L"\\Korvanth.state"));
        EXPECT_TRUE(file_exists(folder + L"\\data\\world.pak"));
        if (row.kind != FILE_HELD) {
            for (const std::wstring &file : CLIENT_FILES)
                EXPECT_TRUE(file_exists(folder + L"\\" + file)) << narrow(file);
            expect_shortcuts(true);
        }

        folder_lock_release(&lock);
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        if (game.hProcess) {
            write_file(folder + L"\\system\\release", "");
            WaitForSingleObject(game.hProcess, 10000);
            CloseHandle(game.hProcess);
            CloseHandle(game.hThread);
            for (const wchar_t *own : {L"pid.txt", L"fake_game.txt", L"release"})
                DeleteFileW((folder + L"\\system\\" + own).c_str());
        }
        UninstallRun again = run_uninstall(job_, entry_text(key, L"UninstallString"), true);
        EXPECT_EQ(again.code, (unsigned long)UNINSTALL_EXIT_DONE) << narrow(again.box_text);
        EXPECT_FALSE(entry_exists(key));
        expect_launcher_files_gone(folder, true);
        expect_shortcuts(false);
    }
}

// The first installation takes the key "Korvanth", another folder one of
// its own, and a launcher that runs in place writes its entry at its start
// (installations older than the entry get one). A first key whose launcher
// is gone goes to the next folder. Uninstalling one installation leaves the
// other's entry and shortcut.
TEST_F(UninstallCase, EachInstallationHasAnEntryOfItsOwn)
{
    delete_all_entries();
    std::wstring first = root_ / L"First", second = root_ / L"Second", third = root_ / L"Third";
    run_in_place(first);
    EXPECT_EQ(entry_key(first), L"Korvanth");
    run_in_place(second);
    std::wstring key = entry_key(second);
    ASSERT_EQ(key.size(), 17u) << narrow(key);
    EXPECT_EQ(key.substr(0, 9), L"Korvanth-");
    EXPECT_EQ(key.find_first_not_of(L"0123456789abcdef", 9), std::wstring::npos) << narrow(key);
    EXPECT_EQ(entry_key(upper_case(second)), key) << "another spelling of the folder";
    EXPECT_EQ(entry_text(key, L"DisplayName"), L"Korvanth (" + second + L")");
    EXPECT_EQ(entry_text(key, L"InstallLocation"), second);
    EXPECT_EQ(entry_text(L"Korvanth", L"InstallLocation"), first);

    ASSERT_TRUE(DeleteFileW((first + L"\\Korvanth.exe").c_str()));
    run_in_place(third);
    EXPECT_EQ(entry_key(third), L"Korvanth");
    EXPECT_EQ(entry_text(L"Korvanth", L"InstallLocation"), third);
    EXPECT_EQ(entry_key(second), key);

    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    create_launcher_shortcut(CSIDL_DESKTOPDIRECTORY, (third + L"\\Korvanth.exe").c_str(),
                             third.c_str());
    create_launcher_shortcut(CSIDL_PROGRAMS, (second + L"\\Korvanth.exe").c_str(),
                             second.c_str());
    if (SUCCEEDED(com))
        CoUninitialize();
    UninstallRun run = run_uninstall(job_, entry_text(key, L"UninstallString"), true);
    EXPECT_EQ(run.code, (unsigned long)UNINSTALL_EXIT_DONE) << narrow(run.box_text);
    EXPECT_FALSE(entry_exists(key));
    EXPECT_EQ(entry_key(third), L"Korvanth");
    EXPECT_FALSE(file_exists(shortcut_path(CSIDL_PROGRAMS)));
    EXPECT_TRUE(file_exists(shortcut_path(CSIDL_DESKTOPDIRECTORY))) << "the other's shortcut";
    EXPECT_TRUE(file_exists(third + L"\\Korvanth.exe"));
}
