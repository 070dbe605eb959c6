// What kind of answer a document's request got, beyond its status: a web
// page (the sign-in page a hotel's or a train's network serves in place of
// every address) tells itself by its type, or by a redirect to another
// host. Kept per thread, like the last stall: the GETs' results are fixed.
#include "net/net_internal.h"

#include <windows.h>
#include <winhttp.h>

#include <string.h>

namespace {

const DWORD URL_CHARS = 2048;
const DWORD TYPE_CHARS = 128;

thread_local HttpAnswer g_answer;
// The address of the last redirect the calling thread's request followed
// (empty: none); a request's callbacks run on the thread that waits for it.
thread_local wchar_t g_redirected[URL_CHARS];

void CALLBACK on_redirect(HINTERNET, DWORD_PTR, DWORD status, void *info, DWORD length)
{
    if (status != WINHTTP_CALLBACK_STATUS_REDIRECT || !info)
        return;
    DWORD chars = length < URL_CHARS ? length : URL_CHARS - 1;
    memcpy(g_redirected, info, chars * sizeof(wchar_t));
    g_redirected[chars] = 0;
}

// The host of `url`, cut to `cap` characters; empty when it has none.
void host_of(const wchar_t *url, wchar_t *host, DWORD cap)
{
    host[0] = 0;
    URL_COMPONENTS parts;
    ZeroMemory(&parts, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = cap;
    if (!WinHttpCrackUrl(url, 0, 0, &parts))
        host[0] = 0;
}

}  // namespace

void http_watch_redirects(void *request)
{
    g_redirected[0] = 0;
    WinHttpSetStatusCallback((HINTERNET)request, on_redirect, WINHTTP_CALLBACK_FLAG_REDIRECT, 0);
}

void http_note_answer(void *request, const wchar_t *url)
{
    HttpAnswer *a = &g_answer;
    ZeroMemory(a, sizeof *a);
    if (!request)
        return;
    wchar_t type[TYPE_CHARS];
    DWORD bytes = sizeof type;
    if (WinHttpQueryHeaders((HINTERNET)request, WINHTTP_QUERY_CONTENT_TYPE,
                            WINHTTP_HEADER_NAME_BY_INDEX, type, &bytes, WINHTTP_NO_HEADER_INDEX))
        a->html_type = CompareStringOrdinal(type, 9, L"text/html", 9, TRUE) == CSTR_EQUAL;
    // Where the answer came from after any redirect WinHTTP followed.
    wchar_t asked[HTTP_HOST_CHARS];
    host_of(url, asked, HTTP_HOST_CHARS);
    lstrcpynW(a->host, asked, HTTP_HOST_CHARS);
    if (g_redirected[0]) {
        host_of(g_redirected, a->host, HTTP_HOST_CHARS);
        a->elsewhere = a->host[0] && lstrcmpiW(a->host, asked) != 0;
    }
}

HttpAnswer http_last_answer(void)
{
    return g_answer;
}
