// The launcher's log. Each line opens, appends to and closes the file, so a
// line is on disk when the call returns and the file can be read, copied or
// deleted between lines while the launcher runs.
#include "base/base.h"

#include <windows.h>
#include <wchar.h>

namespace {

const uint64_t LOG_ROTATE_ABOVE = 1048576;  // a log of exactly 1 MiB stays
const size_t LOG_TEXT_BYTES = 1024;         // 1023 bytes of text and a NUL
const size_t LOG_TEXT_CHARS = 1024;         // 1023 UTF-16 units and a NUL
// UTF-8 of LOG_TEXT_CHARS - 1 UTF-16 units: at most 3 bytes per unit.
const size_t LOG_WIDE_UTF8_BYTES = 3 * LOG_TEXT_CHARS;
// The rotated log's name: this much of the log path, then ".1".
const int LOG_ROTATED_KEEP_CHARS = 256;

wchar_t g_log_path[LAUNCHER_PATH_CHARS];
CRITICAL_SECTION g_log_lock;
volatile LONG g_log_open;

}  // namespace

void log_open(const wchar_t *launcher_folder)
{
    path_join(g_log_path, LAUNCHER_PATH_CHARS, launcher_folder, own_file_name(OWN_FILE_LOG));
    if (!g_log_open) {
        InitializeCriticalSection(&g_log_lock);
        g_log_open = 1;
    }

    uint64_t size = 0;
    if (g_log_path[0] && file_info(g_log_path, &size, nullptr) && size > LOG_ROTATE_ABOVE) {
        wchar_t rotated[LAUNCHER_PATH_CHARS + 4];
        lstrcpynW(rotated, g_log_path, LOG_ROTATED_KEEP_CHARS + 1);
        lstrcatW(rotated, L".1");
        MoveFileExW(g_log_path, rotated, MOVEFILE_REPLACE_EXISTING);
    }
}

void log_write_line(const char *text_utf8)
{
    if (!g_log_open)
        return;

    SYSTEMTIME now;
    GetSystemTime(&now);
    char stamp[40];
    format_narrow(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02dZ ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);

    EnterCriticalSection(&g_log_lock);
    HANDLE file = g_log_path[0]
        ? CreateFileW(g_log_path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr)
        : INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, stamp, (DWORD)lstrlenA(stamp), &written, nullptr);
        WriteFile(file, text_utf8, (DWORD)lstrlenA(text_utf8), &written, nullptr);
        WriteFile(file, "\r\n", 2, &written, nullptr);
        CloseHandle(file);
    }
    LeaveCriticalSection(&g_log_lock);
}

void log_printf(const char *fmt, ...)
{
    if (!g_log_open)
        return;
    char text[LOG_TEXT_BYTES];
    va_list ap;
    va_start(ap, fmt);
    format_narrow_v(text, sizeof text, fmt, ap);
    va_end(ap);
    text[sizeof text - 1] = 0;
    log_write_line(text);
}

void log_wprintf(const wchar_t *fmt, ...)
{
    if (!g_log_open)
        return;
    wchar_t text[LOG_TEXT_CHARS];
    va_list ap;
    va_start(ap, fmt);
    format_wide_v(text, LOG_TEXT_CHARS, fmt, ap);
    va_end(ap);
    text[LOG_TEXT_CHARS - 1] = 0;

    char utf8[LOG_WIDE_UTF8_BYTES];
    if (wide_to_utf8(text, utf8, sizeof utf8))
        log_write_line(utf8);
}
