// The fences of an uninstall: every path is judged by its final path, which
// the system gives for an open handle (links on the way resolved, a last
// link opened as itself where the system tells links apart), and the
// system's folders, as final paths too, are neither removed nor emptied.
//
// Wine 8 (tried): CreateSymbolicLinkW answers success and makes nothing, a
// junction cannot be made (error 50), and a Linux symbolic link shows as a
// folder with FILE_ATTRIBUTE_REPARSE_POINT when it leads to a folder, as a
// plain file when it leads to a file. DeleteFileW on such a file link deletes
// the file it leads to, and RemoveDirectoryW on a folder link removes an
// empty folder it leads to; GetFinalPathNameByHandleW names the target in
// both cases. The judgement by final path therefore leaves such links, and
// whatever they lead to, alone.
#include "install/install_internal.h"

#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

// The shell's special folders (CSIDL 0 to 0x3F), a few known folders that
// have no CSIDL, and the temporary folder.
const int CSIDL_COUNT = 0x40;
const KNOWNFOLDERID *const KNOWN_FOLDERS[] = {
    &FOLDERID_Downloads, &FOLDERID_SavedGames, &FOLDERID_UserProfiles, &FOLDERID_Public,
    &FOLDERID_Links,
};
const int SYSTEM_FOLDER_SLOTS = CSIDL_COUNT + sizeof KNOWN_FOLDERS / sizeof KNOWN_FOLDERS[0] + 1;

void add_system_folder(SystemFolders *folders, const wchar_t *path)
{
    if (!path[0] || folders->count >= SYSTEM_FOLDER_SLOTS)
        return;
    wchar_t *slot = folders->paths[folders->count];
    DWORD error;
    if (!uninstall_final_path(path, slot, &error, LAST_LINK_FOLLOWED)) {
        lstrcpynW(slot, path, CLIENT_PATH_CHARS);
        uninstall_plain_path(slot);
    }
    if (slot[0])
        folders->count++;
}

}  // namespace

void uninstall_plain_path(wchar_t *path)
{
    if (!wcsncmp(path, L"\\\\?\\UNC\\", 8)) {
        memmove(path + 2, path + 8, (wcslen(path + 8) + 1) * sizeof(wchar_t));
    } else if (!wcsncmp(path, L"\\\\?\\", 4)) {
        memmove(path, path + 4, (wcslen(path + 4) + 1) * sizeof(wchar_t));
    }
    size_t n = wcslen(path);
    while (n > 0 && path[n - 1] == L'\\')
        path[--n] = 0;
}

int uninstall_final_path(const wchar_t *path, wchar_t *out, unsigned long *error, LastLink last)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (last == LAST_LINK_AS_ITSELF)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = CreateFileW(path, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return 0;
    }
    DWORD n = GetFinalPathNameByHandleW(h, out, CLIENT_PATH_CHARS, FILE_NAME_NORMALIZED);
    *error = n == 0 ? GetLastError() : n >= CLIENT_PATH_CHARS ? ERROR_FILENAME_EXCED_RANGE : 0;
    CloseHandle(h);
    if (*error)
        return 0;
    uninstall_plain_path(out);
    return 1;
}

int path_at_or_below(const wchar_t *path, const wchar_t *base)
{
    size_t n = wcslen(base);
    return wcslen(path) >= n &&
           CompareStringOrdinal(path, (int)n, base, (int)n, TRUE) == CSTR_EQUAL &&
           (path[n] == 0 || path[n] == L'\\');
}

bool system_folders_gather(SystemFolders *folders)
{
    folders->count = 0;
    folders->paths = (RemovalPath *)malloc(SYSTEM_FOLDER_SLOTS * sizeof(RemovalPath));
    if (!folders->paths)
        return false;
    // The shell writes up to MAX_PATH characters.
    static_assert(CLIENT_PATH_CHARS >= MAX_PATH, "a special folder fits");
    wchar_t path[CLIENT_PATH_CHARS];
    for (int csidl = 0; csidl < CSIDL_COUNT; csidl++)
        if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK)
            add_system_folder(folders, path);
    for (const KNOWNFOLDERID *id : KNOWN_FOLDERS) {
        wchar_t *known = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(*id, 0, nullptr, &known)))
            add_system_folder(folders, known);
        CoTaskMemFree(known);
    }
    DWORD n = GetTempPathW(CLIENT_PATH_CHARS, path);
    if (n > 0 && n < CLIENT_PATH_CHARS)
        add_system_folder(folders, path);
    return true;
}

void system_folders_free(SystemFolders *folders)
{
    free(folders->paths);
    folders->paths = nullptr;
    folders->count = 0;
}

int system_folders_protect(const SystemFolders *folders, const wchar_t *root)
{
    if (wcslen(root) <= 2)
        return 1;
    if (root[0] == L'\\' && root[1] == L'\\') {
        const wchar_t *share = wcschr(root + 2, L'\\');
        if (!share || !wcschr(share + 1, L'\\'))
            return 1;
    }
    for (int i = 0; i < folders->count; i++)
        if (path_at_or_below(folders->paths[i], root))
            return 1;
    return 0;
}

void system_folders_keep_inside(SystemFolders *folders, const wchar_t *root)
{
    size_t n = wcslen(root);
    int kept = 0;
    for (int i = 0; i < folders->count; i++) {
        if (!path_at_or_below(folders->paths[i], root) || !folders->paths[i][n])
            continue;
        if (kept != i)
            wmemcpy(folders->paths[kept], folders->paths[i], CLIENT_PATH_CHARS);
        kept++;
    }
    folders->count = kept;
}

int system_folders_fence(const SystemFolders *fences, const wchar_t *path)
{
    for (int i = 0; i < fences->count; i++)
        if (path_at_or_below(path, fences->paths[i]))
            return 1;
    return 0;
}

int is_system_folder(const wchar_t *folder)
{
    SystemFolders folders = {};
    RemovalPath root;
    DWORD error;
    int result = 1;
    if (uninstall_final_path(folder, root, &error, LAST_LINK_FOLLOWED) &&
        system_folders_gather(&folders))
        result = system_folders_protect(&folders, root);
    system_folders_free(&folders);
    return result;
}
