#include "support/servers.h"

#include "content/content.h"
#include "net/net.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace net_test {

namespace {

const std::string STATE = KORVANTH_BINARY_DIR "/net-servers";

std::string port_of(const std::string &file)
{
    std::string text;
    if (!testing_support::read_file(testing_support::wine_path(STATE + "/" + file), &text)) {
        ADD_FAILURE() << "no " << file << ": the net_servers fixture did not run";
        return "1";
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::wstring url(Scheme scheme, const std::string &port_file, const std::string &path)
{
    return testing_support::widen(std::string(scheme) + "://127.0.0.1:" + port_of(port_file) +
                                  "/" + path);
}

uint32_t fast_tick(void)
{
    // Differences stay right across the product's wrap.
    return GetTickCount() * FastRuleClock::SCALE;
}

}  // namespace

FastRuleClock::FastRuleClock() : saved_(http_rate_tick)
{
    http_rate_tick = fast_tick;
}

FastRuleClock::~FastRuleClock()
{
    http_rate_tick = saved_;
    http_set_slow_rule(0, 0);
}

std::wstring mirror_url(Scheme scheme, const std::string &name)
{
    return url(scheme, std::string("mirror/") + scheme + ".port", name);
}

std::wstring fault_url(Scheme scheme, const std::string &path)
{
    return url(scheme, std::string("fault-") + scheme + ".port", path);
}

std::wstring untrusted_url(const std::string &path)
{
    return url("https", "untrusted-https.port", path);
}

std::wstring unreachable_url()
{
    // Port 1 (tcpmux) is privileged and unused on the test machines.
    return L"http://127.0.0.1:1/obj5000";
}

std::string served(const std::string &name)
{
    std::string bytes;
    EXPECT_TRUE(testing_support::read_file(testing_support::wine_path(STATE + "/tree/" + name), &bytes))
        << name;
    return bytes;
}

std::string pattern_bytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)((i * 7 + 3) % 251);
    return s;
}

std::string hex(const uint8_t *digest)
{
    char text[SHA256_HEX_CHARS];
    hex_encode(digest, SHA256_BYTES, text);
    return text;
}

std::string sha256_of(const std::string &bytes)
{
    uint8_t digest[SHA256_BYTES];
    EXPECT_TRUE(sha256_buffer(bytes.data(), bytes.size(), digest));
    return hex(digest);
}

}  // namespace net_test
