// Two parts of the processor-time floor of an update (scripts/bench-update),
// each the platform's or the decoder's own cost with nothing of the
// launcher's around it:
//
//   bench_floor gunzip LIST   decodes every gzip object of LIST (one Windows
//       path a line) with gzip_decode from memory into a sink that keeps
//       nothing; the objects are loaded in batches before the clock runs.
//       Prints "gunzip: N objects, B bytes out, S s, cpu C s" (C: this
//       thread's user + system time while decoding).
//   bench_floor write LIST    writes the files of LIST (lines "SIZE PATH")
//       from memory: the parent folders made, each file created, written
//       in one pass and closed. Timed from outside as a whole process, the
//       Wine server's share included; with an empty LIST the same process
//       does nothing, its start-up cost alone.
#include "base/base.h"
#include "content/content.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_clock.h"

namespace {

const size_t BATCH_BYTES = 256u << 20;
const DWORD WRITE_PIECE_BYTES = 4u << 20;
const int MAX_BATCH_FILES = 4096;

char *load_list(const wchar_t *path)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD size = GetFileSize(f, nullptr), got = 0;
    char *text = (char *)HeapAlloc(GetProcessHeap(), 0, size + 1);
    if (text && ReadFile(f, text, size, &got, nullptr))
        text[got] = 0;
    else if (text) {
        HeapFree(GetProcessHeap(), 0, text);
        text = nullptr;
    }
    CloseHandle(f);
    return text;
}

// Appends the whole file to buf (capacity cap); its size, or -1.
long long load_file(const wchar_t *path, uint8_t *buf, size_t cap)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return -1;
    LARGE_INTEGER size;
    long long result = -1;
    DWORD got = 0;
    if (GetFileSizeEx(f, &size) && (uint64_t)size.QuadPart <= cap &&
        ReadFile(f, buf, (DWORD)size.QuadPart, &got, nullptr) && got == size.QuadPart)
        result = got;
    CloseHandle(f);
    return result;
}

int keep_nothing(void *, const uint8_t *, size_t)
{
    return 1;
}

int gunzip_all(const wchar_t *list_path)
{
    char *list = load_list(list_path);
    uint8_t *batch = (uint8_t *)VirtualAlloc(nullptr, BATCH_BYTES, MEM_COMMIT | MEM_RESERVE,
                                             PAGE_READWRITE);
    static size_t offsets[MAX_BATCH_FILES + 1];
    if (!list || !batch) {
        fprintf(stderr, "bench_floor: cannot read the list or allocate the batch\n");
        return 1;
    }
    int objects = 0, in_batch = 0;
    unsigned long long out_bytes = 0;
    double wall = 0, cpu = 0;
    char *line = strtok(list, "\r\n");
    for (;;) {
        // Fill a batch (untimed), then decode it object by object (timed).
        offsets[0] = 0;
        while (line && in_batch < MAX_BATCH_FILES) {
            wchar_t path[1024];
            size_t used = offsets[in_batch];
            long long n = -1;
            if (MultiByteToWideChar(CP_UTF8, 0, line, -1, path, 1024))
                n = load_file(path, batch + used, BATCH_BYTES - used);
            if (n < 0 && in_batch > 0)
                break;  // does not fit: the next batch's first
            if (n < 0) {
                fprintf(stderr, "bench_floor: cannot load %s\n", line);
                return 1;
            }
            offsets[++in_batch] = used + (size_t)n;
            line = strtok(nullptr, "\r\n");
        }
        if (in_batch == 0)
            break;
        double t0 = now_seconds(), c0 = thread_cpu_seconds();
        for (int i = 0; i < in_batch; i++) {
            MemoryInput in = {batch + offsets[i], offsets[i + 1] - offsets[i], 0};
            uint64_t size = 0;
            int r = gzip_decode(memory_read, &in, keep_nothing, nullptr, &size);
            if (r != GZIP_OK) {
                fprintf(stderr, "bench_floor: object %d: %s\n", objects + i, gzip_result_text(r));
                return 1;
            }
            out_bytes += size;
        }
        cpu += thread_cpu_seconds() - c0;
        wall += now_seconds() - t0;
        objects += in_batch;
        in_batch = 0;
    }
    printf("gunzip: %d objects, %llu bytes out, %.3f s, cpu %.3f s\n", objects, out_bytes, wall,
           cpu);
    return 0;
}

// One file of `size` bytes from `bytes` (WRITE_PIECE_BYTES of them); 1 or 0.
int write_one(const wchar_t *path, unsigned long long size, const uint8_t *bytes)
{
    if (!make_parent_dirs(path))
        return 0;
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    int ok = 1;
    while (ok && size > 0) {
        DWORD piece = size < WRITE_PIECE_BYTES ? (DWORD)size : WRITE_PIECE_BYTES, written = 0;
        ok = WriteFile(f, bytes, piece, &written, nullptr) && written == piece;
        size -= piece;
    }
    CloseHandle(f);
    return ok;
}

int write_all(const wchar_t *list_path)
{
    char *list = load_list(list_path);
    uint8_t *bytes = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, WRITE_PIECE_BYTES);
    if (!list || !bytes) {
        fprintf(stderr, "bench_floor: cannot read the list\n");
        return 1;
    }
    for (DWORD i = 0; i < WRITE_PIECE_BYTES; i++)
        bytes[i] = (uint8_t)(i * 131 + (i >> 12));
    int files = 0;
    unsigned long long total = 0;
    for (char *line = strtok(list, "\r\n"); line; line = strtok(nullptr, "\r\n")) {
        char *rest = nullptr;
        unsigned long long size = strtoull(line, &rest, 10);
        wchar_t path[1024];
        if (rest == line || *rest != ' ' ||
            !MultiByteToWideChar(CP_UTF8, 0, rest + 1, -1, path, 1024) ||
            !write_one(path, size, bytes)) {
            fprintf(stderr, "bench_floor: cannot write %s\n", line);
            return 1;
        }
        files++;
        total += size;
    }
    printf("write: %d files, %llu bytes\n", files, total);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && !lstrcmpW(argv[1], L"gunzip"))
        return gunzip_all(argv[2]);
    if (argc == 3 && !lstrcmpW(argv[1], L"write"))
        return write_all(argv[2]);
    fprintf(stderr, "usage: bench_floor gunzip|write LIST\n");
    return 2;
}
