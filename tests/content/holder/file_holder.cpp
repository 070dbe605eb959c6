// Plays another program that keeps a file open for writing: creates PATH,
// writes SIZE bytes of the test pattern, signals READY_EVENT and holds the
// handle until QUIT_EVENT is signalled (or a minute passes).
//   content_file_holder PATH SIZE READY_EVENT QUIT_EVENT
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 5)
        return 2;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
    HANDLE quit = OpenEventW(SYNCHRONIZE, FALSE, argv[4]);
    // A writer that lets others read, as log writers and game clients do.
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!ready || !quit || file == INVALID_HANDLE_VALUE)
        return 3;
    unsigned long size = wcstoul(argv[2], nullptr, 10);
    static unsigned char block[4096];
    for (unsigned long done = 0; done < size;) {
        DWORD n = size - done > sizeof block ? (DWORD)sizeof block : (DWORD)(size - done);
        for (DWORD i = 0; i < n; i++)
            block[i] = (unsigned char)((done + i) * 31 + ((done + i) >> 11));
        DWORD written = 0;
        if (!WriteFile(file, block, n, &written, nullptr) || written != n)
            return 4;
        done += n;
    }
    SetEvent(ready);
    WaitForSingleObject(quit, 60000);
    CloseHandle(file);
    return 0;
}
