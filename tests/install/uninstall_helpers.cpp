#include "uninstall_helpers.h"

#include "install/install.h"
#include "install_helpers.h"
#include "manifest/manifest.h"
#include "folder/folder.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <string.h>

#include <functional>

namespace uninstall_testing {

using namespace testing_support;

namespace {

const wchar_t UNINSTALL_ROOT[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// Starts a Linux program through Wine and waits until `done` (Wine gives
// no handle to wait on, nor an exit code).
bool run_linux(const std::wstring &program, const std::wstring &args,
               const std::function<bool()> &done)
{
    std::wstring command = in_quotes(program) + L" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 500 && !done(); i++)
        Sleep(20);
    return done();
}

// The Linux path of a Windows path under Wine; empty elsewhere.
std::string linux_path(const std::wstring &path)
{
    typedef char *(CDECL * UnixName)(const wchar_t *);
    UnixName unix_name = (UnixName)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                          "wine_get_unix_file_name");
    char *name = unix_name ? unix_name(path.c_str()) : nullptr;
    std::string out = name ? name : "";
    if (name)
        HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// The helper copy that the uninstall process `first` started (it carries
// that process's id in its name), found among all processes: Wine's job
// lists need not hold it yet when it has just started. Null while none runs.
HANDLE open_helper(unsigned long first)
{
    wchar_t suffix[64];
    wsprintfW(suffix, L"\\Korvanth-uninstall-%lu.exe", first);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    HANDLE found = nullptr;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               entry.th32ProcessID);
        wchar_t image[MAX_PATH];
        DWORD chars = MAX_PATH;
        if (p && QueryFullProcessImageNameW(p, 0, image, &chars) && chars > wcslen(suffix) &&
            !lstrcmpiW(image + chars - wcslen(suffix), suffix))
            found = p;
        else if (p)
            CloseHandle(p);
    }
    CloseHandle(snapshot);
    return found;
}

}  // namespace

std::wstring entry_path(const std::wstring &key)
{
    return std::wstring(UNINSTALL_ROOT) + L"\\" + key;
}

std::wstring entry_key(const std::wstring &folder)
{
    wchar_t key[UNINSTALL_KEY_CHARS];
    return uninstall_entry_find(folder.c_str(), key, UNINSTALL_KEY_CHARS) ? key : L"";
}

bool entry_exists(const std::wstring &key)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, entry_path(key).c_str(), 0, KEY_READ, &h) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

std::wstring entry_text(const std::wstring &key, const wchar_t *value)
{
    wchar_t text[1024] = {};
    DWORD bytes = sizeof text;
    if (RegGetValueW(HKEY_CURRENT_USER, entry_path(key).c_str(), value, RRF_RT_REG_SZ, nullptr,
                     text, &bytes) != ERROR_SUCCESS)
        return L"";
    return text;
}

DWORD entry_number(const std::wstring &key, const wchar_t *value)
{
    DWORD number = 0, bytes = sizeof number;
    if (RegGetValueW(HKEY_CURRENT_USER, entry_path(key).c_str(), value, RRF_RT_REG_DWORD, nullptr,
                     &number, &bytes) != ERROR_SUCCESS)
        return 0xFFFFFFFF;
    return number;
}

