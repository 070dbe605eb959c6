// A stand-in for the game client. It records its process id in "pid.txt" of
// its working folder (so a test can tell both the process and the folder it
// was started in) and then follows "fake_game.txt" there:
//   "<exit code> <milliseconds>"  run that long, then end with that code
//   "<exit code> release"         run until a file "release" appears (60 s at most)
//   "crash"                       die of a real access violation
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Ends the process with the exception code, as Windows does without a
// debugger; Wine would otherwise start its crash debugger.
LONG WINAPI end_quietly(EXCEPTION_POINTERS *)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char text[64];
    snprintf(text, sizeof text, "%lu", GetCurrentProcessId());
    HANDLE f = CreateFileA("pid.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(f, text, (DWORD)strlen(text), &written, nullptr);
        CloseHandle(f);
    }

    char plan[64] = {};
    f = CreateFileA("fake_game.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                    nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        DWORD got = 0;
        ReadFile(f, plan, sizeof plan - 1, &got, nullptr);
        CloseHandle(f);
    }

    if (strncmp(plan, "crash", 5) == 0) {
        SetUnhandledExceptionFilter(end_quietly);
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    }
    char *rest = nullptr;
    unsigned long code = strtoul(plan, &rest, 10);
    while (*rest == ' ')
        rest++;
    if (strncmp(rest, "release", 7) == 0) {
        for (int i = 0; i < 3000 && GetFileAttributesA("release") == INVALID_FILE_ATTRIBUTES; i++)
            Sleep(20);
    } else {
        Sleep(strtoul(rest, nullptr, 10));
    }
    return (int)code;
}
