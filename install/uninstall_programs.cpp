// The programs that run from the folder being uninstalled: the game would
// keep its files, and a launcher that is starting may not hold the folder
// yet. Every process's image is compared with the folder as given and as
// its final path.
#include "install/install_internal.h"

#include <windows.h>

#include <tlhelp32.h>
#include <wchar.h>

namespace {

// 1 when process `id` runs a program below `full` or `root` and outside
// `fences`, with its path relative to the folder in `image` (`cap_chars`,
// cut).
int runs_from_folder(DWORD id, const wchar_t *full, const wchar_t *root,
                     const SystemFolders *fences, wchar_t *image, size_t cap_chars)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!process)
        return 0;
    RemovalPath name;
    DWORD chars = CLIENT_PATH_CHARS;
    int found = 0;
    if (QueryFullProcessImageNameW(process, 0, name, &chars)) {
        size_t base = path_at_or_below(name, full)   ? wcslen(full)
                      : path_at_or_below(name, root) ? wcslen(root)
                                                     : 0;
        if (base && name[base] && !system_folders_fence(fences, name)) {
            lstrcpynW(image, name + base + 1, (int)cap_chars);
            found = 1;
        }
    }
    CloseHandle(process);
    return found;
}

}  // namespace

int uninstall_program_running(const wchar_t *folder, wchar_t *image, size_t cap_chars)
{
    RemovalPath full, root;
    DWORD error, n = GetFullPathNameW(folder, CLIENT_PATH_CHARS, full, nullptr);
    if (n == 0 || n >= CLIENT_PATH_CHARS)
        return 0;
    uninstall_plain_path(full);
    if (!uninstall_final_path(full, root, &error, LAST_LINK_FOLLOWED))
        lstrcpynW(root, full, CLIENT_PATH_CHARS);

    SystemFolders fences = {};
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int found = 0;
    // Programs of the system's folders inside (those of a drive's root)
    // belong to the system, not to the game.
    if (!system_folders_gather(&fences))
        goto cleanup;
    system_folders_keep_inside(&fences, root);
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        goto cleanup;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        found = entry.th32ProcessID != GetCurrentProcessId() &&
                runs_from_folder(entry.th32ProcessID, full, root, &fences, image, cap_chars);

cleanup:
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    system_folders_free(&fences);
    return found;
}
