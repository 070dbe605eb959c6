// The test-only driver's hook: KORVANTH_KILL_AT=K ends the process at its
// Kth file operation, before it happens. At a normal exit the driver prints
// how many file operations it made ("file-operations N"), so that a test can
// spread its kill points over a whole run.
#include "fault_control.h"

#include <windows.h>

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
    atexit(print_count);
    return 0;
}

const int armed = arm_from_environment();

}  // namespace
