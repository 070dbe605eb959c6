// The platform's floor for a check pass: listing every folder of a client
// under Wine with the one directory read per folder that the check uses
// (GetFileInformationByHandleEx), names, sizes and times, and nothing else:
// no manifest, no state file, no comparison. One walk, timed, as the check
// makes one per process.
//
// Usage: bench_listing FOLDER
// Prints "listing: N files, S s".
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "bench_clock.h"

namespace {

const DWORD BATCH_BYTES = 65536;
alignas(8) char g_batch[BATCH_BYTES];

// Files below `folder`, or -1 when it cannot be listed.
long walk(const std::wstring &folder)
{
    HANDLE dir = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE)
        return -1;
    long files = 0;
    std::vector<std::wstring> subs;  // walked once this folder's handle is closed
    FILE_INFO_BY_HANDLE_CLASS question = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(dir, question, g_batch, BATCH_BYTES)) {
        question = FileIdBothDirectoryInfo;
        for (auto *e = (FILE_ID_BOTH_DIR_INFO *)g_batch;;
             e = (FILE_ID_BOTH_DIR_INFO *)((char *)e + e->NextEntryOffset)) {
            std::wstring name(e->FileName, e->FileNameLength / sizeof(wchar_t));
            if (!(e->FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                files++;
            else if (name != L"." && name != L"..")
                subs.push_back(folder + L"\\" + name);
            if (!e->NextEntryOffset)
                break;
        }
    }
    CloseHandle(dir);
    for (const std::wstring &sub : subs) {
        long below = walk(sub);
        files += below > 0 ? below : 0;
    }
    return files;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: bench_listing FOLDER\n");
        return 2;
    }
    double start = now_seconds();
    long files = walk(argv[1]);
    double seconds = now_seconds() - start;
    if (files < 0) {
        fprintf(stderr, "bench_listing: cannot list the folder\n");
        return 1;
    }
    printf("listing: %ld files, %.6f s\n", files, seconds);
    return 0;
}
