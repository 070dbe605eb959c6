// The install window run by install_window_run on a thread of this program,
// driven from the test's thread the way a player would.
#include "install/install.h"
#include "install_helpers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <oleacc.h>

#include <string>
#include <thread>

using namespace install_testing;
using namespace testing_support;

namespace {

const std::wstring LOCAL_DRIVE_TEXT =
    L"Please choose a folder on a local drive, for example C:\\Games\\Korvanth.";

class InstallWindow : public ::testing::Test {
protected:
    void SetUp() override { open(); }
    // Runs the window (again) on a thread of its own.
    void open()
    {
        default_install_folder(g_install_folder);
        runner_ = std::thread([this] {
            thread_id_ = GetCurrentThreadId();
            result_ = install_window_run(GetModuleHandleW(nullptr));
        });
        window_ = wait_install_window(GetCurrentProcessId(), 10000);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override
    {
        if (runner_.joinable()) {
            if (IsWindow(window_))
                PostMessageW(window_, WM_CLOSE, 0, 0);
            runner_.join();
        }
    }

    // Waits for the window's loop to end; install_window_run's answer.
    int result()
    {
        runner_.join();
        return result_;
    }
    void key(WPARAM vk) { PostMessageW(focus(), WM_KEYDOWN, vk, 0); }
    HWND focus()
    {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(thread_id_, &info);
        return info.hwndFocus;
    }

    bool focus_reaches(int id)
    {
        for (int i = 0; i < 100 && focus() != GetDlgItem(window_, id); i++)
            Sleep(20);
        return focus() == GetDlgItem(window_, id);
    }

    std::thread runner_;
    DWORD thread_id_ = 0;
    int result_ = -1;
    HWND window_ = nullptr;
};

BOOL CALLBACK find_tree(HWND child, LPARAM param)
{
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (lstrcmpW(cls, WC_TREEVIEWW))
        return TRUE;
    *(HWND *)param = child;
    return FALSE;
}

// The text of the item selected in the folder chooser's tree (the chooser
// runs in this process, so the item can be read directly).
std::wstring chooser_selection(HWND chooser)
{
    HWND tree = nullptr;
    EnumChildWindows(chooser, find_tree, (LPARAM)&tree);
    wchar_t text[MAX_PATH] = {};
    TVITEMW item = {};
    item.mask = TVIF_TEXT;
    item.hItem = tree ? TreeView_GetSelection(tree) : nullptr;
    item.pszText = text;
    item.cchTextMax = MAX_PATH;
    if (item.hItem)
        TreeView_GetItem(tree, &item);
    return text;
}

}  // namespace

TEST_F(InstallWindow, OpensCentredWithTheDefaultInItsFocusedBox)
{
    EXPECT_EQ(control_text(window_, INSTALL_ID_FOLDER), L"C:\\Games\\Korvanth");
    wchar_t title[64];
    GetWindowTextW(window_, title, 64);
    EXPECT_STREQ(title, L"Korvanth setup");
    RECT client, outer;
    GetClientRect(window_, &client);
    GetWindowRect(window_, &outer);
    EXPECT_EQ(client.right, 456);
    EXPECT_EQ(client.bottom, 158);
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - (outer.right - outer.left)) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - (outer.bottom - outer.top)) / 2);
    // The window is found as soon as it shows, a moment before the box
    // takes the focus; then Tab moves on to Browse..., as in a dialog.
    EXPECT_TRUE(focus_reaches(INSTALL_ID_FOLDER));
    key(VK_TAB);
    EXPECT_TRUE(focus_reaches(INSTALL_ID_BROWSE));
}

TEST_F(InstallWindow, FolderNotOnADriveShowsTheInformationBoxAndStays)
{
    const std::wstring texts[] = {
        L"Games\\Korvanth",                    // relative
        L"\\\\server\\share\\Korvanth",        // network name
        L"C:",                                 // too short
        L"",                                   // nothing
        L"C:\\" + std::wstring(260, L'l'),     // past what a folder holds: refused, not cut
    };
    for (const std::wstring &text : texts) {
        SCOPED_TRACE(narrow(text));
        set_control_text(window_, INSTALL_ID_FOLDER, text);
        press(window_, INSTALL_ID_INSTALL);
        std::wstring title, shown;
        ASSERT_TRUE(close_message_box(GetCurrentProcessId(), 10000, &title, &shown));
        EXPECT_EQ(title, L"Korvanth");
        EXPECT_EQ(shown, LOCAL_DRIVE_TEXT);
        Sleep(100);
        EXPECT_TRUE(IsWindowVisible(window_));
        EXPECT_EQ(control_text(window_, INSTALL_ID_FOLDER), text);
    }
    press(window_, INSTALL_ID_CANCEL);
    EXPECT_EQ(result(), 0);
}

