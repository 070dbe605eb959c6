// Removing an installation: what the launcher put into its folder, and with
// the player's leave the rest of the folder's content, never anything
// outside it.
//
// Every path is judged before it is deleted by its final path, which the
// system gives for an open handle: links on the way are resolved, and a last
// link is opened as itself where the system tells links apart. A file whose
// final path is not inside the folder's own final path is left alone, and so
// is anything at or below a system folder inside it. Walks never enter a
// link (FILE_ATTRIBUTE_REPARSE_POINT): a link inside the folder is deleted as
// itself where the system allows it, else left.
//
// Wine 8 (tried): CreateSymbolicLinkW answers success and makes nothing, a
// junction cannot be made (error 50), and a Linux symbolic link shows as a
// folder with FILE_ATTRIBUTE_REPARSE_POINT when it leads to a folder, as a
// plain file when it leads to a file. DeleteFileW on such a file link deletes
// the file it leads to, and RemoveDirectoryW on a folder link removes an
// empty folder it leads to; GetFinalPathNameByHandleW names the target in
// both cases. The judgement by final path therefore leaves such links, and
// whatever they lead to, alone.
#include "install/install.h"

#include "manifest/manifest.h"
#include "folder/folder.h"

#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>
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

// The launcher's files beside Korvanth.exe, the state file last: a run
// killed on the way still finds the state's list the next time.
const wchar_t *const OWN_FILES[] = {
    L"Korvanth.log.1", L"Korvanth.ini",      L"Korvanth.new",       L"Korvanth.old",
    L"Korvanth.new.part", L"Korvanth.new.tmp", L"Korvanth.state.tmp", L"Korvanth.log",
};

// The working files of a download beside its destination.
const wchar_t *const WORKING_SUFFIXES[] = {L".part", L".tmp"};

// Tries and pauses for a launcher file that its ended process still holds.
const int LAUNCHER_DELETE_ATTEMPTS = 50;
const DWORD LAUNCHER_DELETE_PAUSE_MS = 100;

typedef wchar_t Path[CLIENT_PATH_CHARS];

// The system's folders as final paths (as written where they cannot be
// opened), without trailing backslash.
struct SystemFolders {
    Path *paths;
    int count;
};

// One removal: the folder's final path ("C:" for a drive's root) and the
// system folders strictly inside it, which nothing may touch.
struct Removal {
    Path root;
    size_t root_len;
    SystemFolders fences;
    UninstallReport *report;
};

// "\\?\C:\x" -> "C:\x", "\\?\UNC\host\share" -> "\\host\share"; a trailing
// backslash goes ("C:\" -> "C:").
void plain_path(wchar_t *path)
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

enum LastLink { AS_ITSELF, FOLLOWED };

// The final path of an existing file or folder into `out` (CLIENT_PATH_CHARS):
// a last link opened AS_ITSELF (a path about to be deleted) or FOLLOWED (the
// folder that is being uninstalled, a system folder). 1, or 0 with the
// system's error.
int final_path(const wchar_t *path, wchar_t *out, DWORD *error, LastLink last = AS_ITSELF)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (last == AS_ITSELF)
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
    plain_path(out);
    return 1;
}

// 1 when `path` is `base` or lies below it (letter case aside).
int at_or_below(const wchar_t *path, const wchar_t *base)
{
    size_t n = wcslen(base);
    return wcslen(path) >= n &&
           CompareStringOrdinal(path, (int)n, base, (int)n, TRUE) == CSTR_EQUAL &&
           (path[n] == 0 || path[n] == L'\\');
}

void add_system_folder(SystemFolders *folders, const wchar_t *path)
{
    if (!path[0] || folders->count >= SYSTEM_FOLDER_SLOTS)
        return;
    wchar_t *slot = folders->paths[folders->count];
    DWORD error;
    if (!final_path(path, slot, &error, FOLLOWED)) {
        lstrcpynW(slot, path, CLIENT_PATH_CHARS);
        plain_path(slot);
    }
    if (slot[0])
        folders->count++;
}

