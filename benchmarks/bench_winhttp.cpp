// The platform's ceiling for the launcher's downloads: WinHTTP fetching a
// list of objects from a mirror into NUL, with the launcher's own session
// settings (http_open_session, http_open_get) and the same 256 KiB reads.
// Nothing is stored, hashed or decoded: what is left is what WinHTTP itself
// costs, the limit any WinHTTP client on this system can reach.
//
// Usage: bench_winhttp URL_LIST [--connections N] [--session-per-object]
//   URL_LIST: a UTF-8 text file with one absolute URL a line.
//   N threads (1 to 8, default 1) take the next URL from the list in turn,
//   each with its own session whose connections are kept alive, or, with
//   --session-per-object, a new session for each object as the launcher
//   opens one per download call.
// Prints "winhttp: N objects, B bytes, S s, R MB/s, R reads" (10^6 bytes;
// totals over all threads, timed from the first thread's start to the last
// one's end); exit 1 on any failed request.
#include "base/base.h"
#include "net/net.h"

#include <windows.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_clock.h"

namespace {

const int MAX_CONNECTIONS = 8;

struct Shared {
    char **urls;
    LONG count;
    volatile LONG next;
    volatile LONG failed;
    bool per_object;
    HANDLE nul;
};

struct Worker {
    Shared *shared;
    long long bytes, reads;
    int objects;
    double start, end;
};

char *load_text(const wchar_t *path)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD size = GetFileSize(f, nullptr), got = 0;
    char *text = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 1);
    if (text && (!ReadFile(f, text, size, &got, nullptr) || got != size)) {
        HeapFree(GetProcessHeap(), 0, text);
        text = nullptr;
    }
    CloseHandle(f);
    return text;
}

// One GET into NUL; the body's length, or -1 on failure.
long long fetch(HINTERNET session, const char *line, char *buf, HANDLE nul, long long *reads)
{
    wchar_t url[1024];
    if (!MultiByteToWideChar(CP_UTF8, 0, line, -1, url, 1024))
        return -1;
    void *connection = nullptr;
    HINTERNET request = (HINTERNET)http_open_get(session, url, &connection);
    long long total = -1;
    if (request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                      WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr) && http_status_code(request) == 200) {
        total = 0;
        for (;;) {
            DWORD avail = 0;
            if (!WinHttpQueryDataAvailable(request, &avail)) {
                total = -1;
                break;
            }
            if (avail == 0)
                break;
            if (avail > HTTP_TRANSFER_BYTES)
                avail = HTTP_TRANSFER_BYTES;
            DWORD read = 0, written = 0;
            if (!WinHttpReadData(request, buf, avail, &read)) {
                total = -1;
                break;
            }
            if (read == 0)
                break;
            WriteFile(nul, buf, read, &written, nullptr);
            (*reads)++;
            total += read;
        }
    }
    if (request)
        WinHttpCloseHandle(request);
    if (connection)
        WinHttpCloseHandle((HINTERNET)connection);
    return total;
}

// Fetches the list's next URL until none is left or any thread has failed.
DWORD WINAPI work(void *arg)
{
    Worker *w = (Worker *)arg;
    Shared *s = w->shared;
    HINTERNET session = s->per_object ? nullptr : (HINTERNET)http_open_session();
    char *buf = (char *)HeapAlloc(GetProcessHeap(), 0, HTTP_TRANSFER_BYTES);
    w->start = w->end = now_seconds();
    if (!buf || (!s->per_object && !session)) {
        InterlockedExchange(&s->failed, 1);
        goto cleanup;
    }
    for (LONG i; !s->failed && (i = InterlockedIncrement(&s->next) - 1) < s->count;) {
        HINTERNET one = s->per_object ? (HINTERNET)http_open_session() : session;
        long long n = one ? fetch(one, s->urls[i], buf, s->nul, &w->reads) : -1;
        if (s->per_object && one)
            WinHttpCloseHandle(one);
        if (n < 0) {
            fprintf(stderr, "bench_winhttp: %s failed\n", s->urls[i]);
            InterlockedExchange(&s->failed, 1);
            break;
        }
        w->bytes += n;
        w->objects++;
    }
    w->end = now_seconds();
cleanup:
    if (buf)
        HeapFree(GetProcessHeap(), 0, buf);
    if (session)
        WinHttpCloseHandle(session);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    Shared shared = {};
    Worker workers[MAX_CONNECTIONS] = {};
    HANDLE threads[MAX_CONNECTIONS] = {};
    int connections = 1, started = 0, code = 1;
    char *list = nullptr;
    for (int a = 2; a < argc; a++) {
        if (!lstrcmpW(argv[a], L"--session-per-object"))
            shared.per_object = true;
        else if (!lstrcmpW(argv[a], L"--connections") && a + 1 < argc)
            connections = _wtoi(argv[++a]);
        else
            connections = 0;
    }
    if (argc < 2 || connections < 1 || connections > MAX_CONNECTIONS) {
        fprintf(stderr, "usage: bench_winhttp URL_LIST [--connections 1-8] [--session-per-object]\n");
        return 2;
    }
    list = load_text(argv[1]);
    shared.nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (list) {
        // Every line start bounds the count of URLs.
        LONG most = 1;
        for (const char *c = list; *c; c++)
            most += *c == '\n';
        shared.urls = (char **)HeapAlloc(GetProcessHeap(), 0, most * sizeof(char *));
    }
    if (!list || !shared.urls || shared.nul == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "bench_winhttp: cannot read the list or open NUL\n");
        goto cleanup;
    }
    for (char *line = strtok(list, "\r\n"); line; line = strtok(nullptr, "\r\n"))
        shared.urls[shared.count++] = line;
    http_set_user_agent(LAUNCHER_USER_AGENT);

    for (; started < connections; started++) {
        workers[started].shared = &shared;
        threads[started] = CreateThread(nullptr, 0, work, &workers[started], 0, nullptr);
        if (!threads[started]) {
            fprintf(stderr, "bench_winhttp: cannot start a thread\n");
            InterlockedExchange(&shared.failed, 1);
            break;
        }
    }
    if (started)
        WaitForMultipleObjects(started, threads, TRUE, INFINITE);
    if (!shared.failed) {
        long long bytes = 0, reads = 0;
        int objects = 0;
        double first = workers[0].start, last = workers[0].end;
        for (int i = 0; i < started; i++) {
            bytes += workers[i].bytes;
            reads += workers[i].reads;
            objects += workers[i].objects;
            first = workers[i].start < first ? workers[i].start : first;
            last = workers[i].end > last ? workers[i].end : last;
        }
        double t = last - first;
        printf("winhttp: %d objects, %lld bytes, %.3f s, %.1f MB/s, %lld reads\n", objects, bytes, t,
               (double)bytes / t / 1e6, reads);
        code = 0;
    }

cleanup:
    for (int i = 0; i < started; i++)
        CloseHandle(threads[i]);
    if (shared.nul != INVALID_HANDLE_VALUE)
        CloseHandle(shared.nul);
    if (shared.urls)
        HeapFree(GetProcessHeap(), 0, shared.urls);
    if (list)
        HeapFree(GetProcessHeap(), 0, list);
    return code;
}
