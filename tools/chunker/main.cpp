// korvanth-chunk: a file's chunks as the launcher cuts it. One source, two
// builds: the publisher's tool builds it natively with the host's compiler
// (korvanth-publish runs it), and the test build makes it a Windows console
// program on the launcher's own library (chunk_file, the launcher's digest),
// whose output under Wine must be the native one byte for byte.
//
//   korvanth-chunk [--sizes MIN/AVG/MAX] [--portable-sha256] FILE
//
// Prints one line "OFFSET LENGTH SHA256" per chunk (decimal, decimal, 64
// lower-case hexadecimal digits); the publisher's tool makes the chunk index
// from them. The native build also takes --sizes (cut with other sizes, for
// measurements only) and --portable-sha256 (hash without the processor's SHA
// extensions, as on processors that lack them).
// Exit code 0; 1 when the file cannot be read or the output written; 2 for
// bad usage.
#include "chunks/chunks.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef _WIN32
#include "content/sha256_internal.h"
#endif

namespace {

int on_chunk(void *, uint64_t offset, uint32_t length, const uint8_t digest[SHA256_BYTES])
{
    char hex[SHA256_HEX_CHARS];
    hex_encode(digest, SHA256_BYTES, hex);
    return printf("%llu %lu %s\n", (unsigned long long)offset, (unsigned long)length, hex) > 0;
}

#ifndef _WIN32

// The native cutting loop: what chunk_file does in the launcher, with the
// host's file reading and either SHA-256 engine.
struct NativeDigest {
    bool portable;
    Sha256Blocks blocks;
};

void digest_begin(NativeDigest *d)
{
    if (d->portable)
        sha256_blocks_begin_plain(&d->blocks);
    else
        sha256_blocks_begin(&d->blocks);
}

void digest_add(NativeDigest *d, const uint8_t *p, size_t n)
{
    sha256_blocks_add(&d->blocks, p, n);
}

void digest_finish(NativeDigest *d, uint8_t out[SHA256_BYTES])
{
    sha256_blocks_finish(&d->blocks, out);
}

int cut_native(const char *path, Chunker *chunker, bool portable)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return 0;
    const size_t BLOCK = 1 << 20;
    uint8_t *block = (uint8_t *)malloc(BLOCK);
    NativeDigest d;
    d.portable = portable || !cpu_has_sha_extensions();
    digest_begin(&d);
    uint64_t chunk_offset = 0;
    int ok = block != nullptr;
    while (ok) {
        size_t got = fread(block, 1, BLOCK, f);
        if (got == 0) {
            ok = !ferror(f);
            uint32_t last = chunker_end(chunker);
            if (ok && last) {
                uint8_t digest[SHA256_BYTES];
                digest_finish(&d, digest);
                ok = on_chunk(nullptr, chunk_offset, last, digest);
            }
            break;
        }
        for (size_t at = 0; ok && at < got;) {
            uint32_t cut = 0;
            size_t used = chunker_feed(chunker, block + at, got - at, &cut);
            digest_add(&d, block + at, used);
            at += used;
            if (cut) {
                uint8_t digest[SHA256_BYTES];
                digest_finish(&d, digest);
                ok = on_chunk(nullptr, chunk_offset, cut, digest);
                chunk_offset += cut;
                digest_begin(&d);
            }
        }
    }
    free(block);
    fclose(f);
    return ok;
}

int parse_sizes(const char *text, Chunker *chunker)
{
    unsigned long v[3];
    char *end = nullptr;
    for (int k = 0; k < 3; k++) {
        v[k] = strtoul(k == 0 ? text : end + 1, &end, 10);
        if (*end != (k < 2 ? '/' : 0))
            return 0;
    }
    return chunker_begin_sized(chunker, (uint32_t)v[0], (uint32_t)v[1], (uint32_t)v[2]);
}

#endif

int usage(void)
{
    fprintf(stderr, "usage: korvanth-chunk [--sizes MIN/AVG/MAX] [--portable-sha256] FILE\n");
    return 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t **argv)
{
    if (argc != 2 || argv[1][0] == L'-')
        return usage();
    static char buffer[1 << 16];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    int ok = chunk_file(argv[1], on_chunk, nullptr, nullptr) == CHUNK_FILE_OK;
#else
int main(int argc, char **argv)
{
    bool portable = false;
    Chunker chunker;
    chunker_begin(&chunker);
    int i = 1;
    for (; i < argc - 1; i++) {
        if (strcmp(argv[i], "--portable-sha256") == 0)
            portable = true;
        else if (strcmp(argv[i], "--sizes") == 0 && i + 2 < argc && parse_sizes(argv[i + 1], &chunker))
            i++;
        else
            return usage();
    }
    if (i != argc - 1)
        return usage();
    static char buffer[1 << 16];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    int ok = cut_native(argv[i], &chunker, portable);
#endif
    ok = fflush(stdout) == 0 && ok;
    if (!ok)
        fprintf(stderr, "korvanth-chunk: cannot read the file or write the output\n");
    return ok ? 0 : 1;
}
