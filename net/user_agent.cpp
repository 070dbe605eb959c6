#include "net/net.h"

#include <wchar.h>

namespace {
wchar_t g_user_agent[64] = L"Korvanth/0";
}

void http_set_user_agent(const wchar_t *agent)
{
    wcsncpy(g_user_agent, agent, 63);
    g_user_agent[63] = 0;
}

const wchar_t *http_user_agent(void)
{
    return g_user_agent;
}
