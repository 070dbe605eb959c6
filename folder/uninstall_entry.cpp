// The launcher's entry in the current user's list of installed apps
// (HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\<key>), where
// players look for a game to remove it. Per user, so no elevation is needed,
// as for the install itself.
//
// Key names: the first installation takes "Korvanth". Another folder, while
// "Korvanth" belongs to a folder whose launcher still exists, takes
// "Korvanth-" and the first eight hexadecimal digits of its folder lock's
// hash (the SHA-256 of its upper-cased full path, folder/folder_lock.cpp), so
// that every spelling of one folder finds the same key. An entry belongs to a
// folder when its uninstall command names that folder's launcher or its
// install location is that folder; one of the two may have been edited.
//
// Here rather than in install/ because the update pass keeps the entry's size
// current, and the pass sits below the installer.
#include "folder/folder.h"

#include <windows.h>
#include <wchar.h>

namespace {

const wchar_t UNINSTALL_ROOT[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t FIRST_KEY[] = L"Korvanth";
const size_t SUFFIX_DIGITS = 8;
// The uninstall command: the launcher's path in quotes and the option.
const size_t COMMAND_CHARS = LAUNCHER_PATH_CHARS + 16;
const size_t KEY_PATH_CHARS = sizeof UNINSTALL_ROOT / sizeof(wchar_t) + UNINSTALL_KEY_CHARS;

static_assert(sizeof FIRST_KEY / sizeof(wchar_t) + 1 + SUFFIX_DIGITS <= UNINSTALL_KEY_CHARS,
              "\"Korvanth-\" and the digits fit a key name");

// Two spellings of one folder give one lock name.
bool same_folder(const wchar_t *a, const wchar_t *b)
{
    wchar_t name_a[FOLDER_LOCK_NAME_CHARS], name_b[FOLDER_LOCK_NAME_CHARS];
    return folder_lock_name(a, name_a, FOLDER_LOCK_NAME_CHARS) &&
           folder_lock_name(b, name_b, FOLDER_LOCK_NAME_CHARS) && !wcscmp(name_a, name_b);
}

// The launcher of `folder` and the command that uninstalls it. False when
// the path does not fit.
bool launcher_command(const wchar_t *folder, wchar_t *exe, wchar_t *command)
{
    path_join(exe, LAUNCHER_PATH_CHARS, folder, own_file_name(OWN_FILE_LAUNCHER));
    return exe[0] &&
           format_wide(command, COMMAND_CHARS, L"\"%s\" %s", exe, UNINSTALL_OPTION) >= 0;
}

HKEY open_key(const wchar_t *key, REGSAM access)
{
    wchar_t path[KEY_PATH_CHARS];
    HKEY h = nullptr;
    if (format_wide(path, KEY_PATH_CHARS, L"%s%s", UNINSTALL_ROOT, key) < 0 ||
        RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, access, &h) != ERROR_SUCCESS)
        return nullptr;
    return h;
}

// A text value of an open key; empty text when it is missing, of another
// kind or longer than `cap_chars`.
void read_text(HKEY key, const wchar_t *name, wchar_t *out, size_t cap_chars)
{
    DWORD bytes = (DWORD)(cap_chars * sizeof(wchar_t));
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, out, &bytes) != ERROR_SUCCESS)
        out[0] = 0;
}

// What the entry `key` says of itself: 1 when it exists, with its folder's
// launcher (from the command, unquoted) and its install location.
int read_entry(const wchar_t *key, wchar_t *exe, wchar_t *location)
{
    HKEY h = open_key(key, KEY_QUERY_VALUE);
    if (!h)
        return 0;
    wchar_t command[COMMAND_CHARS];
    read_text(h, L"UninstallString", command, COMMAND_CHARS);
    read_text(h, L"InstallLocation", location, LAUNCHER_PATH_CHARS);
    RegCloseKey(h);
    exe[0] = 0;
    const wchar_t *close = command[0] == L'"' ? wcschr(command + 1, L'"') : nullptr;
    if (close && (size_t)(close - command - 1) < LAUNCHER_PATH_CHARS) {
        wmemcpy(exe, command + 1, (size_t)(close - command - 1));
        exe[close - command - 1] = 0;
    }
    return 1;
}

