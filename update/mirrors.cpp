// The mirror list and the fetch of a signed, not-older manifest from it.
#include "update/update.h"

#include "korvanth_config.h"
#include "net/net.h"

#include <windows.h>

namespace {

// A mirror's base URL followed by "manifest.json" or "manifest.sig".
const size_t MANIFEST_URL_CHARS = 320;

// The built-in mirrors are settings of the build: one that does not fit its
// slot would be cut into another address.
static_assert(sizeof KORVANTH_DOWNLOAD_URL / sizeof(wchar_t) <= MIRROR_CHARS,
              "KORVANTH_DOWNLOAD_URL is too long for a mirror slot");
static_assert(sizeof(KORVANTH_WEB_URL L"files/") / sizeof(wchar_t) <= MIRROR_CHARS,
              "KORVANTH_WEB_URL is too long for a mirror slot");

void copy_url(wchar_t *dst, const wchar_t *src)
{
    lstrcpynW(dst, src, MIRROR_CHARS);
}

wchar_t g_builtin[2][MIRROR_CHARS];

void free_body(char *body)
{
    if (body)
        HeapFree(GetProcessHeap(), 0, body);
}

// The address of `name` on `mirror` into `url` (MANIFEST_URL_CHARS); false,
// logged, when it does not fit: the mirror is passed over, never asked for a
// cut address.
bool manifest_url(wchar_t *url, const wchar_t *mirror, const wchar_t *name)
{
    if (format_wide(url, MANIFEST_URL_CHARS, L"%s%s", mirror, name) >= 0)
        return true;
    log_wprintf(L"manifest: address of %s on %s too long", name, mirror);
    return false;
}

// The failed fetch of `url` (`what` is "manifest" or "manifest.sig").
void log_fetch_failure(const wchar_t *what, const wchar_t *url, int status)
{
    if (status == HTTP_TOO_SLOW) {
        HttpStall stall = http_last_stall();
        log_wprintf(L"%s: %s too slow, %llu bytes in %u s", what, url,
                    (unsigned long long)stall.bytes, stall.seconds);
    } else {
        log_wprintf(L"%s: %s -> %d", what, url, status);
    }
}

}  // namespace

void mirrors_set_builtin(const wchar_t *download_url, const wchar_t *files_url)
{
    g_builtin[0][0] = g_builtin[1][0] = 0;
    if (download_url && files_url) {
        copy_url(g_builtin[0], download_url);
        copy_url(g_builtin[1], files_url);
    }
}

int build_mirror_list(const Manifest *manifest, MirrorList *list)
{
    if (g_builtin[0][0]) {
        copy_url(list->url[0], g_builtin[0]);
        copy_url(list->url[1], g_builtin[1]);
    } else {
        copy_url(list->url[0], KORVANTH_DOWNLOAD_URL);
        copy_url(list->url[1], KORVANTH_WEB_URL L"files/");
    }
    int count = 2;
    if (!manifest)
        return count;
    for (int i = 0; i < manifest->mirror_count && count < MIRROR_SLOTS; i++) {
        const wchar_t *candidate = manifest->mirrors[i];
        bool known = false;
        for (int j = 0; j < count && !known; j++)
            known = lstrcmpiW(list->url[j], candidate) == 0;
        if (!known)
            copy_url(list->url[count++], candidate);
    }
    return count;
}

int fetch_manifest(void *window, const MirrorList *list, int count, int64_t applied_time,
                   Manifest *manifest, int *mirror_index, int *older_seen)
{
    *older_seen = 0;
    for (int m = 0; m < count; m++) {
        const wchar_t *mirror = list->url[m];
        wchar_t url[MANIFEST_URL_CHARS];
        char *body = nullptr, *sig = nullptr;
        uint32_t body_len = 0, sig_len = 0;

        if (!manifest_url(url, mirror, L"manifest.json"))
            continue;
        int status = http_get_to_memory(url, &body, &body_len, MANIFEST_BODY_LIMIT);
        if (status != 200 || body_len == 0) {
            log_fetch_failure(L"manifest", url, status);
            free_body(body);
            continue;
        }

        if (!manifest_url(url, mirror, L"manifest.sig")) {
            free_body(body);
            continue;
        }
        status = http_get_to_memory(url, &sig, &sig_len, SIGNATURE_BODY_LIMIT);
        if (status != 200 || sig_len == 0) {
            log_fetch_failure(L"manifest.sig", url, status);
            free_body(sig);
            free_body(body);
            continue;
        }

        bool signed_ok = manifest_signature_valid(body, body_len, sig, sig_len);
        free_body(sig);
        if (!signed_ok) {
            log_wprintf(L"manifest: bad signature from %s", mirror);
            free_body(body);
            post_status(window, L"Invalid version");
            continue;
        }

        char error[JSON_ERROR_BYTES];
        bool parsed = manifest_parse(body, body_len, manifest, error);
        free_body(body);
        if (!parsed) {
            log_printf("%s (from mirror %d)", error, m);
            continue;
        }

        if (manifest->generated >= applied_time) {
            *mirror_index = m;
            log_wprintf(L"manifest %S (%S) from %s: %d files", manifest->version,
                        manifest->generated_text, mirror, manifest->file_count);
            return 1;
        }
        log_wprintf(L"manifest %S from %s older than the applied one (%lld < %lld): next mirror",
                    manifest->version, mirror, (long long)manifest->generated,
                    (long long)applied_time);
        manifest_free(manifest);
        *older_seen = 1;
    }
    return 0;
}
