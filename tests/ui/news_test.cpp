// The server status and news poller: the byte scanner over its table cases
// (news_cases.cpp, shared with the native sanitizer build), then whole polls
// against the local mirror and the fault server, and the poller thread's
// first post to a window.
#include "base/base.h"
#include "news_cases.h"
#include "support/seams.h"
#include "support/servers.h"
#include "support/support.h"
#include "ui/news_internal.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

using namespace net_test;
using namespace testing_support;

namespace {

// Scanner tables ------------------------------------------------------------

TEST(NewsScan, ServerStatus)
{
    for (const auto &c : news_cases::status_cases())
        EXPECT_EQ(news_cases::check(c), "") << c.why;
}

TEST(NewsScan, Feed)
{
    for (const auto &c : news_cases::feed_cases())
        EXPECT_EQ(news_cases::check(c), "") << c.why;
}

TEST(NewsScan, CopyJsonString)
{
    for (const auto &c : news_cases::copy_cases())
        EXPECT_EQ(news_cases::check(c), "") << c.why;
}

TEST(NewsScan, FormatNewsDate)
{
    for (const auto &c : news_cases::date_cases())
        EXPECT_EQ(news_cases::check(c), "") << c.why;
}

TEST(NewsScan, FindJsonKey)
{
    const std::string doc = R"({"title":"a","t":1})";
    const char *b = doc.data(), *e = b + doc.size();
    EXPECT_EQ(find_json_key(b, e, "title"), b + 9) << "right after the colon";
    EXPECT_EQ(find_json_key(b, e, "t"), e - 2) << "a key is matched whole, quotes and all";
    EXPECT_EQ(find_json_key(b, b + 9, "title"), b + 9) << "a pattern ending at the range's end";
    EXPECT_EQ(find_json_key(b, b + 8, "title"), nullptr) << "one byte short";
    EXPECT_EQ(find_json_key(b + 2, e, "title"), nullptr) << "starting inside the pattern";
    EXPECT_EQ(find_json_key(e, e, "t"), nullptr) << "an empty range";

    const std::string spaced = "{\"title\" \t:\r\n \"a\"}";
    const char *sb = spaced.data(), *se = sb + spaced.size();
    EXPECT_EQ(find_json_key(sb, se, "title"), se - 4) << "blanks around the colon skipped";

    const std::string key(70, 'k');
    const std::string longer = "{\"" + std::string(62, 'k') + "\":1,\"" + key + "\":2}";
    EXPECT_EQ(find_json_key(longer.data(), longer.data() + longer.size(), key.c_str()),
              longer.data() + longer.size() - 2)
        << "a long key is matched whole";
}

// Whole polls -----------------------------------------------------------------

const char STATUS_ONLINE[] = R"({"gameServer":{"online":true,"players":321}})";

// Three items, one of them past the ASCII range, and a fourth that must not show.
const char FEED[] =
    "{\"items\":["
    "{\"id\":31,\"title\":\"Patch 1.4 \xE2\x80\x93 K\xC3\xB6nig\",\"published_at\":\"2024-03-07T10:00:00Z\"},"
    "{\"id\":30,\"title\":\"Maintenance\\nTuesday\",\"createdAt\":\"2024-02-20T06:00:00Z\"},"
    "{\"id\":29,\"title\":\"Welcome\",\"publishedAt\":\"2023-12-31T23:59:59Z\"},"
    "{\"id\":28,\"title\":\"Old\",\"publishedAt\":\"2023-11-01T00:00:00Z\"}]}";

void expect_feed_items(const ServerInfo &info)
{
    EXPECT_EQ(news_cases::check_invariants(info), "");
    ASSERT_EQ(info.item_count, 3);
    EXPECT_EQ(info.items[0].id, 31);
    EXPECT_STREQ(info.items[0].title, L"Patch 1.4 \u2013 K\u00F6nig");
    EXPECT_STREQ(info.items[0].date, L"7 Mar");
    EXPECT_EQ(info.items[1].id, 30);
    EXPECT_STREQ(info.items[1].title, L"Maintenance Tuesday");
    // Its own createdAt, though a later item has the preferred publishedAt.
    EXPECT_STREQ(info.items[1].date, L"20 Feb");
    EXPECT_EQ(info.items[2].id, 29);
    EXPECT_STREQ(info.items[2].date, L"31 Dec");
}

// Each case publishes its own two documents below the served tree, in a
// folder named after it, so that cases running side by side do not meet.
class NewsPoll : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = std::string("news/") + test->test_suite_name() + "." + test->name() + "/";
    }
    SeamGuard seams;

    void publish(const std::string &status, const std::string &feed)
    {
        const std::string base = KORVANTH_BINARY_DIR "/net-servers/tree/" + folder_ + "api/";
        for (const auto &doc : {std::make_pair(base + "server/status", status),
                                std::make_pair(base + "feed", feed)}) {
            std::wstring path = wine_path(doc.first);
            ASSERT_TRUE(make_parent_dirs(path.c_str())) << doc.first;
            ASSERT_TRUE(write_file(path, doc.second)) << doc.first;
        }
    }

    // One poll with the web site at `base`, into a zero-filled record.
    ServerInfo poll(const std::wstring &base)
    {
        poller_set_web_url(base.c_str());
        ServerInfo info = {};
        poll_server_info(&info);
        return info;
    }

    // The folder as seen through the mirror, or through a fault-server route.
    std::wstring on_mirror() const { return mirror_url("https", folder_); }
    std::wstring on_fault(const std::string &route) const
    {
        return fault_url("https", route + "/" + folder_);
    }

    std::string folder_;  // "news/<suite>.<case>/"
};

