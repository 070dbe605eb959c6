// Uninstalling from a test: the entries in the list of installed apps, the
// shortcuts, links that lead out of a folder, an installed folder made
// without the installer, and one uninstall run driven as a player drives it.
#pragma once

#include "support/support.h"

#include <windows.h>

#include <string>
#include <vector>

namespace uninstall_testing {

using testing_support::Job;

// The registry path of entry `key` below HKEY_CURRENT_USER.
std::wstring entry_path(const std::wstring &key);
// `folder`'s entry as the launcher finds it; empty when it has none.
std::wstring entry_key(const std::wstring &folder);
bool entry_exists(const std::wstring &key);
// A text value of an entry; empty when missing.
std::wstring entry_text(const std::wstring &key, const wchar_t *value);
// A number of an entry; 0xFFFFFFFF when missing.
DWORD entry_number(const std::wstring &key, const wchar_t *value);
void set_entry_text(const std::wstring &key, const wchar_t *value, const std::wstring &text);
// Deletes every entry whose key begins with "Korvanth", for cases that need
// the first key free (the install cases run one at a time).
void delete_all_entries();

// "Korvanth.lnk" in special folder `csidl`.
std::wstring shortcut_path(int csidl);

enum LinkKind { NO_LINK, WINDOWS_LINK, LINUX_LINK };

// A link at `link` to `target` (a folder when `folder`): a symbolic link
// where the system makes one; else, under Wine 8, whose CreateSymbolicLinkW
// answers success and makes nothing, a Linux link made with /bin/ln (Wine
// starts Linux programs). Linux links are removed with /bin/rm when the
// object goes: Wine cannot delete them without reaching what they lead to.
class Links {
public:
    ~Links();
    LinkKind make(const std::wstring &link, const std::wstring &target, bool folder);

private:
    std::vector<std::string> linux_links_;
};

// What an installation holds besides Korvanth.exe: the files its state file
// lists, a part and a temporary file of downloads under way, the launcher's
// own files, and two files the player made.
extern const std::vector<std::wstring> CLIENT_FILES;
extern const std::vector<std::wstring> WORKING_FILES;
extern const std::vector<std::wstring> OWN_FILES;
extern const std::vector<std::wstring> PLAYER_FILES;

// Puts those files into `folder` (the state file last), with `extra_lines`
// appended to the state file as written (lines the launcher never writes).
void add_client(const std::wstring &folder, const std::string &extra_lines = "");
// An installation made without the installer: Korvanth.exe (a copy of
// `exe`), the marker Korvanth.ini, add_client's files, the entry and both
// shortcuts.
void make_installation(const std::wstring &folder, const std::wstring &exe,
                       const std::string &extra_lines = "");
// Every file the launcher put into `folder` is gone; the player's files
// are there when `player_files_stay`, gone otherwise.
void expect_launcher_files_gone(const std::wstring &folder, bool player_files_stay);

struct UninstallRun {
    unsigned long code = 12345;         // the first process's exit code
    unsigned long helper_code = 12345;  // the helper copy's; 12345 when none ran
    bool asked = false;                 // the confirmation window came
    std::wstring box_title, box_text;   // the box it ended with, if any
};

// Starts `command` in `job` as the list of installed apps does, answers the
// confirmation window (the "Keep files I made myself" box set to `keep`;
// Cancel when not `accept`), reads and closes the box it ends with, and
// waits until every process of the job has ended. `output`: an inheritable
// handle for the program's standard output.
UninstallRun run_uninstall(Job &job, const std::wstring &command, bool keep, bool accept = true,
                           void *output = nullptr);

// The helper copies left in the temporary folder.
std::vector<std::wstring> helper_copies();

}  // namespace uninstall_testing
