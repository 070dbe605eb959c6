// The folder's settings file on disk: read whole, changed as text, and
// replaced whole through a temporary file, so that a kill leaves the old
// file or the new one and never half of either.
#include "folder/folder.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

namespace {

const char DOWNLOAD_SECTION[] = "download";
const char LIMIT_KEY[] = "limit";

bool settings_name(const wchar_t *folder, wchar_t *name, wchar_t *tmp)
{
    path_join(name, LAUNCHER_PATH_CHARS, folder, own_file_name(OWN_FILE_SETTINGS));
    return name[0] && format_wide(tmp, LAUNCHER_PATH_CHARS, L"%s.tmp", name) >= 0;
}

}  // namespace

uint64_t read_rate_limit(const wchar_t *folder)
{
    wchar_t name[LAUNCHER_PATH_CHARS], tmp[LAUNCHER_PATH_CHARS];
    if (!settings_name(folder, name, tmp))
        return 0;
    uint32_t got = 0;
    char *text = read_small_file(name, SETTINGS_MAX_BYTES, &got);
    if (!text)
        return 0;
    char value[RATE_TEXT_BYTES];
    uint64_t rate = 0;
    if (settings_get(text, got, DOWNLOAD_SECTION, LIMIT_KEY, value, sizeof value) &&
        !rate_limit_parse(value, &rate)) {
        log_printf("Korvanth.ini: download limit \"%s\" not understood, no limit", value);
        rate = 0;
    }
    free(text);
    return rate;
}

int write_rate_limit(const wchar_t *folder, uint64_t bytes_per_second)
{
    wchar_t name[LAUNCHER_PATH_CHARS], tmp[LAUNCHER_PATH_CHARS];
    if (!settings_name(folder, name, tmp))
        return 0;
    uint32_t got = 0;
    char *text = read_small_file(name, SETTINGS_MAX_BYTES, &got);
    char value[RATE_TEXT_BYTES];
    rate_limit_format(bytes_per_second, value, sizeof value);
    size_t cap = (size_t)got + sizeof "[download]\r\nlimit=\r\n\r\n" + sizeof value;
    char *out = (char *)malloc(cap);
    size_t len = out ? settings_set(text ? text : "", got, DOWNLOAD_SECTION, LIMIT_KEY, value,
                                    out, cap)
                     : 0;
    free(text);
    bool ok = len > 0;
    if (ok) {
        HANDLE file = CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        ok = file != INVALID_HANDLE_VALUE && WriteFile(file, out, (DWORD)len, &written, nullptr) &&
             written == len && FlushFileBuffers(file);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        ok = ok && MoveFileExW(tmp, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!ok)
            DeleteFileW(tmp);
    }
    free(out);
    return ok ? 1 : 0;
}
