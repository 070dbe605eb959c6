// The slow-transfer rule: the rate watch on its own over simulated lines,
// then each kind of GET against the fault server's paced and silent routes,
// with the rule's clock run ten times as fast so that a 30 s window passes
// in 3 s.
#include "base/base.h"
#include "net/net.h"
#include "support/servers.h"
#include "support/support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

using namespace net_test;
using testing_support::TempDir;
using testing_support::file_size;
using testing_support::read_file;
using testing_support::write_file;

namespace {

// Rate watch ------------------------------------------------------------------

const uint32_t NEVER = UINT32_MAX;

// A line that moves `piece` bytes at once and every `every_ms` after, looked
// at every 100 ms for `run_ms`. Result: the ms into the transfer at which
// the rule cut it, or NEVER.
uint32_t first_cut(uint32_t start, uint32_t min_bytes, uint32_t window_ms, uint32_t piece,
                   uint32_t every_ms, uint32_t run_ms, HttpStall *stall)
{
    RateWatch w;
    rate_watch_begin(&w, start, min_bytes, window_ms);
    for (uint32_t t = 0; t <= run_ms; t += 100) {
        uint32_t moved = every_ms && t % every_ms == 0 ? piece : 0;
        if (!rate_watch_step(&w, start + t, moved, stall))
            return t;
    }
    return NEVER;
}

TEST(RateWatch, CutsOnlyWhatStaysBelowTheMinimum)
{
    const uint32_t MIN = HTTP_SLOW_MIN_BYTES, WINDOW = HTTP_SLOW_WINDOW_MS;
    const uint32_t TEN_MIN = 600000;
    const struct {
        uint32_t start, min_bytes, window_ms, piece, every_ms, run_ms;
        uint32_t cut_from, cut_to;  // the cut falls in [cut_from, cut_to], or NEVER
        uint64_t stall_bytes;
        const char *why;
    } rows[] = {
        {0, MIN, WINDOW, 100, 5000, TEN_MIN, 30000, 31900, 700,
         "100 bytes every 5 s: cut within a slot of the window"},
        {0, MIN, WINDOW, 8192, 20000, TEN_MIN, NEVER, NEVER, 0,
         "8 KiB every 20 s keeps the rate, however long"},
        {0, MIN, WINDOW, MIN, WINDOW, TEN_MIN, NEVER, NEVER, 0,
         "the minimum exactly once a window is enough"},
        {0, MIN, WINDOW, MIN - 1, WINDOW, TEN_MIN, 30000, 31900, MIN - 1,
         "one byte short of it is not"},
        {0, MIN, WINDOW, 0, 0, 29900, NEVER, NEVER, 0,
         "silence is judged only once a whole window has passed"},
        {0, MIN, WINDOW, 0, 0, TEN_MIN, 30000, 30000, 0, "silence for the window"},
        {0, MIN, WINDOW, 1048576, TEN_MIN, TEN_MIN, 30000, 31900, 0,
         "a megabyte at the start carries the transfer one window, a slot more at most"},
        {0xFFFFF000u, MIN, WINDOW, 100, 5000, TEN_MIN, 30000, 31900, 700,
         "the tick count wraps during the transfer"},
        {0, 0, WINDOW, 0, 0, TEN_MIN, NEVER, NEVER, 0, "a minimum of 0 is no rule"},
        {0, MIN, 1500, 100, 200, 20000, 1500, 1600, 800, "a window scaled down for tests"},
        {0, MIN, 5, 0, 0, 1000, 100, 100, 0, "a window shorter than its slots"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.why);
        HttpStall stall = {UINT64_MAX, UINT32_MAX};
        uint32_t cut = first_cut(r.start, r.min_bytes, r.window_ms, r.piece, r.every_ms,
                                 r.run_ms, &stall);
        if (r.cut_from == NEVER) {
            EXPECT_EQ(cut, NEVER);
            continue;
        }
        EXPECT_GE(cut, r.cut_from);
        EXPECT_LE(cut, r.cut_to);
        EXPECT_EQ(stall.bytes, r.stall_bytes);
        // The measured span is never shorter than the window.
        EXPECT_GE(stall.seconds, r.window_ms / 1000);
        EXPECT_LE(stall.seconds, (r.window_ms + r.window_ms / 8) / 1000);
    }
}

// GETs against the fault server ------------------------------------------------

// 100 bytes every 500 ms stands for 100 bytes every 5 s; 8 KiB every 2 s for
// 8 KiB every 20 s.
const char TRICKLE[] = "pace/100/500/";
const char STEADY[] = "pace/8192/2000/";

class SlowGet : public ::testing::Test {
protected:
    void SetUp() override { log_open(dir_.path().c_str()); }