void set_entry_text(const std::wstring &key, const wchar_t *value, const std::wstring &text)
{
    EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, entry_path(key).c_str(), value, REG_SZ,
                              text.c_str(), (DWORD)((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

void delete_all_entries()
{
    HKEY list = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, UNINSTALL_ROOT, 0, KEY_READ, &list) != ERROR_SUCCESS)
        return;
    std::vector<std::wstring> ours;
    wchar_t name[256];
    for (DWORD i = 0, n = 256;
         RegEnumKeyExW(list, i, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         i++, n = 256)
        if (!wcsncmp(name, L"Korvanth", 8))
            ours.push_back(name);
    for (const std::wstring &key : ours)
        RegDeleteKeyW(list, key.c_str());
    RegCloseKey(list);
}

std::wstring shortcut_path(int csidl)
{
    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
    return std::wstring(folder) + L"\\Korvanth.lnk";
}

Links::~Links()
{
    for (const std::string &link : linux_links_)
        run_linux(L"Z:\\bin\\rm", L"-f " + in_quotes(widen(link)), [&] {
            return GetFileAttributesW(wine_path(link).c_str()) == INVALID_FILE_ATTRIBUTES;
        });
}

LinkKind Links::make(const std::wstring &link, const std::wstring &target, bool folder)
{
    CreateSymbolicLinkW(link.c_str(), target.c_str(), folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
        return WINDOWS_LINK;
    std::string from = linux_path(link), to = linux_path(target);
    if (from.empty() || to.empty() ||
        !run_linux(L"Z:\\bin\\ln", L"-s " + in_quotes(widen(to)) + L" " + in_quotes(widen(from)),
                   [&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; }))
        return NO_LINK;
    linux_links_.push_back(from);
    return LINUX_LINK;
}

const std::vector<std::wstring> CLIENT_FILES = {
    L"system\\dv.exe", L"system\\d3d9.dll", L"data\\world.pak", L"data\\maps\\valley.map",
    L"readme.txt",
};
const std::vector<std::wstring> WORKING_FILES = {
    L"data\\music\\theme.ogg.part", L"data\\world.pak.tmp", L"Korvanth.new.part",
};
const std::vector<std::wstring> OWN_FILES = {
    L"Korvanth.log", L"Korvanth.log.1", L"Korvanth.ini", L"Korvanth.old", L"Korvanth.state",
    L"Korvanth.chunks\\" + std::wstring(64, L'a') + L"." + std::wstring(64, L'b'),
};
const std::vector<std::wstring> PLAYER_FILES = {
    L"screenshots\\shot0001.png", L"data\\my notes.txt",
};

void add_client(const std::wstring &folder, const std::string &extra_lines)
{
    LocalState state;
    state_init(&state);
    for (const std::wstring &file : CLIENT_FILES) {
        std::wstring path = folder + L"\\" + file;
        ASSERT_TRUE(make_parent_dirs(path.c_str()));
        ASSERT_TRUE(write_file(path, "client file " + narrow(file)));
        StateEntry entry = {};
        std::string rel = narrow(file);
        for (char &c : rel)
            c = c == '\\' ? '/' : c;
        lstrcpynA(entry.path, rel.c_str(), sizeof entry.path);
        entry.size = file_size(path);
        ASSERT_TRUE(state_put(&state, &entry));
    }
    for (const std::vector<std::wstring> *files : {&WORKING_FILES, &OWN_FILES, &PLAYER_FILES})
        for (const std::wstring &file : *files) {
            std::wstring path = folder + L"\\" + file;
            ASSERT_TRUE(make_parent_dirs(path.c_str()));
            ASSERT_TRUE(write_file(path, "made for the case: " + narrow(file)));
        }
    ASSERT_TRUE(state_save(&state, folder.c_str()));
    state_free(&state);
    std::string text;
    ASSERT_TRUE(read_file(folder + L"\\Korvanth.state", &text));
    ASSERT_TRUE(write_file(folder + L"\\Korvanth.state", text + extra_lines));
}

void make_installation(const std::wstring &folder, const std::wstring &exe,
                       const std::string &extra_lines)
{
    ASSERT_TRUE(make_parent_dirs((folder + L"\\Korvanth.exe").c_str()));
    ASSERT_TRUE(CopyFileW(exe.c_str(), (folder + L"\\Korvanth.exe").c_str(), FALSE));
    add_client(folder, extra_lines);
    ASSERT_TRUE(uninstall_entry_write(folder.c_str(), 1));
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS})
        create_launcher_shortcut(csidl, (folder + L"\\Korvanth.exe").c_str(), folder.c_str());
    if (SUCCEEDED(com))
        CoUninitialize();
    ASSERT_TRUE(file_exists(shortcut_path(CSIDL_DESKTOPDIRECTORY)));
}

void expect_launcher_files_gone(const std::wstring &folder, bool player_files_stay)
{
    for (const std::vector<std::wstring> *files : {&CLIENT_FILES, &WORKING_FILES, &OWN_FILES})
        for (const std::wstring &file : *files)
            EXPECT_FALSE(file_exists(folder + L"\\" + file)) << narrow(file);
    EXPECT_FALSE(file_exists(folder + L"\\Korvanth.exe"));
    for (const wchar_t *emptied : {L"system", L"data\\maps", L"data\\music", L"Korvanth.chunks"})
        EXPECT_FALSE(file_exists(folder + L"\\" + emptied)) << narrow(emptied);
    for (const std::wstring &file : PLAYER_FILES)
        EXPECT_EQ(file_exists(folder + L"\\" + file), player_files_stay) << narrow(file);
}

UninstallRun run_uninstall(Job &job, const std::wstring &command, bool keep, bool accept,
                           void *output)
{
    UninstallRun run;
    unsigned long pid = job.start(command, L"C:\\", output);
    EXPECT_NE(pid, 0u) << narrow(command);
    HANDLE first = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    HANDLE helper = nullptr;
    DWORD began = GetTickCount();
    // The job's own waits close launcher windows, which a case may need
    // running until the uninstall has decided: this loop waits by itself.
    while (first && WaitForSingleObject(first, 20) == WAIT_TIMEOUT &&
           GetTickCount() - began < 60000) {
        HWND window = install_testing::wait_window(pid, L"KorvanthUninstall", nullptr, 0);
        if (window && !run.asked) {
            run.asked = true;
            HWND box = GetDlgItem(window, UNINSTALL_ID_KEEP);
            EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED) << "ticked at first";
            if (!keep)
                SendMessageW(box, BM_SETCHECK, BST_UNCHECKED, 0);
            install_testing::press(window, accept ? UNINSTALL_ID_UNINSTALL : UNINSTALL_ID_CANCEL);
        }
        if (!helper)
            helper = open_helper(pid);
        close_message_box(pid, 0, &run.box_title, &run.box_text);
    }
    EXPECT_TRUE(first && WaitForSingleObject(first, 0) == WAIT_OBJECT_0) << "the uninstall hangs";
    if (!helper)
        helper = open_helper(pid);
    EXPECT_TRUE(job.wait_all(30000)) << "a process of the uninstall still runs";
    if (first) {
        GetExitCodeProcess(first, &run.code);
        CloseHandle(first);
    }
    if (helper) {
        WaitForSingleObject(helper, 10000);
        GetExitCodeProcess(helper, &run.helper_code);
        CloseHandle(helper);
    }
    return run;
}

std::vector<std::wstring> helper_copies()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW f;
    HANDLE find = FindFirstFileW((std::wstring(temp) + L"Korvanth-uninstall-*").c_str(), &f);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &f))
        found.push_back(f.cFileName);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    return found;
}

}  // namespace uninstall_testing
