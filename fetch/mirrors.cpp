// The mirror list: the built-in pair and the mirrors a release names.
#include "fetch/fetch.h"

#include "korvanth_config.h"

#include <windows.h>

namespace {

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
    list->benched = 0;
    return manifest ? add_manifest_mirrors(manifest, list, 2) : 2;
}

int add_manifest_mirrors(const Manifest *manifest, MirrorList *list, int count)
{
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