    // Runs `get`, returning its result; `seconds` is the real time it took.
    template <class F> int timed(F get, double *seconds)
    {
        DWORD begun = GetTickCount();
        int result = get();
        *seconds = (GetTickCount() - begun) / 1000.0;
        return result;
    }

    FastRuleClock clock_;
    TempDir dir_;
};

TEST_F(SlowGet, TrickledObjectIsAbandonedAndItsPartResumedElsewhere)
{
    const std::string want = served("obj5000");
    std::wstring file = dir_ / L"object.part";
    uint8_t digest[32];
    double took = 0;
    int result = timed([&] {
        return http_download_to_file(fault_url("https", std::string(TRICKLE) + "obj5000").c_str(),
                                     file.c_str(), 5000, digest, nullptr, nullptr);
    }, &took);
    EXPECT_EQ(result, HTTP_TOO_SLOW);
    EXPECT_GE(took, 2.5) << "the window is 3 s of real time";
    EXPECT_LT(took, 8.0);
    HttpStall stall = http_last_stall();
    EXPECT_GT(stall.bytes, 0u);
    EXPECT_LT(stall.bytes, (uint64_t)HTTP_SLOW_MIN_BYTES);
    EXPECT_GE(stall.seconds, 30u);

    // What arrived is kept, the object's own first bytes, for a resume.
    std::string kept;
    ASSERT_TRUE(read_file(file, &kept));
    EXPECT_GE(kept.size(), 500u);
    EXPECT_LT(kept.size(), 2000u);
    EXPECT_EQ(kept, want.substr(0, kept.size()));
    EXPECT_EQ(http_download_to_file(mirror_url("https", "obj5000").c_str(), file.c_str(), 5000,
                                    digest, nullptr, nullptr),
              206);
    EXPECT_EQ(hex(digest), sha256_of(want));
}

TEST_F(SlowGet, LineAboveTheMinimumIsNeverCut)
{
    // The last 32 KiB of an object resumed at 8 KiB every 20 s: two windows.
    const std::string want = served("obj600k");
    const size_t tail = 32768;
    std::wstring file = dir_ / L"object.part";
    ASSERT_TRUE(write_file(file, want.substr(0, want.size() - tail)));
    uint8_t digest[32];
    double took = 0;
    int result = timed([&] {
        return http_download_to_file(fault_url("https", std::string(STEADY) + "obj600k").c_str(),
                                     file.c_str(), want.size(), digest, nullptr, nullptr);
    }, &took);
    EXPECT_EQ(result, 206);
    EXPECT_GE(took, 5.5) << "the transfer outlasted the window";
    EXPECT_EQ(hex(digest), sha256_of(want));
}

TEST_F(SlowGet, TrickledBodiesIntoMemory)
{
    double took = 0;
    char *body = nullptr;
    uint32_t len = 1;
    EXPECT_EQ(timed([&] {
        return http_get_to_memory(fault_url("https", std::string(TRICKLE) + "obj5000").c_str(),
                                  &body, &len, 65536);
    }, &took), HTTP_TOO_SLOW);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_LT(took, 8.0);

    // The small objects of an update travel this way.
    std::string buffer(5000, '\0');
    len = 1;
    EXPECT_EQ(http_get_into(fault_url("https", std::string(TRICKLE) + "obj5000").c_str(),
                            &buffer[0], 5000, &len),
              HTTP_TOO_SLOW);
    EXPECT_EQ(len, 0u);
}

// A server that goes silent holds a WinHTTP receive until its time-out: the
// time-out is the rule's window, so the silence is cut there too.
TEST_F(SlowGet, SilenceIsCutAtTheWindow)
{
    http_set_slow_rule(HTTP_SLOW_MIN_BYTES, 1500);
    const char *routes[] = {
        "hang/obj5000",  // the response announced, then no body
        "mute/obj5000",  // no response at all
    };
    for (const char *route : routes) {
        SCOPED_TRACE(route);
        std::wstring url = fault_url("https", route);
        std::wstring file = dir_ / L"silent.part";
        uint8_t digest[32];
        double took = 0;
        EXPECT_EQ(timed([&] {
            return http_download_to_file(url.c_str(), file.c_str(), 5000, digest, nullptr, nullptr);
        }, &took), HTTP_TOO_SLOW);
        EXPECT_LT(took, 6.0);
        HttpStall stall = http_last_stall();
        EXPECT_EQ(stall.bytes, 0u);
        EXPECT_EQ(stall.seconds, 1u);
        EXPECT_EQ(file_size(file), 0u);

        char *body = nullptr;
        uint32_t len = 0;
        EXPECT_EQ(timed([&] { return http_get_to_memory(url.c_str(), &body, &len, 65536); }, &took),
                  HTTP_TOO_SLOW);
        EXPECT_EQ(body, nullptr);
        EXPECT_LT(took, 6.0);
    }
}

}  // namespace