// Every system folder the shell names. False when out of memory.
bool gather_system_folders(SystemFolders *folders)
{
    folders->count = 0;
    folders->paths = (Path *)malloc(SYSTEM_FOLDER_SLOTS * sizeof(Path));
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

// 1 for a drive's or share's root ("C:", "\\host\share") or a folder at or
// above one of `folders`.
int protects(const SystemFolders *folders, const wchar_t *root)
{
    if (wcslen(root) <= 2)
        return 1;
    if (root[0] == L'\\' && root[1] == L'\\') {
        const wchar_t *share = wcschr(root + 2, L'\\');
        if (!share || !wcschr(share + 1, L'\\'))
            return 1;
    }
    for (int i = 0; i < folders->count; i++)
        if (at_or_below(folders->paths[i], root))
            return 1;
    return 0;
}

// Keeps of `folders` those strictly inside `root`, which nothing may touch.
void keep_fences(SystemFolders *folders, const wchar_t *root)
{
    size_t n = wcslen(root);
    int kept = 0;
    for (int i = 0; i < folders->count; i++) {
        if (!at_or_below(folders->paths[i], root) || !folders->paths[i][n])
            continue;
        if (kept != i)
            wmemcpy(folders->paths[kept], folders->paths[i], CLIENT_PATH_CHARS);
        kept++;
    }
    folders->count = kept;
}

bool fenced(const SystemFolders *fences, const wchar_t *path)
{
    for (int i = 0; i < fences->count; i++)
        if (at_or_below(path, fences->paths[i]))
            return true;
    return false;
}

// What may become of an existing path.
enum Judgement {
    GONE,       // nothing there (a second run, or never made)
    INSIDE,     // inside the folder: may go
    OUTSIDE,    // leads outside the folder
    FENCED,     // at or below a system folder inside the folder
    UNKNOWN,    // cannot be judged (error in *error): counts as a failure
};

Judgement judge(const Removal *r, const wchar_t *path, DWORD *error)
{
    Path fin;
    if (!final_path(path, fin, error))
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? GONE : UNKNOWN;
    if (!at_or_below(fin, r->root) || !fin[r->root_len])
        return OUTSIDE;
    return fenced(&r->fences, fin) ? FENCED : INSIDE;
}

// `path` as the box names it: inside the folder relative to it.
const wchar_t *shown_name(const Removal *r, const wchar_t *path)
{
    return at_or_below(path, r->root) && path[r->root_len] ? path + r->root_len + 1 : path;
}

// After a judgement other than INSIDE or GONE: the box says why.
void tell(Removal *r, const wchar_t *path, Judgement j, DWORD error)
{
    UninstallReport *report = r->report;
    if (j == OUTSIDE)
        uninstall_name_add(&report->refused, L"%s (leads outside the folder)", shown_name(r, path));
    else if (j == FENCED)
        uninstall_name_add(&report->refused, L"%s (a system folder)", shown_name(r, path));
    else if (j == UNKNOWN)
        uninstall_name_add(&report->failed, L"%s (error %lu)", shown_name(r, path),
                           (unsigned long)error);
}

// Removes the folders above `path` that are left empty, up to the root.
void prune_parents(Removal *r, const wchar_t *path)
{
    Path dir;
    lstrcpynW(dir, path, CLIENT_PATH_CHARS);
    for (;;) {
        wchar_t *slash = wcsrchr(dir, L'\\');
        if (!slash || (size_t)(slash - dir) <= r->root_len)
            return;
        *slash = 0;
        DWORD attrs = GetFileAttributesW(dir), error;
        if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ||
            judge(r, dir, &error) != INSIDE || !RemoveDirectoryW(dir))
            return;
    }
}

// Deletes one file or file link after judging it; with `prune` the folders
// it leaves empty go too. 1 when it is gone.
int remove_file(Removal *r, const wchar_t *path, bool prune = false)
{
    DWORD error = 0;
    Judgement j = judge(r, path, &error);
    if (j == GONE)
        return 1;
    if (j != INSIDE) {
        tell(r, path, j, error);
        return 0;
    }
    BOOL ok = DeleteFileW(path);
    if (!ok && GetLastError() == ERROR_ACCESS_DENIED) {
        // A read-only file goes as well: the player asked for its removal.
        DWORD attrs = GetFileAttributesW(path);
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) &&
            SetFileAttributesW(path, attrs & ~FILE_ATTRIBUTE_READONLY))
            ok = DeleteFileW(path);
        else
            SetLastError(ERROR_ACCESS_DENIED);
    }
    if (!ok) {
        tell(r, path, UNKNOWN, GetLastError());
        return 0;
    }
    r->report->removed++;
    if (prune)
        prune_parents(r, path);
    return 1;
}

