// The platform's ceiling for the launcher's downloads: WinHTTP fetching a
// list of objects from a mirror into NUL, with the launcher's own session
// settings (http_open_session, http_open_get) and the same 256 KiB reads.
// Nothing is stored, hashed or decoded: what is left is what WinHTTP itself
// costs, the limit any WinHTTP client on this system can reach.
//
// Usage: bench_winhttp URL_LIST [--session-per-object]
//   URL_LIST: a UTF-8 text file with one absolute URL a line.
//   One session serves every request (its connections are kept alive), or,
//   with --session-per-object, a new session for each object as the launcher
//   opens one per download call.
// Prints "winhttp: N objects, B bytes, S s, R MB/s" (10^6 bytes); exit 1 on
// any failed request.
#include "net/net.h"

#include <windows.h>
#include <winhttp.h>

#include <stdio.h>
#include <string.h>

#include "bench_clock.h"

namespace {

char *load_text(const wchar_t *path)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD size = GetFileSize(f, nullptr);
    char *text = (char *)HeapAlloc(GetProcessHeap(), 0, size + 1);
    DWORD got = 0;
    if (text && (!ReadFile(f, text, size, &got, nullptr) || got != size)) {
        HeapFree(GetProcessHeap(), 0, text);
        text = nullptr;
    }
    if (text)
        text[got] = 0;
    CloseHandle(f);
    return text;
}

// One GET into NUL; the body's length, or -1 on failure.
long long g_reads;

long long fetch(HINTERNET session, const wchar_t *url, char *buf, HANDLE nul)
{
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
            g_reads++;
            total += read;
        }
    }
    if (request)
        WinHttpCloseHandle(request);
    if (connection)
        WinHttpCloseHandle((HINTERNET)connection);
    return total;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_winhttp URL_LIST [--session-per-object]\n");
        return 2;
    }
    bool per_object = argc > 2 && !lstrcmpW(argv[2], L"--session-per-object");
    char *list = load_text(argv[1]);
    char *buf = (char *)HeapAlloc(GetProcessHeap(), 0, HTTP_TRANSFER_BYTES);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (!list || !buf || nul == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "bench_winhttp: cannot read the list or open NUL\n");
        return 1;
    }
    http_set_user_agent(L"Korvanth/0.2.7");
    HINTERNET session = per_object ? nullptr : (HINTERNET)http_open_session();
    long long bytes = 0;
    int objects = 0;
    double t0 = now_seconds();
    for (char *line = strtok(list, "\r\n"); line; line = strtok(nullptr, "\r\n")) {
        wchar_t url[1024];
        if (!MultiByteToWideChar(CP_UTF8, 0, line, -1, url, 1024))
            return 1;
        HINTERNET s = per_object ? (HINTERNET)http_open_session() : session;
        long long n = fetch(s, url, buf, nul);
        if (per_object)
            WinHttpCloseHandle(s);
        if (n < 0) {
            fprintf(stderr, "bench_winhttp: %s failed\n", line);
            return 1;
        }
        bytes += n;
        objects++;
    }
    double t = now_seconds() - t0;
    if (session)
        WinHttpCloseHandle(session);
    printf("winhttp: %d objects, %lld bytes, %.3f s, %.1f MB/s, %lld reads\n", objects, bytes, t,
           (double)bytes / t / 1e6, g_reads);
    return 0;
}
