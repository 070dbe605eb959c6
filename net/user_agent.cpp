#include "net/net.h"

#include <wchar.h>

namespace {
wchar_t g_user_agent[HTTP_USER_AGENT_CHARS] = L"Korvanth/0";
}

void http_set_user_agent(const wchar_t *agent)
{
    wcsncpy(g_user_agent, agent, HTTP_USER_AGENT_CHARS - 1);
    g_user_agent[HTTP_USER_AGENT_CHARS - 1] = 0;
}

const wchar_t *http_user_agent(void)
{
    return g_user_agent;
}