// A folder link removed as itself, or an emptied folder.
void remove_folder(Removal *r, const wchar_t *path, bool link)
{
    DWORD error = 0;
    Judgement j = judge(r, path, &error);
    if (j != INSIDE) {
        tell(r, path, j, error);
        return;
    }
    if (RemoveDirectoryW(path)) {
        if (link)
            r->report->removed++;
    } else if (link || GetLastError() != ERROR_DIR_NOT_EMPTY) {
        tell(r, path, UNKNOWN, GetLastError());
    }
}

enum WalkMode {
    WALK_REST,     // delete everything but Korvanth.exe and the state file
    WALK_WORKING,  // delete the working files (*.part, *.tmp)
    WALK_COUNT,    // count the files left, Korvanth.exe and the state file aside
};

bool has_suffix(const wchar_t *name, const wchar_t *suffix)
{
    size_t n = wcslen(name), k = wcslen(suffix);
    return n > k && !lstrcmpiW(name + n - k, suffix);
}

// One walk below `path` (a buffer of CLIENT_PATH_CHARS holding `len`
// characters, restored on return); never into links or system folders.
void walk(Removal *r, wchar_t *path, size_t len, WalkMode mode)
{
    if (len + 2 >= CLIENT_PATH_CHARS)
        return;
    wmemcpy(path + len, L"\\*", 3);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path, &found);
    path[len] = 0;
    if (find == INVALID_HANDLE_VALUE)
        return;
    bool top = len == r->root_len;
    do {
        const wchar_t *name = found.cFileName;
        size_t n = wcslen(name);
        if (!wcscmp(name, L".") || !wcscmp(name, L".."))
            continue;
        if (top && (!lstrcmpiW(name, L"Korvanth.exe") ||
                    (mode != WALK_WORKING && !lstrcmpiW(name, L"Korvanth.state"))))
            continue;
        if (len + 1 + n >= CLIENT_PATH_CHARS) {
            if (mode == WALK_REST)
                uninstall_name_add(&r->report->failed, L"%s\\%s (path too long)",
                                   shown_name(r, path), name);
            continue;
        }
        path[len] = L'\\';
        wmemcpy(path + len + 1, name, n + 1);
        DWORD attrs = found.dwFileAttributes;
        bool folder = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (mode == WALK_COUNT) {
            if (folder && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
                walk(r, path, len + 1 + n, mode);
            else
                r->report->kept++;
        } else if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (mode == WALK_REST) {
                if (folder)
                    remove_folder(r, path, true);
                else
                    remove_file(r, path);
            }
        } else if (folder) {
            if (fenced(&r->fences, path)) {
                if (mode == WALK_REST)
                    tell(r, path, FENCED, 0);
            } else {
                walk(r, path, len + 1 + n, mode);
                remove_folder(r, path, false);  // when left empty
            }
        } else if (mode == WALK_REST || has_suffix(name, WORKING_SUFFIXES[0]) ||
                   has_suffix(name, WORKING_SUFFIXES[1])) {
            remove_file(r, path);
        }
        path[len] = 0;
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

// The whole state file's text (a NUL after it) and its length; null when
// there is none or it cannot be read.
char *read_state_text(const wchar_t *root, size_t *len)
{
    Path name;
    path_join(name, CLIENT_PATH_CHARS, root, L"Korvanth.state");
    HANDLE file = name[0] ? CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                          : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size;
    char *text = nullptr;
    DWORD got = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart >= 0 &&
        size.QuadPart <= STATE_MAX_FILE_BYTES &&
        (text = (char *)malloc((size_t)size.QuadPart + 1)) != nullptr &&
        !ReadFile(file, text, (DWORD)size.QuadPart, &got, nullptr))
        got = 0;
    CloseHandle(file);
    if (text)
        text[got] = 0;
    *len = got;
    return text;
}

