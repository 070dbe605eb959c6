// The Vulkan probe: the launcher runs its own executable as a hidden child
// with "--probe-vulkan"; the child asks the driver and answers with one reason
// line on its standard output and the verdict as its exit code. A driver, a
// loader or a layer that hangs or crashes takes only the child with it; the
// parent kills a child that does not answer in PROBE_TIMEOUT_MS and reads any
// other exit code as a crash. Every failure means "off".
#include "game/game.h"

#include "base/base.h"

#include <windows.h>
#include <string.h>
#include <wchar.h>

namespace {

const wchar_t PROBE_OPTION[] = L"--probe-vulkan";
const size_t PROBE_COMMAND_CHARS = 292;

}  // namespace

int dxvk_decide(char *reason)
{
    // Under Wine the host's driver renders Direct3D anyway; the Vulkan loader
    // is not even loaded.
    if (running_under_wine())
        return dxvk_verdict(1, 0, 0, 0, "", "", reason, PROBE_REASON_BYTES);
    unsigned long windows = windows_major_version();
    if (windows < DXVK_MIN_WINDOWS_MAJOR)
        return dxvk_verdict(0, windows, 0, 0, "", "", reason, PROBE_REASON_BYTES);
    uint32_t api = 0;
    char name[VULKAN_NAME_BYTES];
    char query_reason[VULKAN_REASON_BYTES];
    int ok = vulkan_query(&api, name, query_reason);
    return dxvk_verdict(0, windows, ok, api, name, query_reason, reason, PROBE_REASON_BYTES);
}

int run_probe_mode(const wchar_t *command_line)
{
    if (!has_argument(command_line, PROBE_OPTION))
        return 0;

    char reason[PROBE_REASON_BYTES];
    int usable = dxvk_decide(reason);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(out, reason, (DWORD)strlen(reason), &written, nullptr);
    }
    ExitProcess(usable ? 1 : 0);
}

int probe_vulkan(char *reason)
{
    wchar_t own[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS) {
        format_narrow(reason, PROBE_REASON_BYTES, "probe: own path unknown");
        return 0;
    }
    // A launcher on its first run after a swap has taken the launcher's name
    // meanwhile (selfupdate/): its program is found under that name.
    if (GetFileAttributesW(own) == INVALID_FILE_ATTRIBUTES) {
        wchar_t *slash = wcsrchr(own, L'\\');
        wchar_t renamed[LAUNCHER_PATH_CHARS];
        if (slash) {
            *slash = 0;
            if (path_join(renamed, LAUNCHER_PATH_CHARS, own, own_file_name(OWN_FILE_LAUNCHER))[0])
                lstrcpynW(own, renamed, LAUNCHER_PATH_CHARS);
            else
                *slash = L'\\';
        }
    }
    return probe_vulkan_child(own, reason);
}

int probe_vulkan_child(const wchar_t *exe_path, char *reason)
{
    reason[0] = 0;
    SECURITY_ATTRIBUTES inherit = {};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        format_narrow(reason, PROBE_REASON_BYTES, "probe: no pipe");
        return 0;
    }
    // Only the write end goes to the child: with the read end too, the child
    // would keep its own pipe open.
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    wchar_t command[PROBE_COMMAND_CHARS];
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION child = {};
    BOOL started = FALSE;
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    if (format_wide(command, PROBE_COMMAND_CHARS, L"\"%s\" %s", exe_path, PROBE_OPTION) >= 0) {
        started = CreateProcessW(exe_path, command, nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &startup, &child);
        error = GetLastError();
    }
    CloseHandle(write_end);
    if (!started) {
        format_narrow(reason, PROBE_REASON_BYTES, "probe: start failed (%lu)", error);
        CloseHandle(read_end);
        return 0;
    }
    CloseHandle(child.hThread);

    if (WaitForSingleObject(child.hProcess, PROBE_TIMEOUT_MS) != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 2);
        // Let the kill complete, so that no probe outlives this call.
        WaitForSingleObject(child.hProcess, 5000);
        format_narrow(reason, PROBE_REASON_BYTES,
                      "probe hung for %d s (Vulkan loader or a layer): off",
                      PROBE_TIMEOUT_MS / 1000);
        CloseHandle(child.hProcess);
        CloseHandle(read_end);
        return 0;
    }
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);

    // Read only what is already there: a process the child left behind may
    // still hold the write end, and a plain read would then wait for it.
    char text[PROBE_REASON_BYTES];
    DWORD available = 0, got = 0;
    if (PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        if (available > PROBE_REASON_BYTES - 1)
            available = PROBE_REASON_BYTES - 1;
        if (!ReadFile(read_end, text, available, &got, nullptr))
            got = 0;
    }
    CloseHandle(read_end);
    // The child's text is untrusted: it becomes part of a log line, so line
    // breaks and other control bytes must not pass.
    for (DWORD i = 0; i < got; i++)
        if ((unsigned char)text[i] < 0x20 || text[i] == 0x7F)
            text[i] = '?';
    text[got] = 0;

    if (code == 0 || code == 1) {
        format_narrow(reason, PROBE_REASON_BYTES, "%s", got ? text : "probe gave no reason");
        return code == 1 ? 1 : 0;
    }
    format_narrow(reason, PROBE_REASON_BYTES, "probe crashed (0x%08lx): off", code);
    return 0;
}
