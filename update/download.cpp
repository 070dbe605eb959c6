// One content-addressed object from the mirrors into the client folder.
//
// The object travels through two working files beside its destination:
// "<dest>.part" holds the bytes as downloaded (kept across attempts and runs
// so that a later attempt resumes it) and "<dest>.tmp" the unpacked content
// of a gzip object. Only content whose digest matches the manifest is moved
// onto the destination.
#include "update/update.h"

#include "content/content.h"
#include "net/net.h"

#include <windows.h>

namespace {

const int ATTEMPTS_PER_VARIANT = 3;
const DWORD RETRY_PAUSE_MS = 1000;
// Smaller gzip objects are unpacked after their download: for them a thread
// costs more than the overlap saves.
const uint64_t STREAM_MIN_PACKED_BYTES = 65536;
// The same for hashing a plain object while it downloads.
const uint64_t STREAM_MIN_PLAIN_BYTES = 1048576;

enum Variant { VARIANT_NONE, VARIANT_GZIP, VARIANT_PLAIN };

}  // namespace

const ManifestEntry *manifest_item(const Manifest *manifest, int index)
{
    if (index < manifest->file_count)
        return &manifest->files[index];
    return &manifest->optional[index - manifest->file_count];
}

uint64_t entry_wire_size(const ManifestEntry *entry)
{
    return entry->packed_size != 0 ? entry->packed_size : entry->size;
}

int download_object(void *window, const MirrorList *list, int count, int *start_index,
                    const ManifestEntry *entry, const wchar_t *destination,
                    volatile long *cancel_flag, uint64_t run_done, uint64_t run_total)
{
    char hex[SHA256_HEX_CHARS];
    hex_encode(entry->digest, SHA256_BYTES, hex);
    wchar_t part[CLIENT_PATH_CHARS], tmp[CLIENT_PATH_CHARS];
    format_wide(part, CLIENT_PATH_CHARS, L"%s.part", destination);
    format_wide(tmp, CLIENT_PATH_CHARS, L"%s.tmp", destination);

    if (!make_parent_dirs(destination)) {
        log_wprintf(L"mkdir failed for %s", destination);
        return 0;
    }

    DownloadProgress progress = {};
    progress.window = window;
    progress.cancel_flag = cancel_flag;
    progress.finished_before = run_done;
    progress.run_total = run_total;
    Variant last = VARIANT_NONE;

    for (int k = 0; k < count; k++) {
        int m = (*start_index + k) % count;
        const wchar_t *mirror = list->url[m];
        static const Variant variants[] = {VARIANT_GZIP, VARIANT_PLAIN};
        for (Variant v : variants) {
            if (v == VARIANT_GZIP && entry->packed_size == 0)
                continue;
            bool gzip = v == VARIANT_GZIP;
            const wchar_t *suffix = gzip ? L".gz" : L"";
            // A part file of the other variant holds bytes that cannot be resumed.
            if (last != VARIANT_NONE && last != v)
                DeleteFileW(part);
            last = v;

            wchar_t url[400];
            format_wide(url, 400, L"%sobjects/%S%s", mirror, hex, suffix);
            uint64_t expected = gzip ? entry->packed_size : entry->size;
            for (int attempt = 1; attempt <= ATTEMPTS_PER_VARIANT; attempt++) {
                if (*cancel_flag)
                    return -1;
                uint8_t digest[SHA256_BYTES];
                char error[GZIP_ERROR_TEXT_BYTES];
                // Larger objects are unpacked or hashed behind the download
                // on a thread of their own (a gzip object's own digest is of
                // no use: its decoded content is what the manifest names).
                bool follow = expected >= (gzip ? STREAM_MIN_PACKED_BYTES : STREAM_MIN_PLAIN_BYTES);
                UnpackStream *stream =
                    follow ? unpack_stream_open(part, gzip ? tmp : nullptr, &progress) : nullptr;
                int result = stream
                    ? http_download_to_file(url, part, expected, nullptr, unpack_stream_progress,
                                            stream)
                    : http_download_to_file(url, part, expected, gzip ? nullptr : digest,
                                            report_download_progress, &progress);
                int unpacked = -1;
                if (stream)
                    unpacked = unpack_stream_finish(stream, result == 200 || result == 206,
                                                    digest, error);
                if (result == -1)
                    return -1;
                if (result != 200 && result != 206) {
                    log_wprintf(L"object %S%s: %s -> %d (try %d)", hex, suffix, mirror, result,
                                attempt);
                    if (result == 404)
                        break;
                    if (attempt < ATTEMPTS_PER_VARIANT)
                        Sleep(RETRY_PAUSE_MS);
                    continue;
                }

                // A plain object whose stream was of no use: its digest from
                // the file (a file that cannot be hashed counts as wrong).
                if (!gzip && stream && unpacked == -1 && !sha256_file(part, digest))
                    memset(digest, 0, sizeof digest);
                if (gzip) {
                    if (unpacked == -1)
                        unpacked = gunzip_file_hashed(part, tmp, digest, error);
                    if (!unpacked) {
                        log_wprintf(L"object %S.gz from %s: %S, discarding", hex, mirror, error);
                        DeleteFileW(part);
                        break;
                    }
                }
                if (memcmp(digest, entry->digest, SHA256_BYTES) != 0) {
                    log_wprintf(L"object %S%s: hash mismatch from %s, discarding", hex, suffix,
                                mirror);
                    DeleteFileW(part);
                    if (gzip) {
                        DeleteFileW(tmp);
                        break;
                    }
                    continue;  // plain: again at once
                }

                const wchar_t *result_file = gzip ? tmp : part;
                if (!MoveFileExW(result_file, destination, MOVEFILE_REPLACE_EXISTING)) {
                    log_wprintf(L"rename failed %s (%lu)", destination, GetLastError());
                    if (gzip)
                        DeleteFileW(tmp);
                    return 0;
                }
                if (gzip)
                    DeleteFileW(part);
                *start_index = m;
                return 1;
            }
        }
    }
    return 0;
}

void remove_listed_files(const Manifest *manifest, LocalState *state, const wchar_t *folder)
{
    for (int i = 0; i < manifest->remove_count; i++) {
        const char *rel = manifest->remove[i];
        wchar_t rel_wide[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
        rel_path_to_wide(rel, rel_wide, CLIENT_REL_CHARS);
        path_join(full, CLIENT_PATH_CHARS, folder, rel_wide);
        if (rel_wide[0] && full[0] && file_info(full, nullptr, nullptr)) {
            if (DeleteFileW(full))
                log_wprintf(L"removed %s", rel_wide);
            else
                log_wprintf(L"remove %s failed (%lu)", rel_wide, GetLastError());
        }
        state_remove(state, rel);
    }
}