// Every file the state lists, with the working files beside it. The state's
// reader keeps only paths that pass the path rule; those it drops are named
// in the box.
void remove_listed_files(Removal *r)
{
    size_t len = 0;
    char *text = read_state_text(r->root, &len);
    if (!text)
        return;
    uninstall_note_unsafe_state_paths(text, len, &r->report->refused);
    LocalState state;
    state_init(&state);
    state_parse_text(&state, text, len);
    free(text);
    for (int32_t i = 0; i < state.count; i++) {
        wchar_t rel[CLIENT_REL_CHARS];
        Path full, working;
        client_file_path(state.entries[i].path, r->root, rel, full);
        if (!full[0]) {
            uninstall_name_add(&r->report->failed, L"%S (path too long)", state.entries[i].path);
            continue;
        }
        remove_file(r, full, true);
        for (const wchar_t *suffix : WORKING_SUFFIXES)
            if (format_wide(working, CLIENT_PATH_CHARS, L"%s%s", full, suffix) >= 0)
                remove_file(r, working, true);
    }
    state_free(&state);
}

void remove_own_files(Removal *r)
{
    Path path;
    for (const wchar_t *name : OWN_FILES)
        if (path_join(path, CLIENT_PATH_CHARS, r->root, name)[0])
            remove_file(r, path);
    // The chunk lists kept for the next update: the launcher's alone.
    if (path_join(path, CLIENT_PATH_CHARS, r->root, L"Korvanth.chunks")[0] &&
        GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
        walk(r, path, wcslen(path), WALK_REST);
        remove_folder(r, path, false);
    }
    // The state goes only when every file it lists went: it is the list
    // that a second run works from.
    if (r->report->failed.count == 0 &&
        path_join(path, CLIENT_PATH_CHARS, r->root, L"Korvanth.state")[0])
        remove_file(r, path);
}

// The desktop's and the Start menu's "Korvanth.lnk", where they lead to this
// folder's launcher (a link of another installation stays).
void remove_shortcuts(Removal *r, const wchar_t *launcher)
{
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int folders[] = {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS};
    for (int csidl : folders) {
        wchar_t folder[MAX_PATH], link_path[LAUNCHER_PATH_CHARS], target[MAX_PATH];
        Path fin;
        if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK ||
            !path_join(link_path, LAUNCHER_PATH_CHARS, folder, L"Korvanth.lnk")[0] ||
            GetFileAttributesW(link_path) == INVALID_FILE_ATTRIBUTES)
            continue;
        IShellLinkW *link = nullptr;
        IPersistFile *file = nullptr;
        DWORD error = 0;
        target[0] = 0;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IShellLinkW, (void **)&link)) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file)) &&
            SUCCEEDED(file->Load(link_path, STGM_READ)))
            link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
        if (file)
            file->Release();
        if (link)
            link->Release();
        if (!target[0] || !final_path(target, fin, &error) || lstrcmpiW(fin, launcher))
            continue;
        if (DeleteFileW(link_path))
            r->report->removed++;
        else
            uninstall_name_add(&r->report->failed, L"%s (error %lu)", link_path,
                               (unsigned long)GetLastError());
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}

// The entry's install location, when it names another folder: the box says
// that nothing there was touched.
void note_location(Removal *r, const wchar_t *folder)
{
    wchar_t location[LAUNCHER_PATH_CHARS];
    wchar_t a[FOLDER_LOCK_NAME_CHARS], b[FOLDER_LOCK_NAME_CHARS];
    if (uninstall_entry_location(folder, location, LAUNCHER_PATH_CHARS) && location[0] &&
        !(folder_lock_name(location, a, FOLDER_LOCK_NAME_CHARS) &&
          folder_lock_name(folder, b, FOLDER_LOCK_NAME_CHARS) && !wcscmp(a, b)))
        lstrcpynW(r->report->location, location, LAUNCHER_PATH_CHARS);
}

}  // namespace

int is_system_folder(const wchar_t *folder)
{
    SystemFolders folders;
    Path root;
    DWORD error;
    if (!final_path(folder, root, &error, FOLLOWED) || !gather_system_folders(&folders))
        return 1;
    int result = protects(&folders, root);
    free(folders.paths);
    return result;
}

