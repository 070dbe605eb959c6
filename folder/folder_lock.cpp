// One process at a time runs update passes on a folder. Two passes on one
// folder at once (two launchers, or a launcher and korvanth-cli) would write
// the same ".part" files and the same state file: resumed bytes of one pass
// end up in the other's object, records vouch for files the other replaced,
// and a wrong file can land. Whoever may run a pass on a folder therefore
// holds that folder's named mutex for as long as it may run one.
//
// The name is derived from the folder's full path upper-cased and hashed, so
// that letter case, a trailing backslash or "." steps give no second name for
// one folder, and a path of any length gives a name of one length. The
// upper-casing is LCMapStringEx with the invariant locale: the same mapping
// in every process whatever the user's language settings (CharUpperBuffW
// maps by the user's language), and kernel32 only. The mutex lives in the
// session namespace ("Local\"), which needs no privilege.
#include "content/content.h"
#include "folder/folder.h"

#include <windows.h>

namespace {

const wchar_t LOCK_NAME_PREFIX[] = L"Local\\Korvanth.folder.";

static_assert(sizeof LOCK_NAME_PREFIX / sizeof(wchar_t) - 1 + SHA256_HEX_CHARS <=
                  FOLDER_LOCK_NAME_CHARS,
              "a lock name is the prefix, 64 hexadecimal digits and a terminator");

}  // namespace

int folder_lock_name(const wchar_t *folder, wchar_t *dst, size_t cap_chars)
{
    if (cap_chars)
        dst[0] = 0;
    wchar_t full[CLIENT_PATH_CHARS];
    DWORD n = GetFullPathNameW(folder, CLIENT_PATH_CHARS, full, nullptr);
    if (n == 0 || n >= CLIENT_PATH_CHARS)
        return 0;
    // A drive root keeps its backslash ("C:\"), every other folder drops it.
    while (n > 3 && full[n - 1] == L'\\')
        full[--n] = 0;
    wchar_t upper[CLIENT_PATH_CHARS];
    int len = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, full, (int)n, upper,
                            CLIENT_PATH_CHARS, nullptr, nullptr, 0);
    uint8_t digest[SHA256_BYTES];
    if (len <= 0 || !sha256_buffer(upper, (size_t)len * sizeof(wchar_t), digest))
        return 0;
    char hex[SHA256_HEX_CHARS];
    hex_encode(digest, SHA256_BYTES, hex);
    if (format_wide(dst, cap_chars, L"%s%S", LOCK_NAME_PREFIX, hex) < 0) {
        if (cap_chars)
            dst[0] = 0;
        return 0;
    }
    return 1;
}

FolderLockResult folder_lock_take(FolderLock *lock, const wchar_t *folder, uint32_t wait_ms)
{
    lock->mutex = nullptr;
    lock->owned = 0;
    wchar_t name[FOLDER_LOCK_NAME_CHARS];
    if (!folder_lock_name(folder, name, FOLDER_LOCK_NAME_CHARS))
        return FOLDER_LOCK_NONE;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex) {
        // A mutex made by a process of higher rights (an elevated launcher)
        // exists but cannot be opened: it is held all the same.
        if (GetLastError() != ERROR_ACCESS_DENIED)
            return FOLDER_LOCK_NONE;
        Sleep(wait_ms);
        return FOLDER_LOCK_HELD;
    }
    lock->mutex = mutex;
    return folder_lock_wait(lock, wait_ms);
}

FolderLockResult folder_lock_wait(FolderLock *lock, uint32_t wait_ms)
{
    if (lock->owned)
        return FOLDER_LOCK_OWNED;
    if (!lock->mutex) {
        Sleep(wait_ms);
        return FOLDER_LOCK_HELD;
    }
    // A holder whose thread ended without letting go (killed, crashed)
    // leaves the mutex abandoned, and the wait that ends on that owns it:
    // its pass is over whatever it left behind, which a pass puts right.
    DWORD result = WaitForSingleObject((HANDLE)lock->mutex, wait_ms);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED)
        return FOLDER_LOCK_HELD;
    lock->owned = 1;
    return FOLDER_LOCK_OWNED;
}

void folder_lock_release(FolderLock *lock)
{
    if (lock->owned)
        ReleaseMutex((HANDLE)lock->mutex);
    if (lock->mutex)
        CloseHandle((HANDLE)lock->mutex);
    lock->mutex = nullptr;
    lock->owned = 0;
}
