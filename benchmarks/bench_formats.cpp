// Throughput of the content formats against a peer, in one run on the same
// inputs held in memory:
//   gzip_decode against zlib's inflate on each corpus given as NAME.gz;
//   with --chunker, only the chunker cutting each corpus NAME (its native
//   build's figure comes from bench_chunker_native, run in turns with this
//   by scripts/bench-formats);
//   sha256_buffer with the process's engine against bcrypt on the same bytes,
//   and sha256_file of a file against sha256_buffer of its bytes in memory.
// Usage: bench_formats DATA_FOLDER CORPUS... [--sha256 FILE]
//        bench_formats DATA_FOLDER --chunker CORPUS...
// Prints one line per measurement; MB/s count decoded (hashed) bytes, 10^6.
#include "content/content.h"

#include <windows.h>
#include <zlib.h>

#include <stdio.h>
#include <string.h>

#include "bench_chunker.h"
#include "bench_clock.h"

namespace {

const int RUNS = 5;

uint8_t *load_file(const wchar_t *path, size_t *size)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER n;
    uint8_t *buf = nullptr;
    if (GetFileSizeEx(f, &n) && n.QuadPart < 0x40000000) {
        buf = (uint8_t *)VirtualAlloc(nullptr, (SIZE_T)n.QuadPart + 1, MEM_COMMIT | MEM_RESERVE,
                                      PAGE_READWRITE);
        size_t done = 0;
        while (buf && done < (size_t)n.QuadPart) {
            DWORD got = 0;
            DWORD want = (DWORD)((size_t)n.QuadPart - done > (1u << 24) ? (1u << 24)
                                                                       : (size_t)n.QuadPart - done);
            if (!ReadFile(f, buf + done, want, &got, nullptr) || got == 0) {
                VirtualFree(buf, 0, MEM_RELEASE);
                buf = nullptr;
                break;
            }
            done += got;
        }
        *size = done;
    }
    CloseHandle(f);
    return buf;
}

// Output is consumed the way zlib's is below: it stays in the decoder's own
// buffer and only its size is kept.
int count_output(void *context, const uint8_t *, size_t length)
{
    *(uint64_t *)context += length;
    return 1;
}

// gzip_decode of one member held in memory; the decoded size, 0 on failure.
uint64_t run_ours(const uint8_t *gz, size_t size)
{
    MemoryInput in = {gz, size, 0};
    uint64_t written = 0, decoded = 0;
    if (gzip_decode(memory_read, &in, count_output, &written, &decoded) != GZIP_OK)
        return 0;
    return decoded;
}

// zlib's inflate of the same member, streaming through 64 KiB buffers just
// like gzip_decode (the CRC-32 is checked by zlib itself).
uint64_t run_zlib(const uint8_t *gz, size_t size)
{
    static uint8_t in_buf[65536], out_buf[65536];
    z_stream s;
    memset(&s, 0, sizeof s);
    if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK)
        return 0;
    size_t pos = 0;
    uint64_t total = 0;
    int r = Z_OK;
    while (r != Z_STREAM_END) {
        if (s.avail_in == 0) {
            size_t n = size - pos > sizeof in_buf ? sizeof in_buf : size - pos;
            if (n == 0)
                break;
            memcpy(in_buf, gz + pos, n);
            pos += n;
            s.next_in = in_buf;
            s.avail_in = (uInt)n;
        }
        s.next_out = out_buf;
        s.avail_out = sizeof out_buf;
        r = inflate(&s, Z_NO_FLUSH);
        if (r != Z_OK && r != Z_STREAM_END)
            break;
        total += sizeof out_buf - s.avail_out;
    }
    inflateEnd(&s);
    return r == Z_STREAM_END ? total : 0;
}

typedef uint64_t (*DecodeFn)(const uint8_t *, size_t);

// One timed run in MB/s; 0 when it fails or disagrees on the size.
double rate_of(DecodeFn fn, const uint8_t *gz, size_t size, uint64_t *decoded)
{
    double t0 = now_seconds();
    uint64_t n = fn(gz, size);
    double t = now_seconds() - t0;
    if (n == 0 || (*decoded && n != *decoded))
        return 0;
    *decoded = n;
    return (double)n / t / 1e6;
}