void uninstall_remove(const wchar_t *folder, int keep_player_files, UninstallReport *report)
{
    memset(report, 0, sizeof *report);
    Removal *r = (Removal *)calloc(1, sizeof(Removal));
    SystemFolders system = {};
    DWORD error = 0;
    if (!r || !final_path(folder, r->root, &error, FOLLOWED) || !gather_system_folders(&system)) {
        uninstall_name_add(&report->failed, L"%s (error %lu)", folder,
                           (unsigned long)(error ? error : ERROR_NOT_ENOUGH_MEMORY));
        free(system.paths);
        free(r);
        return;
    }
    r->root_len = wcslen(r->root);
    r->report = report;
    report->folder_protected = protects(&system, r->root);
    keep_fences(&system, r->root);
    r->fences = system;

    note_location(r, folder);
    remove_listed_files(r);
    Path path;
    lstrcpynW(path, r->root, CLIENT_PATH_CHARS);
    // A system folder is never walked: only what the launcher names goes.
    if (!keep_player_files && report->folder_protected)
        report->rest_refused = 1;
    if (!report->folder_protected)
        walk(r, path, r->root_len, keep_player_files ? WALK_WORKING : WALK_REST);
    remove_own_files(r);
    Path launcher;
    if (path_join(launcher, CLIENT_PATH_CHARS, r->root, L"Korvanth.exe")[0])
        remove_shortcuts(r, launcher);
    // What stays besides files that failed: those are named instead.
    if (!report->folder_protected && report->failed.count == 0)
        walk(r, path, r->root_len, WALK_COUNT);
    free(system.paths);
    free(r);
}

int uninstall_remove_launcher(const wchar_t *folder, unsigned long *error)
{
    Path root, exe, fin;
    DWORD e = 0;
    *error = 0;
    if (!final_path(folder, root, &e, FOLLOWED) ||
        !path_join(exe, CLIENT_PATH_CHARS, root, L"Korvanth.exe")[0]) {
        *error = e ? e : (DWORD)ERROR_FILENAME_EXCED_RANGE;
        return 0;
    }
    for (int attempt = 0;; attempt++) {
        if (!final_path(exe, fin, &e)) {
            if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
                break;
        } else if (lstrcmpiW(fin, exe)) {
            *error = ERROR_ACCESS_DENIED;  // a link that leads elsewhere: left alone
            return 0;
        } else if (DeleteFileW(exe)) {
            break;
        } else {
            e = GetLastError();
        }
        if (attempt + 1 >= LAUNCHER_DELETE_ATTEMPTS) {
            *error = e;
            return 0;
        }
        Sleep(LAUNCHER_DELETE_PAUSE_MS);
    }
    // The folder as given: a drive's root would be "C:" as a final path,
    // which names the drive's current folder instead.
    if (!is_system_folder(folder))
        RemoveDirectoryW(folder);
    return 1;
}

int uninstall_program_running(const wchar_t *folder, wchar_t *image, size_t cap_chars)
{
    Path full, root;
    DWORD error, n = GetFullPathNameW(folder, CLIENT_PATH_CHARS, full, nullptr);
    if (n == 0 || n >= CLIENT_PATH_CHARS)
        return 0;
    plain_path(full);
    if (!final_path(full, root, &error, FOLLOWED))
        lstrcpynW(root, full, CLIENT_PATH_CHARS);
    // Programs of the system's folders inside (those of a drive's root)
    // belong to the system, not to the game.
    SystemFolders fences;
    if (!gather_system_folders(&fences))
        return 0;
    keep_fences(&fences, root);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        free(fences.paths);
        return 0;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId())
            continue;
        HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        Path name;
        DWORD chars = CLIENT_PATH_CHARS;
        if (QueryFullProcessImageNameW(process, 0, name, &chars)) {
            size_t base = at_or_below(name, full) ? wcslen(full)
                          : at_or_below(name, root) ? wcslen(root)
                                                     : 0;
            if (base && name[base] && !fenced(&fences, name)) {
                lstrcpynW(image, name + base + 1, (int)cap_chars);
                found = 1;
            }
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    free(fences.paths);
    return found;
}
