// A gzip object unpacked, or a plain object hashed, while it downloads. The
// decoder (or hasher) runs on a thread of its own and reads the part file
// behind the download, never past the bytes the download has reported
// written, so decoding and hashing the content overlap with the transfer
// instead of following it. Whatever goes unusual (the part file falls back,
// the download fails, the thread cannot start or read) makes the stream
// unusable and the caller unpacks or hashes the complete file as before: the
// result never depends on the overlap.
//
// The threads come from a pool that an update pass keeps for all its
// objects (a stream without one starts a thread of its own): a thread
// started and ended per large object cost more than half a millisecond of
// processor time under Wine. Every wait is on a condition variable, which
// under Wine stays in the process where an event is a round trip to the
// Wine server. A stream is handed to an idle thread of the pool or to a new
// one, so streams never wait for each other; the pool's lock guards which
// thread runs which stream, the stream's lock what the download reports.
#include "fetch/fetch.h"

#include "content/content.h"
#include "net/net.h"

#include <windows.h>

#include <string.h>

namespace {

// Streams at once: one per object on the wire or waiting for judgement.
const int POOL_THREADS_MAX = 16;

struct PoolThread {
    UnpackPool *pool;
    HANDLE thread;
    UnpackStream *stream;  // handed over and not done, or null: idle
};

}  // namespace

struct UnpackPool {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE changed;  // a stream handed over or done, or the end asked
    PoolThread threads[POOL_THREADS_MAX];
    int count;
    bool quit;
};

struct UnpackStream {
    DownloadProgress *progress;
    UnpackPool *pool;      // whose thread runs it
    bool own_pool;         // ... made for this stream alone
    bool handed;           // a thread of the pool took it ...
    bool running;          // ... and has not done with it (under the pool's lock)
    wchar_t gz_path[CLIENT_PATH_CHARS];
    wchar_t out_path[CLIENT_PATH_CHARS];  // empty: hash the part file only
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE moved;  // the watermark moved or the stream ended
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
    EnterCriticalSection(&s->lock);
    while (!s->spoiled && s->consumed == s->watermark && !s->ended) {
        s->waiting = true;
        s->wake_at = s->watermark + WAKE_STEP_BYTES;
        SleepConditionVariableCS(&s->moved, &s->lock, WAKE_CHECK_MS);
    }
    s->waiting = false;
    uint64_t left = s->watermark - s->consumed;
    bool spoiled = s->spoiled;
    LeaveCriticalSection(&s->lock);
    if (spoiled)
        return -1;
    if (left == 0)
        return 0;  // ended
    DWORD want = left < (uint64_t)capacity ? (DWORD)left : (DWORD)capacity;
    DWORD got = 0;
    if (!ReadFile(s->file, buffer, want, &got, nullptr) || got == 0)
        return -1;
    s->consumed += got;
    return (int)got;
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

void run_stream(UnpackStream *s)
{
    if (s->out_path[0])
        s->ok = gunzip_hashed(read_behind_download, s, s->out_path, s->digest, s->error);
    else
        hash_behind_download(s);
}

// A pool thread: runs the streams handed to it until the pool ends.
DWORD WINAPI pool_thread(void *arg)
{
    PoolThread *self = (PoolThread *)arg;
    UnpackPool *pool = self->pool;
    EnterCriticalSection(&pool->lock);
    for (;;) {
        UnpackStream *s;
        while (!(s = self->stream) && !pool->quit)
            SleepConditionVariableCS(&pool->changed, &pool->lock, INFINITE);
        if (!s)
            break;
        LeaveCriticalSection(&pool->lock);
        run_stream(s);
        EnterCriticalSection(&pool->lock);
        // The stream's owner may free it as soon as it sees this.
        s->running = false;
        self->stream = nullptr;
        WakeAllConditionVariable(&pool->changed);
    }
    LeaveCriticalSection(&pool->lock);
    return 0;
}

// Hands `s` to an idle thread of its pool, or to a new one. False when no
// thread can take it.
bool hand_over(UnpackStream *s)
{
    UnpackPool *pool = s->pool;
    bool taken = false;
    EnterCriticalSection(&pool->lock);
    for (int i = 0; !taken && i < pool->count; i++) {
        if (!pool->threads[i].stream) {
            pool->threads[i].stream = s;
            taken = true;
        }
    }
    if (!taken && pool->count < POOL_THREADS_MAX) {
        PoolThread *t = &pool->threads[pool->count++];
        t->pool = pool;
        t->stream = s;
        t->thread = CreateThread(nullptr, 0, pool_thread, t, 0, nullptr);
        taken = t->thread != nullptr;
        if (!taken) {
            t->stream = nullptr;
            pool->count--;
        }
    }
    s->running = taken;
    if (taken)
        WakeAllConditionVariable(&pool->changed);
    LeaveCriticalSection(&pool->lock);
    return taken;
}

// Waits until no thread runs `s`.
void wait_done(UnpackStream *s)
{
    UnpackPool *pool = s->pool;
    EnterCriticalSection(&pool->lock);
    while (s->running)
        SleepConditionVariableCS(&pool->changed, &pool->lock, INFINITE);
    LeaveCriticalSection(&pool->lock);
}

}  // namespace

UnpackPool *unpack_pool_open(void)
{
    UnpackPool *pool = (UnpackPool *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *pool);
    if (!pool)
        return nullptr;
    InitializeCriticalSection(&pool->lock);
    InitializeConditionVariable(&pool->changed);
    return pool;
}

void unpack_pool_close(UnpackPool *pool)
{
    if (!pool)
        return;
    EnterCriticalSection(&pool->lock);
    pool->quit = true;
    WakeAllConditionVariable(&pool->changed);
    LeaveCriticalSection(&pool->lock);
    for (int i = 0; i < pool->count; i++) {
        WaitForSingleObject(pool->threads[i].thread, INFINITE);
        CloseHandle(pool->threads[i].thread);
    }
    DeleteCriticalSection(&pool->lock);
    HeapFree(GetProcessHeap(), 0, pool);
}

UnpackStream *unpack_stream_open(const wchar_t *gz_path, const wchar_t *out_path,
                                 DownloadProgress *progress, UnpackPool *pool)
{
    UnpackStream *s = (UnpackStream *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *s);
    if (!s)
        return nullptr;
    s->pool = pool;
    if (!pool) {
        s->pool = unpack_pool_open();
        s->own_pool = true;
        if (!s->pool) {
            HeapFree(GetProcessHeap(), 0, s);
            return nullptr;
        }
    }
    InitializeCriticalSection(&s->lock);
    InitializeConditionVariable(&s->moved);
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
    // A wake-up costs the decoder a switch of threads: only when it waits
    // and has enough to do, or at the object's end.
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
            s->handed = hand_over(s);
    }
    if (wake)
        WakeConditionVariable(&s->moved);
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
    WakeConditionVariable(&s->moved);

    int result = -1;
    if (s->handed) {
        wait_done(s);
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
    if (s->own_pool)
        unpack_pool_close(s->pool);
    DeleteCriticalSection(&s->lock);
    HeapFree(GetProcessHeap(), 0, s);
    return result;
}
