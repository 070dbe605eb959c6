// The test-only driver's hook: KORVANTH_KILL_AT=K ends the process at its
// Kth file operation, before it happens. At a normal exit the driver prints
// how many file operations it made ("file-operations N"), so that a test can
// spread its kill points over a whole run. A swap helper does not hand the
// kill point on to the launchers it starts.
#include "fault_control.h"

#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

void print_count(void)
{
    char line[64];
    int n = snprintf(line, sizeof line, "file-operations %ld\n", fault_io::calls());
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)n, &written, nullptr);
}

int arm_from_environment()
{
    char text[32];
    DWORD n = GetEnvironmentVariableA("KORVANTH_KILL_AT", text, sizeof text);
    long at = n > 0 && n < sizeof text ? atol(text) : 0;
    if (at > 0)
        fault_io::arm_kill(at);
    // A swap helper's kill point is its own: the launchers it starts (copies
    // of this program) run whole.
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; i++)
        if (lstrcmpW(argv[i], L"--swap") == 0)
            SetEnvironmentVariableA("KORVANTH_KILL_AT", nullptr);
    if (argv)
        LocalFree(argv);
    atexit(print_count);
    return 0;
}

const int armed = arm_from_environment();

}  // namespace