int bench_corpus(const wchar_t *folder, const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\%ls.gz", folder, name);
    path[MAX_PATH - 1] = 0;
    size_t size = 0;
    uint8_t *gz = load_file(path, &size);
    if (!gz) {
        printf("cannot read %ls\n", path);
        return 0;
    }
    // Best of RUNS each, taken in turns so that a busy moment of the machine
    // does not fall on one side only.
    uint64_t decoded = 0;
    double ours = 0, peer = 0;
    for (int i = 0; i < RUNS; i++) {
        double a = rate_of(run_ours, gz, size, &decoded);
        double b = rate_of(run_zlib, gz, size, &decoded);
        if (a == 0 || b == 0) {
            ours = peer = 0;
            break;
        }
        ours = a > ours ? a : ours;
        peer = b > peer ? b : peer;
    }
    VirtualFree(gz, 0, MEM_RELEASE);
    if (ours == 0 || peer == 0) {
        printf("%ls: decoding failed\n", name);
        return 0;
    }
    printf("gzip %-14ls %7.1f MiB -> %7.1f MiB  gzip_decode %7.1f MB/s  zlib %7.1f MB/s  ratio %.2f\n",
           name, size / 1048576.0, decoded / 1048576.0, ours, peer, ours / peer);
    fflush(stdout);
    return 1;
}

int bench_chunker(const wchar_t *folder, const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
    path[MAX_PATH - 1] = 0;
    size_t size = 0;
    uint8_t *data = load_file(path, &size);
    if (!data) {
        printf("cannot read %ls\n", path);
        return 0;
    }
    char narrow[64];
    snprintf(narrow, sizeof narrow, "%ls", name);
    int ok = print_chunker_rate("win32", narrow, data, size, thread_cpu_seconds);
    VirtualFree(data, 0, MEM_RELEASE);
    return ok;
}

// sha256_buffer of `size` bytes with `engine` in MB/s (0 on failure),
// its digest in `out`.
double hash_rate(int engine, const uint8_t *data, size_t size, uint8_t out[SHA256_BYTES])
{
    int before = sha256_engine();
    if (!sha256_select_engine(engine))
        return 0;
    double t0 = now_seconds();
    int ok = sha256_buffer(data, size, out);
    double t = now_seconds() - t0;
    sha256_select_engine(before);
    return ok ? size / t / 1e6 : 0;
}

int bench_sha256(const wchar_t *path)
{
    size_t size = 0;
    uint8_t *data = load_file(path, &size);
    if (!data) {
        printf("cannot read %ls\n", path);
        return 0;
    }
    // The file and the process's own engine in memory, then the platform's
    // provider on the same bytes; best of RUNS each, in turns.
    int engine = sha256_engine();
    uint8_t from_file[SHA256_BYTES], from_memory[SHA256_BYTES], from_bcrypt[SHA256_BYTES];
    double best_file = 0, best_memory = 0, best_bcrypt = 0;
    for (int i = 0; i < RUNS; i++) {
        double t0 = now_seconds();
        int ok = sha256_file(path, from_file);
        double file_rate = size / (now_seconds() - t0) / 1e6;
        double memory_rate = hash_rate(engine, data, size, from_memory);
        double bcrypt_rate = hash_rate(SHA256_ENGINE_BCRYPT, data, size, from_bcrypt);
        if (!ok || memory_rate == 0 || bcrypt_rate == 0 ||
            memcmp(from_file, from_memory, SHA256_BYTES) != 0 ||
            memcmp(from_bcrypt, from_memory, SHA256_BYTES) != 0) {
            printf("sha256: failed or digests differ\n");
            VirtualFree(data, 0, MEM_RELEASE);
            return 0;
        }
        if (file_rate > best_file)
            best_file = file_rate;
        if (memory_rate > best_memory)
            best_memory = memory_rate;
        if (bcrypt_rate > best_bcrypt)
            best_bcrypt = bcrypt_rate;
    }
    VirtualFree(data, 0, MEM_RELEASE);
    printf("sha256 %7.1f MiB  engine %s  sha256_buffer %7.1f MB/s  bcrypt %7.1f MB/s  ratio %.2f\n",
           size / 1048576.0, engine == SHA256_ENGINE_SHA_NI ? "sha-ni" : "bcrypt", best_memory,
           best_bcrypt, best_memory / best_bcrypt);
    printf("sha256 %7.1f MiB  sha256_file %7.1f MB/s  sha256_buffer %7.1f MB/s  ratio %.2f\n",
           size / 1048576.0, best_file, best_memory, best_file / best_memory);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        printf("usage: bench_formats DATA_FOLDER CORPUS... [--sha256 FILE]\n"
               "       bench_formats DATA_FOLDER --chunker CORPUS...\n");
        return 2;
    }
    int ok = 1;
    if (argc > 2 && wcscmp(argv[2], L"--chunker") == 0) {
        for (int i = 3; i < argc; i++)
            ok &= bench_chunker(argv[1], argv[i]);
        return ok ? 0 : 1;
    }
    for (int i = 2; i < argc; i++) {
        if (wcscmp(argv[i], L"--sha256") == 0 && i + 1 < argc) {
            ok &= bench_sha256(argv[++i]);
            continue;
        }
        ok &= bench_corpus(argv[1], argv[i]);
    }
    return ok ? 0 : 1;
}
