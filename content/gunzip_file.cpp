// Decoding a downloaded gzip object into its output file while hashing the
// decoded bytes: the file and digest side around gzip_decode.
#include "content/content.h"

#include <windows.h>

#include <string.h>

namespace {

struct GunzipSink {
    HANDLE file;
    RunningDigest *digest;
};

int read_gz_file(void *context, uint8_t *buffer, int capacity)
{
    DWORD got = 0;
    if (!ReadFile((HANDLE)context, buffer, (DWORD)capacity, &got, nullptr))
        return -1;
    return (int)got;
}

int write_and_hash(void *context, const uint8_t *bytes, size_t length)
{
    GunzipSink *sink = (GunzipSink *)context;
    DWORD written = 0;
    if (!WriteFile(sink->file, bytes, (DWORD)length, &written, nullptr) || written != length)
        return 0;
    return running_digest_add(sink->digest, bytes, length);
}

void set_error(char *error_text, const char *text)
{
    size_t n = strlen(text);
    if (n > GZIP_ERROR_TEXT_BYTES - 1)
        n = GZIP_ERROR_TEXT_BYTES - 1;
    memcpy(error_text, text, n);
    error_text[n] = 0;
}

}  // namespace

int gunzip_hashed_open(GzipReadFn read, void *read_context, const wchar_t *out_path,
                       uint8_t digest[SHA256_BYTES], char *error_text, void **out_file)
{
    error_text[0] = 0;
    *out_file = nullptr;
    RunningDigest running = {};
    HANDLE out = INVALID_HANDLE_VALUE;
    int ok = 0;

    int begun = running_digest_begin(&running);
    if (begun != DIGEST_BEGIN_OK) {
        set_error(error_text, begun == DIGEST_BEGIN_NO_HASH ? "sha256 hash" : "sha256 provider");
        goto cleanup;
    }
    // DELETE: the caller may move the output by this handle.
    out = CreateFileW(out_path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        set_error(error_text, "create output");
        goto cleanup;
    }
    {
        GunzipSink sink = {out, &running};
        int r = gzip_decode(read, read_context, write_and_hash, &sink, nullptr);
        if (r != GZIP_OK) {
            set_error(error_text, gzip_result_text(r));
            goto cleanup;
        }
    }
    if (!running_digest_finish(&running, digest)) {
        set_error(error_text, "sha256 finish");
        goto cleanup;
    }
    ok = 1;
    *out_file = out;
    out = INVALID_HANDLE_VALUE;

cleanup:
    if (out != INVALID_HANDLE_VALUE) {
        CloseHandle(out);
        // A partial output must never be mistaken for a decoded object.
        DeleteFileW(out_path);
    }
    running_digest_release(&running);
    return ok;
}

int gunzip_hashed(GzipReadFn read, void *read_context, const wchar_t *out_path,
                  uint8_t digest[SHA256_BYTES], char *error_text)
{
    void *out = nullptr;
    int ok = gunzip_hashed_open(read, read_context, out_path, digest, error_text, &out);
    if (out)
        CloseHandle((HANDLE)out);
    return ok;
}

int gunzip_file_hashed(const wchar_t *gz_path, const wchar_t *out_path,
                       uint8_t digest[SHA256_BYTES], char *error_text)
{
    error_text[0] = 0;
    HANDLE gz = CreateFileW(gz_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (gz == INVALID_HANDLE_VALUE) {
        set_error(error_text, "open .gz");
        return 0;
    }
    int ok = gunzip_hashed(read_gz_file, gz, out_path, digest, error_text);
    CloseHandle(gz);
    return ok;
}
