// Path, folder and text-conversion helpers over the Windows file functions.
#include "base/base.h"

#include <windows.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

wchar_t *path_join(wchar_t *dst, size_t cap_chars, const wchar_t *folder, const wchar_t *name)
{
    size_t a = wcslen(folder);
    size_t b = wcslen(name);
    // 2: a separator and the terminator, counted even when no separator is
    // needed, so that every caller sees the same limit.
    if (a + b + 2 > cap_chars) {
        if (cap_chars > 0)
            dst[0] = 0;
        return dst;
    }
    wmemmove(dst, folder, a);
    if (a > 0 && folder[a - 1] != L'\\')
        dst[a++] = L'\\';
    wmemmove(dst + a, name, b);
    dst[a + b] = 0;
    return dst;
}

void rel_path_to_wide(const char *rel_utf8, wchar_t *dst, size_t cap_chars)
{
    if (!utf8_to_wide(rel_utf8, dst, cap_chars)) {
        if (cap_chars > 0)
            dst[0] = 0;
        return;
    }
    for (wchar_t *p = dst; *p; p++)
        if (*p == L'/')
            *p = L'\\';
}

void client_file_path(const char *rel_utf8, const wchar_t *folder, wchar_t *rel_wide,
                      wchar_t *full)
{
    rel_path_to_wide(rel_utf8, rel_wide, CLIENT_REL_CHARS);
    if (!rel_wide[0]) {
        full[0] = 0;
        return;
    }
    path_join(full, CLIENT_PATH_CHARS, folder, rel_wide);
}

int make_parent_dirs(const wchar_t *path)
{
    size_t n = wcslen(path);
    if (n >= CLIENT_PATH_CHARS)
        return 0;
    wchar_t copy[CLIENT_PATH_CHARS];
    wmemcpy(copy, path, n + 1);
    // Usually the parent is there already (a client's files share a few
    // folders): one look at it spares a creation attempt per level, each a
    // round trip to the system where a look is not.
    size_t parent = n;
    while (parent > 0 && copy[parent - 1] != L'\\' && copy[parent - 1] != L'/')
        parent--;
    if (parent > 3) {
        copy[parent - 1] = 0;
        DWORD attrs = GetFileAttributesW(copy);
        copy[parent - 1] = path[parent - 1];
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
            return 1;
    }
    for (size_t i = 1; i < n; i++) {
        if (copy[i] != L'\\' && copy[i] != L'/')
            continue;
        wchar_t sep = copy[i];
        copy[i] = 0;
        // Prefixes of 2 characters or less are drive names ("C:"): nothing
        // to create. CreateDirectory reports ERROR_ALREADY_EXISTS for a file
        // as well, so every failure is settled by what stands there.
        if (i > 2 && !CreateDirectoryW(copy, nullptr)) {
            DWORD attrs = GetFileAttributesW(copy);
            if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY))
                return 0;
        }
        copy[i] = sep;
    }
    return 1;
}

int move_open_file(void *file, const wchar_t *destination)
{
    size_t n = wcslen(destination);
    if (n >= CLIENT_PATH_CHARS) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    // The record ends in the name: Windows reads its length, Wine reads up
    // to its terminator, so it has both.
    const size_t name_at = offsetof(FILE_RENAME_INFO, FileName);
    union {
        FILE_RENAME_INFO info;
        char bytes[name_at + CLIENT_PATH_CHARS * sizeof(wchar_t)];
    } rename;
    ZeroMemory(&rename, sizeof rename);
    rename.info.ReplaceIfExists = TRUE;
    rename.info.FileNameLength = (DWORD)(n * sizeof(wchar_t));
    memcpy(rename.bytes + name_at, destination, n * sizeof(wchar_t));
    return SetFileInformationByHandle((HANDLE)file, FileRenameInfo, &rename.info,
                                      (DWORD)(name_at + (n + 1) * sizeof(wchar_t)))
        ? 1 : 0;
}

int file_info(const wchar_t *path, uint64_t *size_out, uint64_t *write_time_out)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path[0] || !GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return 0;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return 0;
    if (size_out)
        *size_out = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    if (write_time_out)
        *write_time_out = ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) |
                          data.ftLastWriteTime.dwLowDateTime;
    return 1;
}

uint64_t disk_free_bytes(const wchar_t *folder)
{
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr))
        return UINT64_MAX;
    return available.QuadPart;
}

int utf8_to_wide(const char *text, wchar_t *dst, size_t cap_chars)
{
    if (cap_chars == 0 || cap_chars > 0x7FFFFFFF)
        return 0;
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, dst, (int)cap_chars);
    if (n <= 0) {
        dst[0] = 0;
        return 0;
    }
    return 1;
}

int wide_to_utf8(const wchar_t *text, char *dst, size_t cap_bytes)
{
    if (cap_bytes == 0 || cap_bytes > 0x7FFFFFFF)
        return 0;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, dst, (int)cap_bytes, nullptr, nullptr);
    if (n <= 0) {
        dst[0] = 0;
        return 0;
    }
    return 1;
}

char *read_small_file(const wchar_t *path, uint32_t max_bytes, uint32_t *got)
{
    *got = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    char *text = nullptr;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart >= 0 && size.QuadPart <= max_bytes &&
        (text = (char *)malloc((size_t)size.QuadPart + 1)) != nullptr) {
        DWORD read = 0;
        if (ReadFile(file, text, (DWORD)size.QuadPart, &read, nullptr))
            *got = read;
        text[*got] = 0;
    }
    CloseHandle(file);
    return text;
}
