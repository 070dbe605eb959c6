// Whole bodies into memory: the limit at its exact edge, bodies of error
// answers, and lengths that do not fit in 32 bits.
#include "korvanth_config.h"
#include "net/net.h"
#include "support/servers.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

using namespace net_test;

namespace {

struct Body {
    char *data = nullptr;
    uint32_t len = 0;
    ~Body()
    {
        if (data)
            HeapFree(GetProcessHeap(), 0, data);
    }
    std::string text() const { return data ? std::string(data, len) : std::string(); }
};

class MemoryGet : public ::testing::TestWithParam<Scheme> {
protected:
    Scheme scheme() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Schemes, MemoryGet, ::testing::Values("https", "http"));

TEST_P(MemoryGet, LimitIsInclusive)
{
    const struct {
        uint32_t size, limit;
        int result;
        const char *why;
    } cases[] = {
        {4096, 4096, 200, "exactly the signature limit"},
        {4097, 4096, 0, "one byte more"},
        {65536, 65536, 200, "the first buffer plus the terminator"},
        {65537, 65536, 0, "one byte more"},
        {200000, 4194304, 200, "several doublings"},
        {1, 0, 0, "nothing allowed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        Body body;
        std::wstring url = fault_url(scheme(), "bytes/" + std::to_string(c.size));
        EXPECT_EQ(http_get_to_memory(url.c_str(), &body.data, &body.len, c.limit), c.result);
        if (c.result) {
            ASSERT_NE(body.data, nullptr);
            EXPECT_EQ(sha256_of(body.text()), sha256_of(pattern_bytes(c.size)));
            EXPECT_EQ(body.data[body.len], 0);
        } else {
            EXPECT_EQ(body.data, nullptr);
            EXPECT_EQ(body.len, 0u);
        }
    }
}

// Into the caller's buffer: the capacity is the limit, and nothing is
// written past it (a guard page stands right behind the buffer).
TEST_P(MemoryGet, CallersBufferIsTheLimit)
{
    const struct {
        uint32_t size, capacity;
        int result;
        const char *why;
    } cases[] = {
        {4096, 4096, 200, "exactly the capacity"},
        {4097, 4096, 0, "one byte more"},
        {300000, 300000, 200, "many reads"},
        {300001, 300000, 0, "one byte more on a larger body"},
    };
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        // The buffer ends where a PAGE_NOACCESS page begins.
        SIZE_T pages = (c.capacity + info.dwPageSize - 1) / info.dwPageSize;
        char *area = (char *)VirtualAlloc(nullptr, (pages + 1) * info.dwPageSize,
                                          MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        ASSERT_NE(area, nullptr);
        DWORD old = 0;
        ASSERT_TRUE(VirtualProtect(area + pages * info.dwPageSize, info.dwPageSize, PAGE_NOACCESS,
                                   &old));
        char *buffer = area + pages * info.dwPageSize - c.capacity;
        uint32_t len = 12345;
        std::wstring url = fault_url(scheme(), "bytes/" + std::to_string(c.size));
        EXPECT_EQ(http_get_into(url.c_str(), buffer, c.capacity, &len), c.result);
        if (c.result) {
            ASSERT_EQ(len, c.size);
            EXPECT_EQ(sha256_of(std::string(buffer, len)), sha256_of(pattern_bytes(c.size)));
        } else {
            EXPECT_EQ(len, 0u);
        }
        VirtualFree(area, 0, MEM_RELEASE);
    }
    // A body longer than the capacity that announces no length at all.
    char small[4000];
    uint32_t len = 1;
    EXPECT_EQ(http_get_into(fault_url(scheme(), "long-unannounced/obj5000").c_str(), small,
                            sizeof small, &len),
              0);
    EXPECT_EQ(len, 0u);
}

TEST_P(MemoryGet, EmptyBodyHasNoBuffer)
{
    Body body;
    std::wstring url = mirror_url(scheme(), "empty");
    EXPECT_EQ(http_get_to_memory(url.c_str(), &body.data, &body.len, 4096), 200);
    EXPECT_EQ(body.data, nullptr);
    EXPECT_EQ(body.len, 0u);
}

TEST_P(MemoryGet, MirrorFileArrivesWhole)
{
    Body body;
    std::wstring url = mirror_url(scheme(), "obj600k");
    EXPECT_EQ(http_get_to_memory(url.c_str(), &body.data, &body.len, 4194304), 200);
    EXPECT_EQ(sha256_of(body.text()), sha256_of(served("obj600k")));
}

TEST_P(MemoryGet, ErrorStatusComesWithItsBody)
{
    for (int status : {404, 500}) {
        Body body;
        std::wstring url = fault_url(scheme(), "status/" + std::to_string(status));
        EXPECT_EQ(http_get_to_memory(url.c_str(), &body.data, &body.len, 4096), status);
        EXPECT_EQ(body.text(), "status " + std::to_string(status) + " body");
    }
    Body body;
    EXPECT_EQ(http_get_to_memory(mirror_url(scheme(), "missing.json").c_str(), &body.data,
                                 &body.len, 65536),
              404);
}

TEST_P(MemoryGet, LengthBeyond32BitsIsRefused)
{
    Body body;
    std::wstring url = fault_url(scheme(), "huge/obj5000");
    EXPECT_EQ(http_get_to_memory(url.c_str(), &body.data, &body.len, 0xFFFFFFFFu), 0);
    EXPECT_EQ(body.data, nullptr);
}

TEST_P(MemoryGet, EncodedBodyIsHandedOverAsSent)
{
    // Only downloads judge Content-Encoding; no decompression happens here.
    Body body;
    std::wstring url = fault_url(scheme(), "encoding/gzip/obj5000");
    EXPECT_EQ(http_get_to_memory(url.c_str(), &body.data, &body.len, 65536), 200);
    EXPECT_EQ(sha256_of(body.text()), sha256_of(served("obj5000")));
}

TEST(MemoryGetTls, CertificateFromUntrustedAuthorityIsRefused)
{
    Body body;
    EXPECT_EQ(http_get_to_memory(untrusted_url("file/obj5000").c_str(), &body.data, &body.len, 65536), 0);
    EXPECT_EQ(body.data, nullptr);
}

TEST(MemoryGetUrl, MalformedUrlFails)
{
    Body body;
    EXPECT_EQ(http_get_to_memory(L"not a url", &body.data, &body.len, 65536), 0);
    EXPECT_EQ(http_get_to_memory(L"ftp://127.0.0.1/x", &body.data, &body.len, 65536), 0);
}

TEST(UserAgent, IsCutAt63Characters)
{
    http_set_user_agent(L"Korvanth/" KORVANTH_VERSION);
    EXPECT_STREQ(http_user_agent(), L"Korvanth/" KORVANTH_VERSION);
    std::wstring long_agent(100, L'a');
    http_set_user_agent(long_agent.c_str());
    EXPECT_EQ(wcslen(http_user_agent()), 63u);
}

TEST(ContentLength, ParsesIn64Bits)
{
    const struct {
        const wchar_t *text;
        uint64_t value;
    } cases[] = {
        {L"0", 0},
        {L"5000", 5000},
        {L" 4294967296\t", 4294967296ull},
        {L"18446744073709551614", 18446744073709551614ull},
        {L"18446744073709551616", UINT64_MAX},  // wraps in 64 bits
        {L"", UINT64_MAX},
        {L"-1", UINT64_MAX},
        {L"12 34", UINT64_MAX},
        {L"0x10", UINT64_MAX},
    };
    for (const auto &c : cases)
        EXPECT_EQ(http_parse_length(c.text), c.value) << testing::PrintToString(std::wstring(c.text));
}

}  // namespace
