// The game tests' program. Started with "--probe-vulkan" (by probe_vulkan,
// whose child is always the running program itself) it plays the probe child
// the way the test asked through the environment, which the child inherits:
//   KV_PROBE_ANSWER unset        the real child (run_probe_mode)
//   KV_PROBE_ANSWER=hang         never answers (ends by itself after 60 s)
//   KV_PROBE_ANSWER=crash        dies of a real access violation
//   KV_PROBE_ANSWER=<code>|<text> writes <text> (when not empty), exits <code>
// KV_PROBE_PID_FILE, when set, names a file that receives the child's pid.
#include "game/game.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Ends the process with the exception code, as Windows does without a
// debugger; Wine would otherwise start its crash debugger.
LONG WINAPI end_quietly(EXCEPTION_POINTERS *)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

void write_all(HANDLE out, const char *text)
{
    DWORD written = 0;
    if (out && out != INVALID_HANDLE_VALUE && text[0])
        WriteFile(out, text, (DWORD)strlen(text), &written, nullptr);
}

void play_probe_child()
{
    char pid_file[MAX_PATH];
    if (GetEnvironmentVariableA("KV_PROBE_PID_FILE", pid_file, MAX_PATH)) {
        HANDLE f = CreateFileA(pid_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        char text[32];
        snprintf(text, sizeof text, "%lu", GetCurrentProcessId());
        write_all(f, text);
        CloseHandle(f);
    }
    char answer[1024];
    DWORD n = GetEnvironmentVariableA("KV_PROBE_ANSWER", answer, sizeof answer);
    if (n == 0 || n >= sizeof answer)
        run_probe_mode(GetCommandLineW());
    if (strcmp(answer, "hang") == 0) {
        Sleep(60000);
        ExitProcess(0);
    }
    if (strcmp(answer, "crash") == 0) {
        SetUnhandledExceptionFilter(end_quietly);
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    }
    char *bar = strchr(answer, '|');
    write_all(GetStdHandle(STD_OUTPUT_HANDLE), bar ? bar + 1 : "");
    ExitProcess((UINT)strtoul(answer, nullptr, 10));
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--probe-vulkan") == 0)
            play_probe_child();
    testing::InitGoogleTest(&argc, argv);
    return testing_support::run_tests_watching_exit();
}
