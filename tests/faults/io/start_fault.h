// Forced into the start-up of test builds of the launcher that stand for a
// release's launcher that cannot start (CMakeLists.txt here): at stage
// KORVANTH_START_FAULT_STAGE of launcher_main (0: before any role, so even
// its swap helper cannot run; 1: as a launcher, before its window) it ends
// itself as a program missing a system library does (START_FAULT_END), or
// hangs without a window (START_FAULT_HANG). The shipped build never sees
// this header.
#pragma once

#include <windows.h>

#define START_FAULT_END 1
#define START_FAULT_HANG 2

#define LAUNCHER_START_FAULT(stage) start_fault_at(stage)

inline void start_fault_at(int stage)
{
    if (stage != KORVANTH_START_FAULT_STAGE)
        return;
    if (KORVANTH_START_FAULT_KIND == START_FAULT_HANG)
        for (;;)
            Sleep(INFINITE);
    ExitProcess(0xC0000135);  // STATUS_DLL_NOT_FOUND
}
