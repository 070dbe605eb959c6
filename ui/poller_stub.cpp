// Stand-in until the poller lands.
#include "ui/ui.h"

#include "korvanth_config.h"

#include <windows.h>

namespace {
wchar_t g_web_url[256];
}

void poller_set_web_url(const wchar_t *base_url)
{
    g_web_url[0] = 0;
    if (base_url)
        lstrcpynW(g_web_url, base_url, 256);
}

const wchar_t *poller_web_url(void)
{
    return g_web_url[0] ? g_web_url : KORVANTH_WEB_URL;
}

void poller_start(void *window)
{
    (void)window;
}
