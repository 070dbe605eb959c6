// The receiving end of the heap-text rule of the window messages: whoever
// takes a posted text frees it, exactly once.
#include "base/base.h"

#include <windows.h>

static uint32_t system_tick(void)
{
    return GetTickCount();
}

uint32_t (*progress_tick)(void) = system_tick;

int take_posted_text(unsigned message, intptr_t lparam, wchar_t *dst, size_t cap_chars)
{
    if (cap_chars)
        dst[0] = 0;
    bool heap_text = message == WM_LAUNCHER_STATUS || message == WM_LAUNCHER_DETAIL ||
                     message == WM_LAUNCHER_SELF_UPDATE;
    if (!heap_text || !lparam)
        return 0;
    if (cap_chars)
        lstrcpynW(dst, (const wchar_t *)lparam, (int)cap_chars);
    HeapFree(GetProcessHeap(), 0, (void *)lparam);
    return 1;
}
