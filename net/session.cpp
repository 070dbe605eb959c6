// Sessions, requests and response headers: the WinHTTP calls every GET of the
// launcher shares.
#include "net/net_internal.h"

#include <windows.h>
#include <winhttp.h>

namespace {

const DWORD RESOLVE_TIMEOUT_MS = 30000;
const DWORD CONNECT_TIMEOUT_MS = 30000;
const DWORD SEND_TIMEOUT_MS = 30000;

// WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | _TLS1_3; older headers lack the latter.
const DWORD PROTOCOLS_TLS12_TLS13 = 0x2800;
const DWORD PROTOCOLS_TLS12 = 0x800;
const DWORD ACCESS_TYPE_AUTOMATIC_PROXY = 4;

const DWORD HOST_CHARS = 256;
const DWORD URL_PATH_CHARS = 1024;
const DWORD ENCODING_BYTES = 128;
const DWORD LENGTH_BYTES = 128;

}  // namespace

void *http_open_session(void)
{
    HINTERNET session = WinHttpOpen(http_user_agent(), ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        session = WinHttpOpen(http_user_agent(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        return nullptr;
    WinHttpSetTimeouts(session, RESOLVE_TIMEOUT_MS, CONNECT_TIMEOUT_MS, SEND_TIMEOUT_MS,
                       SESSION_RECEIVE_TIMEOUT_MS);
    DWORD protocols = PROTOCOLS_TLS12_TLS13;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = PROTOCOLS_TLS12;
        WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }
    return session;
}

void http_close_session(void *session)
{
    if (session)
        WinHttpCloseHandle((HINTERNET)session);
}

void *http_open_get(void *session, const wchar_t *url, void **connection_out)
{
    *connection_out = nullptr;
    wchar_t host[HOST_CHARS];
    wchar_t path[URL_PATH_CHARS];
    URL_COMPONENTS parts;
    ZeroMemory(&parts, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = HOST_CHARS;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = URL_PATH_CHARS;
    if (!WinHttpCrackUrl(url, 0, 0, &parts))
        return nullptr;

    HINTERNET connection = WinHttpConnect((HINTERNET)session, host, parts.nPort, 0);
    if (!connection)
        return nullptr;
    DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!request) {
        WinHttpCloseHandle(connection);
        return nullptr;
    }
    // A receive that waits out the slow-transfer window has already broken
    // the rule: the wait for the response and every read end there. Where
    // the system refuses, the session's time-outs stay.
    DWORD receive_ms = slow_rule_receive_timeout_ms();
    WinHttpSetTimeouts(request, RESOLVE_TIMEOUT_MS, CONNECT_TIMEOUT_MS, SEND_TIMEOUT_MS,
                       receive_ms);
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive_ms,
                     sizeof receive_ms);
    *connection_out = connection;
    return request;
}

int http_status_code(void *request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders((HINTERNET)request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return (int)status;
}

int http_unasked_encoding(void *request)
{
    wchar_t value[ENCODING_BYTES / sizeof(wchar_t)];
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders((HINTERNET)request, WINHTTP_QUERY_CONTENT_ENCODING,
                             WINHTTP_HEADER_NAME_BY_INDEX, value, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    if (value[0] == 0)
        return 0;
    return CompareStringOrdinal(value, -1, L"identity", -1, TRUE) == CSTR_EQUAL ? 0 : 1;
}

int http_announced_length(void *request, uint64_t *length_out)
{
    *length_out = 0;
    wchar_t value[LENGTH_BYTES / sizeof(wchar_t)];
    DWORD size = sizeof value;
    if (WinHttpQueryHeaders((HINTERNET)request, WINHTTP_QUERY_CONTENT_LENGTH,
                            WINHTTP_HEADER_NAME_BY_INDEX, value, &size, WINHTTP_NO_HEADER_INDEX)) {
        *length_out = http_parse_length(value);
        return 1;
    }
    // Present but too long for the buffer: no honest length is that long.
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        *length_out = UINT64_MAX;
        return 1;
    }
    return 0;
}

int http_get_send(HttpGet *get, void *kept_session, const wchar_t *url, const wchar_t *headers)
{
    ZeroMemory(get, sizeof *get);
    get->own_session = kept_session == nullptr;
    get->session = kept_session ? kept_session : http_open_session();
    if (!get->session)
        return 0;
    get->request = http_open_get(get->session, url, &get->connection);
    if (!get->request)
        return 0;
    HINTERNET request = (HINTERNET)get->request;
    slow_watch_begin(&get->watch);
    http_watch_redirects(request);
    if (!WinHttpSendRequest(request, headers ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                            headers ? (DWORD)-1 : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return 0;
    if (!WinHttpReceiveResponse(request, nullptr))
        return slow_watch_timed_out() ? HTTP_TOO_SLOW : 0;
    get->status = http_status_code(request);
    return 1;
}

void http_get_close(HttpGet *get)
{
    if (get->request)
        WinHttpCloseHandle((HINTERNET)get->request);
    if (get->connection)
        WinHttpCloseHandle((HINTERNET)get->connection);
    if (get->own_session)
        http_close_session(get->session);
}
