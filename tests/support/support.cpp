#include "support/support.h"

#include <windows.h>

#include <wchar.h>

#include <algorithm>
#include <vector>

namespace testing_support {

std::wstring widen(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &out[0], n);
    return out;
}

std::string narrow(const std::wstring &wide)
{
    if (wide.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr,
                                nullptr);
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring wine_path(const std::string &linux_path)
{
    std::wstring w = L"Z:" + widen(linux_path);
    for (wchar_t &c : w)
        if (c == L'/')
            c = L'\\';
    return w;
}

std::wstring launcher_exe()
{
    return wine_path(KORVANTH_BINARY_DIR "/Korvanth.exe");
}

TempDir::TempDir()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter;
    for (;;) {
        wchar_t name[MAX_PATH + 64];
        wsprintfW(name, L"%skv-%lu-%lu-%ld", base, GetCurrentProcessId(), GetTickCount(),
                  InterlockedIncrement(&counter));
        if (CreateDirectoryW(name, nullptr)) {
            path_ = name;
            return;
        }
    }
}

TempDir::~TempDir()
{
    forget_uninstall_entries(path_);
    remove_tree(path_);
}

void forget_uninstall_entries(const std::wstring &folder)
{
    const wchar_t root[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    HKEY list = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, root, 0, KEY_READ, &list) != ERROR_SUCCESS)
        return;
    std::vector<std::wstring> ours;
    wchar_t name[256];
    for (DWORD i = 0, n = 256; RegEnumKeyExW(list, i, name, &n, nullptr, nullptr, nullptr,
                                             nullptr) == ERROR_SUCCESS;
         i++, n = 256) {
        wchar_t location[MAX_PATH * 2] = {};
        DWORD bytes = sizeof location;
        if (!wcsncmp(name, L"Korvanth", 8) &&
            RegGetValueW(list, name, L"InstallLocation", RRF_RT_REG_SZ, nullptr, location,
                         &bytes) == ERROR_SUCCESS &&
            !_wcsnicmp(location, folder.c_str(), folder.size()) &&
            (location[folder.size()] == 0 || location[folder.size()] == L'\\'))
            ours.push_back(name);
    }
    for (const std::wstring &key : ours)
        RegDeleteKeyW(list, key.c_str());
    RegCloseKey(list);
}

std::wstring TempDir::operator/(const std::wstring &name) const
{
    std::wstring joined = path_ + L"\\" + name;
    for (wchar_t &c : joined)
        if (c == L'/')
            c = L'\\';
    return joined;
}

void remove_tree(const std::wstring &path)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            // A link goes as itself: what it leads to is not the folder's.
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                if (!RemoveDirectoryW(child.c_str()))
                    DeleteFileW(child.c_str());
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

bool set_write_time(const std::wstring &path, uint64_t filetime)
{
    HANDLE f = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    FILETIME t = {(DWORD)filetime, (DWORD)(filetime >> 32)};
    bool ok = SetFileTime(f, nullptr, nullptr, &t) != 0;
    CloseHandle(f);
    return ok;
}

bool write_file(const std::wstring &path, const std::string &bytes)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD chunk = (DWORD)std::min<size_t>(bytes.size() - done, 1 << 20), written = 0;
        ok = WriteFile(f, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
        done += written;
    }
    CloseHandle(f);
    return ok;
}

bool read_file(const std::wstring &path, std::string *bytes)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    std::vector<char> buf(1 << 16);
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(f, buf.data(), (DWORD)buf.size(), &got, nullptr)) && got > 0)
        bytes->append(buf.data(), got);
    CloseHandle(f);
    return ok;
}

bool file_exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint64_t file_size(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return UINT64_MAX;
    return ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

bool run_process(const std::wstring &command_line, unsigned timeout_ms, unsigned long *exit_code,
                 const std::wstring &work_dir)
{
    std::vector<wchar_t> cmd(command_line.begin(), command_line.end());
    cmd.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        work_dir.empty() ? nullptr : work_dir.c_str(), &si, &pi))
        return false;
    DWORD started = GetTickCount();
    bool ended;
    while (!(ended = WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0) &&
           GetTickCount() - started < timeout_ms)
        close_launcher_windows([&](unsigned long pid) { return pid == pi.dwProcessId; });
    if (!ended) {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    *exit_code = code;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ended;
}

}  // namespace testing_support

namespace testing_support {

namespace {

struct BoxSearch {
    DWORD pid;
    HWND found;
    std::wstring text;
};

std::wstring window_text(HWND window)
{
    wchar_t buf[1024] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, (LPARAM)buf, SMTO_ABORTIFHUNG, 2000, &ignored);
    return buf;
}

BOOL CALLBACK find_box(HWND window, LPARAM param)
{
    BoxSearch *search = (BoxSearch *)param;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t cls[16] = {};
    GetClassNameW(window, cls, 16);
    if (owner == search->pid && lstrcmpW(cls, L"#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK longest_static(HWND child, LPARAM param)
{
    BoxSearch *search = (BoxSearch *)param;
    wchar_t cls[16] = {};
    GetClassNameW(child, cls, 16);
    if (lstrcmpiW(cls, L"Static") == 0) {
        std::wstring text = window_text(child);
        if (text.size() > search->text.size())
            search->text = text;
    }
    return TRUE;
}

}  // namespace

bool close_message_box(unsigned long pid, unsigned timeout_ms, std::wstring *title,
                       std::wstring *text)
{
    DWORD start = GetTickCount();
    BoxSearch search = {(DWORD)pid, nullptr, L""};
    while (!search.found) {
        EnumWindows(find_box, (LPARAM)&search);
        if (search.found)
            break;
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(50);
    }
    // The box may still be filling in its controls.
    Sleep(200);
    if (title)
        *title = window_text(search.found);
    EnumChildWindows(search.found, longest_static, (LPARAM)&search);
    if (text)
        *text = search.text;
    PostMessageW(search.found, WM_COMMAND, IDOK, 0);
    return true;
}

}  // namespace testing_support
