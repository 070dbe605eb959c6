// Network: the launcher's only HTTP client, over WinHTTP.
#pragma once

#include <stddef.h>

// Sets the user agent of every session opened afterwards (at most 63
// characters; longer texts are cut). Until it is called the agent is
// "Korvanth/0".
void http_set_user_agent(const wchar_t *agent);

// The current user agent (for sessions and tests).
const wchar_t *http_user_agent(void);