// 1 when the entry `key` exists and belongs to `folder`.
int entry_of(const wchar_t *key, const wchar_t *folder)
{
    wchar_t exe[LAUNCHER_PATH_CHARS], location[LAUNCHER_PATH_CHARS], own[LAUNCHER_PATH_CHARS];
    if (!read_entry(key, exe, location))
        return 0;
    path_join(own, LAUNCHER_PATH_CHARS, folder, own_file_name(OWN_FILE_LAUNCHER));
    return (exe[0] && own[0] && !lstrcmpiW(exe, own)) ||
           (location[0] && same_folder(location, folder));
}

// "Korvanth-" and the first digits of the folder's lock hash. False when the
// folder has no lock name.
bool suffixed_key(const wchar_t *folder, wchar_t *key)
{
    wchar_t lock[FOLDER_LOCK_NAME_CHARS];
    if (!folder_lock_name(folder, lock, FOLDER_LOCK_NAME_CHARS))
        return false;
    const wchar_t *hash = lock + wcslen(lock) - (SHA256_HEX_CHARS - 1);  // the hexadecimal digits
    return format_wide(key, UNINSTALL_KEY_CHARS, L"%s-%.*s", FIRST_KEY, (int)SUFFIX_DIGITS,
                       hash) >= 0;
}

// The key a new entry of `folder` takes: "Korvanth" unless that one belongs
// to another folder whose launcher is still there.
bool key_for_new_entry(const wchar_t *folder, wchar_t *key)
{
    if (uninstall_entry_find(folder, key, UNINSTALL_KEY_CHARS))
        return true;
    wchar_t exe[LAUNCHER_PATH_CHARS], location[LAUNCHER_PATH_CHARS];
    if (!read_entry(FIRST_KEY, exe, location) || !exe[0] || !file_info(exe, nullptr, nullptr)) {
        lstrcpynW(key, FIRST_KEY, UNINSTALL_KEY_CHARS);
        return true;
    }
    return suffixed_key(folder, key);
}

bool set_text(HKEY key, const wchar_t *name, const wchar_t *text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text,
                          (DWORD)((wcslen(text) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool set_number(HKEY key, const wchar_t *name, uint32_t value)
{
    DWORD v = value;
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&v, sizeof v) == ERROR_SUCCESS;
}

}  // namespace

int uninstall_entry_find(const wchar_t *folder, wchar_t *key, size_t cap_chars)
{
    if (cap_chars)
        key[0] = 0;
    wchar_t name[UNINSTALL_KEY_CHARS];
    int found = entry_of(FIRST_KEY, folder);
    if (found)
        lstrcpynW(name, FIRST_KEY, UNINSTALL_KEY_CHARS);
    else if (suffixed_key(folder, name))
        found = entry_of(name, folder);
    if (found && cap_chars)
        lstrcpynW(key, name, (int)cap_chars);
    return found;
}

int uninstall_entry_write(const wchar_t *folder, uint32_t size_kib)
{
    wchar_t key[UNINSTALL_KEY_CHARS], path[KEY_PATH_CHARS];
    wchar_t exe[LAUNCHER_PATH_CHARS], command[COMMAND_CHARS], icon[LAUNCHER_PATH_CHARS + 2];
    wchar_t name[LAUNCHER_PATH_CHARS + 16], version[32];
    if (!launcher_command(folder, exe, command) || !key_for_new_entry(folder, key) ||
        format_wide(path, KEY_PATH_CHARS, L"%s%s", UNINSTALL_ROOT, key) < 0 ||
        format_wide(icon, LAUNCHER_PATH_CHARS + 2, L"%s,0", exe) < 0)
        return 0;
    // Two entries of one name would not say which folder each removes.
    if (wcscmp(key, FIRST_KEY))
        format_wide(name, LAUNCHER_PATH_CHARS + 16, L"Korvanth (%s)", folder);
    else
        lstrcpynW(name, FIRST_KEY, LAUNCHER_PATH_CHARS + 16);
    format_wide(version, 32, L"%S", LAUNCHER_VERSION);
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h,
                        nullptr) != ERROR_SUCCESS)
        return 0;
    bool ok = set_text(h, L"DisplayName", name) && set_text(h, L"DisplayIcon", icon) &&
              set_text(h, L"DisplayVersion", version) && set_text(h, L"Publisher", L"Korvanth") &&
              set_text(h, L"InstallLocation", folder) &&
              set_text(h, L"UninstallString", command) &&
              set_number(h, L"EstimatedSize", size_kib) && set_number(h, L"NoModify", 1) &&
              set_number(h, L"NoRepair", 1);
    RegCloseKey(h);
    return ok;
}