TEST_F(NewsPoll, MirrorServesStatusAndFeed)
{
    publish(STATUS_ONLINE, FEED);
    ServerInfo info = poll(on_mirror());
    EXPECT_EQ(info.server_status, 1);
    expect_feed_items(info);
}

TEST_F(NewsPoll, OnlyA200AnswerCounts)
{
    publish(STATUS_ONLINE, FEED);
    ServerInfo info = poll(on_fault("code/503"));
    EXPECT_EQ(info.server_status, -1) << "the body says online, the status code does not";
    EXPECT_EQ(info.item_count, 0);

    info = poll(on_fault("code/200"));
    EXPECT_EQ(info.server_status, 1) << "the same route with 200 counts";
    EXPECT_EQ(info.item_count, 3);
}

TEST_F(NewsPoll, BodyLimitsOfEachDocument)
{
    publish(STATUS_ONLINE, FEED);
    const struct {
        uint32_t padded_to;
        int32_t status, items;
        const char *why;
    } cases[] = {
        {65536, 1, 3, "the status limit exactly"},
        {65537, -1, 3, "one byte over the status limit; the feed still fits its own"},
        {4194304, -1, 3, "the feed limit exactly"},
        {4194305, -1, 0, "one byte over the feed limit"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        ServerInfo info = poll(on_fault("padded/" + std::to_string(c.padded_to)));
        EXPECT_EQ(info.server_status, c.status);
        EXPECT_EQ(info.item_count, c.items);
    }
}

TEST_F(NewsPoll, TrickledDocumentsArriveWhole)
{
    publish(STATUS_ONLINE, FEED);
    ServerInfo info = poll(on_fault("below/trickle"));
    EXPECT_EQ(info.server_status, 1);
    expect_feed_items(info);
}

// Both documents padded to 20 KiB, so that either pace takes several of the
// rule's windows (3 s each under the fast clock).
TEST_F(NewsPoll, StalledDocumentsCountAsNoAnswer)
{
    FastRuleClock clock;
    const std::string padding(20000, ' ');
    publish(STATUS_ONLINE + padding, FEED + padding);
    // 100 bytes every 5 s: each request is abandoned after the window.
    ServerInfo info = poll(on_fault("pace/100/500"));
    EXPECT_EQ(info.server_status, -1);
    EXPECT_EQ(info.item_count, 0);
    EXPECT_EQ(news_cases::check_invariants(info), "");

    // 8 KiB every 20 s keeps the rate: waited for to the end.
    info = poll(on_fault("pace/8192/2000"));
    EXPECT_EQ(info.server_status, 1);
    expect_feed_items(info);
}

TEST_F(NewsPoll, NoWebSite)
{
    const std::wstring bases[] = {
        mirror_url("https", "news/nothing-here/"),  // 404 for both documents
        L"http://127.0.0.1:1/",                    // nothing listens
        untrusted_url(folder_),                    // a certificate nobody trusts
    };
    for (const auto &base : bases) {
        SCOPED_TRACE(narrow(base));
        ServerInfo info = poll(base);
        EXPECT_EQ(info.server_status, -1);
        EXPECT_EQ(info.item_count, 0);
        EXPECT_EQ(news_cases::check_invariants(info), "");
    }
}

// The poller thread ----------------------------------------------------------

TEST_F(NewsPoll, PollerPostsItsFirstResultAtOnce)
{
    publish(STATUS_ONLINE, FEED);
    poller_set_web_url(on_mirror().c_str());
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);

    const DWORD started = GetTickCount();
    poller_start(window);
    MSG msg = {};
    bool got = false;
    while (!got && GetTickCount() - started < 30000) {
        got = PeekMessageW(&msg, window, WM_LAUNCHER_SERVER_INFO, WM_LAUNCHER_SERVER_INFO,
                           PM_REMOVE) != 0;
        if (!got)
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
    }
    // Stopped while it waits for its next poll, the thread ends at once.
    DestroyWindow(window);
    poller_stop();
    EXPECT_TRUE(poller_wait(2000)) << "the stopped poller still runs";
    ASSERT_TRUE(got) << "no WM_LAUNCHER_SERVER_INFO within 30 s";

    ServerInfo *info = (ServerInfo *)msg.lParam;
    ASSERT_NE(info, nullptr);
    EXPECT_GE(HeapSize(GetProcessHeap(), 0, info), sizeof(ServerInfo));
    EXPECT_EQ(info->server_status, 1);
    expect_feed_items(*info);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, info));
}

}  // namespace
