// The launcher's shortcuts on the desktop and in the Start menu, read
// through the shell's link object: only one that leads to this folder's
// launcher goes, since another installation's shortcut has the same name.
#include "install/install_internal.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

namespace {

// The target that the shortcut file `link_path` names, into `target`
// (MAX_PATH); empty text when it cannot be read. COM is ready on the thread.
void shortcut_target(const wchar_t *link_path, wchar_t *target)
{
    IShellLinkW *link = nullptr;
    IPersistFile *file = nullptr;
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
}

// The shortcut in special folder `csidl`, when it leads to `launcher`.
void delete_shortcut_in(Removal *r, int csidl, const wchar_t *launcher)
{
    wchar_t folder[MAX_PATH], link_path[LAUNCHER_PATH_CHARS], target[MAX_PATH];
    RemovalPath fin;
    DWORD error = 0;
    if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK ||
        !path_join(link_path, LAUNCHER_PATH_CHARS, folder, LAUNCHER_SHORTCUT_NAME)[0] ||
        GetFileAttributesW(link_path) == INVALID_FILE_ATTRIBUTES)
        return;
    shortcut_target(link_path, target);
    if (!target[0] || !uninstall_final_path(target, fin, &error) || lstrcmpiW(fin, launcher))
        return;
    if (DeleteFileW(link_path))
        r->report->removed++;
    else
        uninstall_name_add(&r->report->failed, L"%s (error %lu)", link_path,
                           (unsigned long)GetLastError());
}

}  // namespace

void removal_delete_shortcuts(Removal *r, const wchar_t *launcher)
{
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    delete_shortcut_in(r, CSIDL_DESKTOPDIRECTORY, launcher);
    delete_shortcut_in(r, CSIDL_PROGRAMS, launcher);
    if (SUCCEEDED(com))
        CoUninitialize();
}