void uninstall_entry_refresh_size(const wchar_t *folder, const LocalState *state)
{
    wchar_t key[UNINSTALL_KEY_CHARS];
    if (!uninstall_entry_find(folder, key, UNINSTALL_KEY_CHARS))
        return;
    HKEY h = open_key(key, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (!h)
        return;
    uint32_t size = installed_size_kib(folder, state);
    DWORD old = 0, bytes = sizeof old;
    if (RegGetValueW(h, nullptr, L"EstimatedSize", RRF_RT_REG_DWORD, nullptr, &old, &bytes) !=
            ERROR_SUCCESS ||
        old != size)
        set_number(h, L"EstimatedSize", size);
    RegCloseKey(h);
}

int uninstall_entry_location(const wchar_t *folder, wchar_t *location, size_t cap_chars)
{
    wchar_t key[UNINSTALL_KEY_CHARS], exe[LAUNCHER_PATH_CHARS], text[LAUNCHER_PATH_CHARS];
    if (cap_chars)
        location[0] = 0;
    if (!uninstall_entry_find(folder, key, UNINSTALL_KEY_CHARS) || !read_entry(key, exe, text))
        return 0;
    if (cap_chars)
        lstrcpynW(location, text, (int)cap_chars);
    return 1;
}

int uninstall_entry_remove(const wchar_t *folder)
{
    wchar_t key[UNINSTALL_KEY_CHARS], path[KEY_PATH_CHARS];
    if (!uninstall_entry_find(folder, key, UNINSTALL_KEY_CHARS))
        return 1;
    if (format_wide(path, KEY_PATH_CHARS, L"%s%s", UNINSTALL_ROOT, key) < 0)
        return 0;
    return RegDeleteKeyW(HKEY_CURRENT_USER, path) == ERROR_SUCCESS;
}

uint32_t installed_size_kib(const wchar_t *folder, const LocalState *state)
{
    uint64_t bytes = 0;
    wchar_t exe[LAUNCHER_PATH_CHARS];
    path_join(exe, LAUNCHER_PATH_CHARS, folder, own_file_name(OWN_FILE_LAUNCHER));
    if (exe[0])
        file_info(exe, &bytes, nullptr);
    LocalState loaded;
    if (!state) {
        state_load(&loaded, folder);
        state = &loaded;
    }
    for (int32_t i = 0; i < state->count; i++)
        bytes += state->entries[i].size < UINT64_MAX - bytes ? state->entries[i].size
                                                             : UINT64_MAX - bytes;
    if (state == &loaded)
        state_free(&loaded);
    uint64_t kib = bytes / 1024 + (bytes % 1024 != 0);
    return kib > UINT32_MAX ? UINT32_MAX : (uint32_t)kib;
}
