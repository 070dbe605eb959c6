// A local file cut into the format's chunks, each hashed as it passes: one
// read of the file, in blocks, with fixed memory whatever its size. The
// thin platform layer over the byte-level chunker.
#include "content/content.h"

#include <windows.h>

namespace {

const DWORD READ_BLOCK_BYTES = 1048576;

struct Cutting {
    Chunker chunker;
    RunningDigest digest;
    bool digest_open;
    uint64_t chunk_offset;  // where the current chunk began
    ChunkFoundFn found;
    void *context;
};

// Ends the current chunk of `length` bytes: its digest to the caller, and
// a fresh digest for the next. A ChunkFileResult.
int close_chunk(Cutting *c, uint32_t length)
{
    uint8_t digest[SHA256_BYTES];
    int ok = running_digest_finish(&c->digest, digest);
    running_digest_release(&c->digest);
    c->digest_open = false;
    if (!ok)
        return CHUNK_FILE_FAILED;
    if (!c->found(c->context, c->chunk_offset, length, digest))
        return CHUNK_FILE_STOPPED;
    c->chunk_offset += length;
    return CHUNK_FILE_OK;
}

int open_chunk(Cutting *c)
{
    if (c->digest_open)
        return CHUNK_FILE_OK;
    c->digest_open = running_digest_begin(&c->digest) == DIGEST_BEGIN_OK;
    return c->digest_open ? CHUNK_FILE_OK : CHUNK_FILE_FAILED;
}

// Feeds one block read from the file.
int cut_block(Cutting *c, const uint8_t *block, size_t len)
{
    while (len > 0) {
        if (open_chunk(c) != CHUNK_FILE_OK)
            return CHUNK_FILE_FAILED;
        uint32_t cut = 0;
        size_t used = chunker_feed(&c->chunker, block, len, &cut);
        if (!running_digest_add(&c->digest, block, used))
            return CHUNK_FILE_FAILED;
        block += used;
        len -= used;
        if (cut) {
            int r = close_chunk(c, cut);
            if (r != CHUNK_FILE_OK)
                return r;
        }
    }
    return CHUNK_FILE_OK;
}

}  // namespace

int chunk_file(const wchar_t *path, ChunkFoundFn found, void *context, uint64_t *size)
{
    if (size)
        *size = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return CHUNK_FILE_FAILED;
    uint8_t *block = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, READ_BLOCK_BYTES);
    Cutting c = {};
    chunker_begin(&c.chunker);
    c.found = found;
    c.context = context;
    int result = block ? CHUNK_FILE_OK : CHUNK_FILE_FAILED;
    uint64_t total = 0;
    while (result == CHUNK_FILE_OK) {
        DWORD got = 0;
        if (!ReadFile(file, block, READ_BLOCK_BYTES, &got, nullptr)) {
            result = CHUNK_FILE_FAILED;
            break;
        }
        if (got == 0) {
            uint32_t last = chunker_end(&c.chunker);
            if (last)
                result = close_chunk(&c, last);
            break;
        }
        total += got;
        result = cut_block(&c, block, got);
    }
    if (c.digest_open)
        running_digest_release(&c.digest);
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
    CloseHandle(file);
    if (size)
        *size = total;
    return result;
}
