// The options that choose a process's role or its start-up are whole
// arguments: "--probe-vulkan" inside a path or another word is none.
#include "base/base.h"

#include <windows.h>
#include <shellapi.h>
#include <wchar.h>

int has_argument(const wchar_t *command_line, const wchar_t *option)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(command_line, &argc);
    if (!argv)
        return 0;
    int found = 0;
    for (int i = 1; i < argc && !found; i++)
        found = wcscmp(argv[i], option) == 0;
    LocalFree(argv);
    return found;
}
