// Helpers shared by the test programs: scratch folders, whole-file I/O,
// Linux-to-Wine paths and child processes.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// The Windows path under Wine of a Linux path ("/tmp/x" -> "Z:\tmp\x").
std::wstring wine_path(const std::string &linux_path);
// The launcher built with the tests.
std::wstring launcher_exe();

// RUN_ALL_TESTS, with the program's end watched: a program still alive a
// minute later lists its threads and ends itself (exit code 3).
int run_tests_watching_exit();

// A fresh, empty folder below the Windows temp folder, removed with all it
// holds when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::wstring &path() const { return path_; }
    // path() joined with a relative name (either slash).
    std::wstring operator/(const std::wstring &name) const;

private:
    std::wstring path_;
};

// Removes `path` and all it holds, never walking into a link. Under Wine a
// folder link may take an empty folder it leads to with it, and a file link
// is not seen as one (install/uninstall_fences.cpp): cases remove their
// Linux links first.
void remove_tree(const std::wstring &path);
// Deletes the entries in the list of installed apps whose install location
// is `folder` or below it (a TempDir does as it goes: every launcher started
// in place writes one).
void forget_uninstall_entries(const std::wstring &folder);

bool write_file(const std::wstring &path, const std::string &bytes);
bool read_file(const std::wstring &path, std::string *bytes);
// Sets a file's last-write time (a FILETIME as one number).
bool set_write_time(const std::wstring &path, uint64_t filetime);
bool file_exists(const std::wstring &path);
uint64_t file_size(const std::wstring &path);

std::wstring widen(const std::string &utf8);
std::string narrow(const std::wstring &wide);

// Starts `command_line` (program path quoted where needed), waits up to
// `timeout_ms` and stores the exit code. False when it could not start or did
// not end in time (it is then killed). A launcher window the process opens
// is closed as a player would close it, so that a launcher run ends.
bool run_process(const std::wstring &command_line, unsigned timeout_ms, unsigned long *exit_code,
                 const std::wstring &work_dir = L"");

}  // namespace testing_support

namespace testing_support {

// Waits up to `timeout_ms` for a visible dialog box (class "#32770", as a
// message box is) of process `pid`, reads its title and its longest static
// text, and closes it with its OK button. False when none appeared.
bool close_message_box(unsigned long pid, unsigned timeout_ms, std::wstring *title = nullptr,
                       std::wstring *text = nullptr);

}  // namespace testing_support

namespace testing_support {

std::wstring in_quotes(const std::wstring &path);

// Asks every visible launcher main window of a process that `ours` accepts
// to close (WM_CLOSE, as the close glyph does).
void close_launcher_windows(const std::function<bool(unsigned long pid)> &ours);

// A job that takes the processes a case starts and all their descendants;
// whatever still runs when it goes is ended.
class Job {
public:
    Job();
    ~Job();
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // Starts `command_line` in `work_dir` inside the job; returns its pid or 0.
    // With `output` (an inheritable HANDLE) its standard output and error go there.
    unsigned long start(const std::wstring &command_line, const std::wstring &work_dir,
                        void *output = nullptr);
    // The two waits close the launcher windows that the job's processes
    // open, so that launcher runs end.
    // Waits for the process of the last start(); false when it still runs.
    bool wait_last(unsigned timeout_ms);
    // Exit code of the process started by the last start().
    unsigned long last_exit_code();
    // Waits until no process of the job runs any more.
    bool wait_all(unsigned timeout_ms);
    // The ids of the job's processes that run now, Wine's desktop process
    // left out.
    std::vector<unsigned long> running_ids();

private:
    void close_windows();
    void *job_;
    std::vector<void *> processes_;
};

}  // namespace testing_support
