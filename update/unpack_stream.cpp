// A gzip object unpacked, or a plain object hashed, while it downloads. The
// decoder (or hasher) runs on a thread of its own and reads the part file
// behind the download, never past the bytes the download has reported
// written, so decoding and hashing the content overlap with the transfer
// instead of following it. Whatever goes unusual (the part file falls back,
// the download fails, the thread cannot start or read) makes the stream
// unusable and the caller unpacks or hashes the complete file as before: the
// result never depends on the overlap.
#include "update/update.h"

#include "content/content.h"
#include "net/net.h"

#include <windows.h>

#include <string.h>

struct UnpackStream {
    DownloadProgress *progress;
    wchar_t gz_path[CLIENT_PATH_CHARS];
    wchar_t out_path[CLIENT_PATH_CHARS];  // empty: hash the part file only
    CRITICAL_SECTION lock;
    HANDLE wake;           // auto-reset: the watermark moved or the stream ended
    HANDLE thread;
    bool started;          // the thread was tried (once)
    uint64_t watermark;    // bytes of the part file the download has written
    bool ended;            // no byte will be added
    bool spoiled;          // the part file fell back, or the download failed
    bool waiting;          // the decoder waits for a wake-up ...
    uint64_t wake_at;      // ... once the watermark reaches this
    // The thread's own.
    HANDLE file;
    uint64_t consumed;
    int ok;
    uint8_t digest[SHA256_BYTES];
    char error[GZIP_ERROR_TEXT_BYTES];
};

namespace {

const DWORD WAKE_CHECK_MS = 1000;  // a missed wake-up costs at most this
// A waiting reader is woken once this much more has arrived (or the download
// ended): a wake-up per network read would cost more than the work it wakes.
const uint64_t WAKE_STEP_BYTES = 524288;

// Reads the part file up to the watermark; waits while the download is still
// adding to it. -1 once the stream is spoiled or the file is shorter than
// reported.
int read_behind_download(void *context, uint8_t *buffer, int capacity)
{
    UnpackStream *s = (UnpackStream *)context;
    for (;;) {
        EnterCriticalSection(&s->lock);
        uint64_t mark = s->watermark;
        bool ended = s->ended, spoiled = s->spoiled;
        LeaveCriticalSection(&s->lock);
        if (spoiled)
            return -1;
        if (s->consumed < mark) {
            uint64_t left = mark - s->consumed;
            DWORD want = left < (uint64_t)capacity ? (DWORD)left : (DWORD)capacity;
            DWORD got = 0;
            if (!ReadFile(s->file, buffer, want, &got, nullptr) || got == 0)
                return -1;
            s->consumed += got;
            return (int)got;
        }
        if (ended)
            return 0;
        // Announce the wait, then look again: a report that came between
        // the look above and the announcement would otherwise not wake us.
        EnterCriticalSection(&s->lock);
        bool moved = s->watermark != mark || s->ended || s->spoiled;
        s->waiting = !moved;
        s->wake_at = mark + WAKE_STEP_BYTES;
        LeaveCriticalSection(&s->lock);
        if (!moved)
            WaitForSingleObject(s->wake, WAKE_CHECK_MS);
    }
}

// The digest of the part file's bytes as they come; ok 1 when all were read.
void hash_behind_download(UnpackStream *s)
{
    RunningDigest digest = {};
    uint8_t *buf = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, HTTP_TRANSFER_BYTES);
    if (buf && running_digest_begin(&digest) == DIGEST_BEGIN_OK) {
        for (;;) {
            int n = read_behind_download(s, buf, HTTP_TRANSFER_BYTES);
            if (n < 0)
                break;
            if (n == 0) {
                s->ok = running_digest_finish(&digest, s->digest);
                break;
            }
            if (!running_digest_add(&digest, buf, (size_t)n))
                break;
        }
    }
    running_digest_release(&digest);
    if (buf)
        HeapFree(GetProcessHeap(), 0, buf);
}

DWORD WINAPI unpack_thread(void *arg)
{
    UnpackStream *s = (UnpackStream *)arg;
    if (s->out_path[0])
        s->ok = gunzip_hashed(read_behind_download, s, s->out_path, s->digest, s->error);
    else
        hash_behind_download(s);
    return 0;
}

}  // namespace

UnpackStream *unpack_stream_open(const wchar_t *gz_path, const wchar_t *out_path,
                                 DownloadProgress *progress)
{
    UnpackStream *s = (UnpackStream *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *s);
    if (!s)
        return nullptr;
    s->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!s->wake) {
        HeapFree(GetProcessHeap(), 0, s);
        return nullptr;
    }
    InitializeCriticalSection(&s->lock);
    s->progress = progress;
    s->file = INVALID_HANDLE_VALUE;
    lstrcpynW(s->gz_path, gz_path, CLIENT_PATH_CHARS);
    if (out_path)
        lstrcpynW(s->out_path, out_path, CLIENT_PATH_CHARS);
    return s;
}

int unpack_stream_progress(void *context, uint64_t present, uint64_t expected)
{
    UnpackStream *s = (UnpackStream *)context;
    EnterCriticalSection(&s->lock);
    if (present < s->watermark)
        s->spoiled = true;  // started over: what the decoder read may be gone
    else
        s->watermark = present;
    bool start = !s->started && !s->spoiled;
    s->started = true;
    // Signalling costs a trip to the system: only when the decoder waits and
    // has enough to do, or at the object's end.
    bool wake = s->waiting && (s->spoiled || present >= s->wake_at || present >= expected);
    if (wake)
        s->waiting = false;
    LeaveCriticalSection(&s->lock);

    // The first report comes once the part file exists and the response was
    // accepted: the decoder can open the file now.
    if (start) {
        s->file = CreateFileW(s->gz_path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (s->file != INVALID_HANDLE_VALUE)
            s->thread = CreateThread(nullptr, 0, unpack_thread, s, 0, nullptr);
    }
    if (wake)
        SetEvent(s->wake);
    return report_download_progress(s->progress, present, expected);
}

int unpack_stream_finish(UnpackStream *s, int download_ok, uint8_t digest[SHA256_BYTES],
                         char *error_text)
{
    EnterCriticalSection(&s->lock);
    s->ended = true;
    if (!download_ok)
        s->spoiled = true;
    LeaveCriticalSection(&s->lock);
    SetEvent(s->wake);

    int result = -1;
    if (s->thread) {
        WaitForSingleObject(s->thread, INFINITE);
        CloseHandle(s->thread);
        // Hashing alone has no failure of its own to report: a read that
        // failed makes the stream unusable like a fall-back does.
        if (!s->out_path[0] && !s->ok)
            s->spoiled = true;
        if (!s->spoiled) {
            result = s->ok ? 1 : 0;
            memcpy(digest, s->digest, SHA256_BYTES);
            memcpy(error_text, s->error, GZIP_ERROR_TEXT_BYTES);
        } else if (s->ok && s->out_path[0]) {
            DeleteFileW(s->out_path);  // decoded from bytes that may be gone
        }
    }
    if (s->file != INVALID_HANDLE_VALUE)
        CloseHandle(s->file);
    CloseHandle(s->wake);
    DeleteCriticalSection(&s->lock);
    HeapFree(GetProcessHeap(), 0, s);
    return result;
}