TEST_F(InstallWindow, EndsWithTheNormalizedFolderOrNothing)
{
    TempDir base;
    ASSERT_TRUE(write_file(base / L"other.txt", "x"));
    struct Row {
        const char *how;
        int expected;
    };
    const Row rows[] = {{"Install", 1}, {"Enter", 1}, {"Cancel", 0}, {"Escape", 0},
                        {"close box", 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.how);
        if (!runner_.joinable())
            open();
        // An existing folder with other files gets the product folder.
        set_control_text(window_, INSTALL_ID_FOLDER, base.path() + L"\\\\");
        std::string how = row.how;
        if (how == "Install")
            press(window_, INSTALL_ID_INSTALL);
        else if (how == "Cancel")
            press(window_, INSTALL_ID_CANCEL);
        else if (how == "Enter")
            key(VK_RETURN);
        else if (how == "Escape")
            key(VK_ESCAPE);
        else
            PostMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_EQ(result(), row.expected);
        if (row.expected) {
            EXPECT_EQ(std::wstring(g_install_folder), base.path() + L"\\Korvanth");
        }
    }
}

TEST_F(InstallWindow, BrowseOpensOnTheNearestExistingParent)
{
    // A small folder of its own on C:\ (the temp folder is large and busy
    // while the suite runs, and the chooser's tree walk through it was seen
    // to stop half-way).
    std::wstring base = L"C:\\kv-browse-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    struct Remove {
        std::wstring path;
        ~Remove() { remove_tree(path); }
    } remove{base};
    ASSERT_TRUE(write_file(base + L"\\other.txt", "x"));
    // Two levels that do not exist yet below it.
    set_control_text(window_, INSTALL_ID_FOLDER, base + L"\\Games\\Korvanth");
    press(window_, INSTALL_ID_BROWSE);
    HWND chooser = wait_window(GetCurrentProcessId(), L"#32770", L"Browse for Folder", 15000);
    ASSERT_NE(chooser, nullptr);
    // The chooser moves its tree to the starting folder after it shows.
    std::wstring name = base.substr(3);
    for (int i = 0; i < 250 && chooser_selection(chooser) != name; i++)
        Sleep(20);
    EXPECT_EQ(chooser_selection(chooser), name);
    PostMessageW(chooser, WM_COMMAND, IDOK, 0);
    // The choice comes back normalised: the folder holds other files.
    std::wstring expected = base + L"\\Korvanth";
    for (int i = 0; i < 250 && control_text(window_, INSTALL_ID_FOLDER) != expected; i++)
        Sleep(20);
    EXPECT_EQ(control_text(window_, INSTALL_ID_FOLDER), expected);
    press(window_, INSTALL_ID_CANCEL);
    EXPECT_EQ(result(), 0);
}

// The window's ordinary controls are read by screen readers through the
// system's own objects: the folder box named by its label, with the folder
// as its value; a button by its caption. (Wine's oleacc has no object for
// the BUTTON class: its buttons answer the client role, so roles are not
// compared here.)
TEST_F(InstallWindow, ScreenReadersReadItsControls)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    auto read = [&](int id, bool value) {
        IAccessible *acc = nullptr;
        BSTR text = nullptr;
        if (AccessibleObjectFromWindow(GetDlgItem(window_, id), (DWORD)OBJID_CLIENT,
                                       IID_IAccessible, (void **)&acc) != S_OK)
            return std::wstring(L"(no object)");
        value ? acc->get_accValue(self, &text) : acc->get_accName(self, &text);
        std::wstring out = text ? text : L"";
        SysFreeString(text);
        acc->Release();
        return out;
    };
    EXPECT_EQ(read(INSTALL_ID_FOLDER, false), L"Install Korvanth to:");
    EXPECT_EQ(read(INSTALL_ID_FOLDER, true), std::wstring(g_install_folder));
    EXPECT_EQ(read(INSTALL_ID_BROWSE, false), L"Browse...");
    EXPECT_EQ(read(INSTALL_ID_INSTALL, false), L"Install");
    CoUninitialize();
}

// Moved to a monitor at 150%: the window takes the system's rectangle and
// its controls their places at that density.
TEST_F(InstallWindow, LaysItsControlsOutAgainAtAnotherDensity)
{
    RECT was, suggested;
    GetWindowRect(window_, &was);
    suggested = {was.left, was.top, was.left + 700, was.top + 300};
    SendMessageW(window_, WM_DPICHANGED, MAKEWPARAM(144, 144), (LPARAM)&suggested);
    RECT now;
    GetWindowRect(window_, &now);
    EXPECT_TRUE(EqualRect(&now, &suggested));
    RECT install;
    GetWindowRect(GetDlgItem(window_, INSTALL_ID_INSTALL), &install);
    MapWindowPoints(nullptr, window_, (POINT *)&install, 2);
    const RECT expected = {396, 174, 396 + 129, 174 + 42};  // (264, 116, 86 x 28) at 150%
    EXPECT_TRUE(EqualRect(&install, &expected))
        << install.left << "," << install.top << " " << install.right << "," << install.bottom;
    EXPECT_EQ(control_text(window_, INSTALL_ID_FOLDER), std::wstring(g_install_folder));
}
