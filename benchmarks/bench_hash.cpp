// The hashing limit for a verify pass: SHA-256 of the client's files with
// their bytes already in memory, one digest per file through sha256_buffer
// with the engine the launcher uses (the SHA extensions where the processor
// has them, else bcrypt, whose provider is opened per call as sha256_file
// does). Files are loaded in batches before the clock runs, so only hashing
// is timed.
//
// Usage: bench_hash [--files] PATH_LIST
//   PATH_LIST: a UTF-8 text file with one Windows path a line.
//   --files: each file hashed from the disk with sha256_file instead, one
//            after the other on this thread (the time is the reading's too).
// Prints "hash: N files, B bytes, S s, R MB/s, engine E, cpu C s" (10^6
// bytes; C: this thread's user + system time while hashing).
#include "base/base.h"
#include "content/content.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "bench_clock.h"

namespace {

const size_t BATCH_BYTES = 256u << 20;

// Reads the whole file into buf (capacity cap); its size, or -1.
long long load(const wchar_t *path, uint8_t *buf, size_t cap)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return -1;
    size_t done = 0;
    for (;;) {
        DWORD want = cap - done > (1u << 24) ? (1u << 24) : (DWORD)(cap - done);
        DWORD got = 0;
        if (want == 0 || !ReadFile(f, buf + done, want, &got, nullptr) || got == 0)
            break;
        done += got;
    }
    CloseHandle(f);
    return (long long)done;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    bool from_files = argc == 3 && wcscmp(argv[1], L"--files") == 0;
    if (from_files) {
        argv++;
        argc--;
    }
    if (argc != 2) {
        fprintf(stderr, "usage: bench_hash [--files] PATH_LIST\n");
        return 2;
    }
    HANDLE lf = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    if (lf == INVALID_HANDLE_VALUE)
        return 1;
    DWORD lsize = GetFileSize(lf, nullptr), lgot = 0;
    char *list = (char *)HeapAlloc(GetProcessHeap(), 0, lsize + 1);
    if (!list || !ReadFile(lf, list, lsize, &lgot, nullptr))
        return 1;
    list[lgot] = 0;
    CloseHandle(lf);

    uint8_t *batch = (uint8_t *)VirtualAlloc(nullptr, BATCH_BYTES, MEM_COMMIT | MEM_RESERVE,
                                             PAGE_READWRITE);
    const int MAX_BATCH_FILES = 4096;
    static size_t offsets[MAX_BATCH_FILES + 1];
    if (!batch)
        return 1;

    long long bytes = 0;
    int files = 0, in_batch = 0;
    double hashing = 0, cpu = 0;
    size_t used = 0;
    uint8_t digest[SHA256_BYTES];
    char *line = strtok(list, "\r\n");
    for (; from_files && line; line = strtok(nullptr, "\r\n")) {
        wchar_t path[1024];
        uint64_t size = 0;
        if (!MultiByteToWideChar(CP_UTF8, 0, line, -1, path, 1024) ||
            !file_info(path, &size, nullptr))
            return 1;
        double t0 = now_seconds(), c0 = thread_cpu_seconds();
        if (!sha256_file(path, digest))
            return 1;
        hashing += now_seconds() - t0;
        cpu += thread_cpu_seconds() - c0;
        files++;
        bytes += (long long)size;
    }
    for (; !from_files;) {
        // Fill a batch (untimed), then hash it file by file (timed).
        while (line && in_batch < MAX_BATCH_FILES) {
            wchar_t path[1024];
            if (!MultiByteToWideChar(CP_UTF8, 0, line, -1, path, 1024))
                return 1;
            long long n = load(path, batch + used, BATCH_BYTES - used);
            if (n < 0) {
                fprintf(stderr, "bench_hash: cannot read %s\n", line);
                return 1;
            }
            if (used + (size_t)n == BATCH_BYTES && in_batch > 0)
                break;  // does not fit (or exactly fills): keep it for the next batch
            if (used + (size_t)n == BATCH_BYTES) {
                fprintf(stderr, "bench_hash: %s is larger than a batch\n", line);
                return 1;
            }
            offsets[in_batch++] = used;
            used += (size_t)n;
            offsets[in_batch] = used;
            line = strtok(nullptr, "\r\n");
        }
        if (in_batch == 0)
            break;
        double t0 = now_seconds(), c0 = thread_cpu_seconds();
        for (int i = 0; i < in_batch; i++)
            if (!sha256_buffer(batch + offsets[i], offsets[i + 1] - offsets[i], digest))
                return 1;
        hashing += now_seconds() - t0;
        cpu += thread_cpu_seconds() - c0;
        files += in_batch;
        bytes += (long long)used;
        in_batch = 0;
        used = 0;
    }
    printf("hash: %d files, %lld bytes, %.3f s, %.1f MB/s, engine %s, cpu %.3f s\n", files, bytes,
           hashing, (double)bytes / hashing / 1e6,
           sha256_engine() == SHA256_ENGINE_SHA_NI ? "sha-ni" : "bcrypt", cpu);
    return 0;
}
