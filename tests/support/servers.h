// The local servers of the network tests, started by the net_servers fixture
// (tests/servers/servers.sh): their addresses and the files they serve.
#pragma once

#include <stdint.h>

#include <string>

namespace net_test {

// "https" or "http".
typedef const char *Scheme;

// The mirror (nginx): `name` below its root, e.g. "obj5000".
std::wstring mirror_url(Scheme scheme, const std::string &name);
// The fault server: `path` names the fault, e.g. "short/obj5000".
std::wstring fault_url(Scheme scheme, const std::string &path);
// The fault server with a certificate from an authority nobody trusts.
std::wstring untrusted_url(const std::string &path);
// A port where nothing listens: any request to it fails.
std::wstring unreachable_url();

// The bytes of a served file.
std::string served(const std::string &name);
// The body of the fault server's /bytes/N.
std::string pattern_bytes(size_t n);

// The slow-transfer rule's clock runs SCALE times as fast while one of these
// lives: its 30 s window passes in 3 s, and a fault-server pace of MS
// milliseconds stands for ten times as long. The rule's thresholds are
// restored too, for cases that also change them.
class FastRuleClock {
public:
    static constexpr uint32_t SCALE = 10;
    FastRuleClock();
    ~FastRuleClock();
    FastRuleClock(const FastRuleClock &) = delete;
    FastRuleClock &operator=(const FastRuleClock &) = delete;

private:
    uint32_t (*saved_)(void);
};

std::string sha256_of(const std::string &bytes);
std::string hex(const uint8_t *digest);

}  // namespace net_test
