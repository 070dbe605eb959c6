// What the player reads while files arrive, and how often the window hears
// of it.
#include "fetch/fetch.h"

#include "support/seams.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring size_text(uint64_t bytes)
{
    wchar_t out[32];
    format_size(bytes, out, 32);
    return out;
}

std::wstring progress_text(uint64_t done, uint64_t total, double speed)
{
    wchar_t out[256];
    format_progress_text(done, total, speed, out, 256);
    return out;
}

}  // namespace

TEST(FormatSize, UnitEdges)
{
    const struct { uint64_t bytes; const wchar_t *text; } rows[] = {
        {0, L"0 KB"},
        {1023, L"1 KB"},                 // rounds to the nearest
        {1048575, L"1024 KB"},           // just below 1 MiB
        {1048576, L"1 MB"},
        {1073741823, L"1024 MB"},        // just below 1 GiB
        {1073741824, L"1.0 GB"},
        {7301444403ULL, L"6.8 GB"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(size_text(row.bytes), row.text) << row.bytes;
}

TEST(ProgressText, TimeLeftForms)
{
    const double speed = 1048576.0;  // 1 MiB/s: bytes left = seconds left * 2^20
    const uint64_t total = 100ULL << 30;
    const struct { uint64_t seconds_left; const wchar_t *time; } rows[] = {
        {6300, L"about 1 h 45 min left"},
        {5400, L"about 1 h 30 min left"},
        {3600, L"about 1 h 0 min left"},
        {3599, L"about 60 min left"},
        {90, L"about 2 min left"},
        {89, L"less than 2 min left"},
        {0, L"less than 2 min left"},
    };
    for (const auto &row : rows) {
        std::wstring text = progress_text(total - row.seconds_left * 1048576, total, speed);
        EXPECT_EQ(text.substr(text.rfind(L", ") + 2), row.time) << text;
        EXPECT_NE(text.find(L" of 100.0 GB, 1.0 MB/s, "), std::wstring::npos) << text;
    }
}

TEST(ProgressText, NoRateAtOrBelowOneKibPerSecond)
{
    EXPECT_EQ(progress_text(1048576, 2097152, 1024.0), L"1 MB of 2 MB");
    EXPECT_EQ(progress_text(1048576, 2097152, 0.0), L"1 MB of 2 MB");
    EXPECT_EQ(progress_text(1048576, 2097152, 1025.0),
              L"1 MB of 2 MB, 0.0 MB/s, about 17 min left");
}

TEST(ProgressStep, CancelPostsNothing)
{
    volatile long cancel = 1;
    DownloadProgress p = {};
    p.cancel_flag = &cancel;
    p.run_total = 100;
    ProgressPosts posts;
    download_progress_step(&p, 5000, 10, 100, &posts);
    EXPECT_EQ(posts.stop, 1);
    EXPECT_EQ(posts.bars, 0);
    EXPECT_EQ(posts.detail, 0);
}

TEST(ProgressStep, RatesOfBarsAndDetailLine)
{
    volatile long cancel = 0;
    DownloadProgress p = {};
    p.cancel_flag = &cancel;
    p.finished_before = 1000;
    p.run_total = 11000;
    ProgressPosts posts;

    download_progress_step(&p, 10000, 0, 10000, &posts);
    EXPECT_TRUE(posts.bars);
    EXPECT_EQ(posts.file_permille, 0u);
    EXPECT_EQ(posts.total_permille, 90u);
    EXPECT_TRUE(posts.detail);

    download_progress_step(&p, 10099, 100, 10000, &posts);  // 99 ms later
    EXPECT_FALSE(posts.bars);
    EXPECT_FALSE(posts.detail);
    download_progress_step(&p, 10100, 200, 10000, &posts);  // 100 ms
    EXPECT_TRUE(posts.bars);
    EXPECT_EQ(posts.file_permille, 20u);
    EXPECT_FALSE(posts.detail);
    download_progress_step(&p, 10499, 300, 10000, &posts);
    EXPECT_FALSE(posts.detail);
    download_progress_step(&p, 10500, 400, 10000, &posts);  // 500 ms after the first line
    EXPECT_TRUE(posts.detail);

    // Completion always moves the bars, however soon it comes.
    download_progress_step(&p, 10501, 10000, 10000, &posts);
    EXPECT_TRUE(posts.bars);
    EXPECT_EQ(posts.file_permille, 1000u);
    EXPECT_EQ(posts.total_permille, 1000u);
}

// Lengths and byte counts come from mirrors: the bars stay thousandths
// whatever they say, and the products never wrap.
TEST(ProgressStep, BarsStayWithinAThousandForAnyFigures)
{
    const uint64_t MAX = UINT64_MAX;
    const struct {
        uint64_t present, expected;
        uint32_t want;
        const char *why;
    } rows[] = {
        {11, 10, 1000, "more bytes than announced"},
        {MAX, 1, 1000, "far more bytes than announced"},
        {MAX - 1, MAX, 999, "both past 2^54: no wrap of present * 1000"},
        {MAX / 2, MAX, 500, "half of the largest length"},
        {(uint64_t)1 << 60, ((uint64_t)1 << 60) + 1, 999, "just short of the whole"},
    };
    for (const auto &row : rows) {
        DownloadProgress p = {};
        ProgressPosts posts;
        download_progress_step(&p, 1000, row.present, row.expected, &posts);
        EXPECT_EQ(posts.file_permille, row.want) << row.why;
    }
}

TEST(ProgressStep, NoTotalMeansOnlyTheFileBar)
{
    DownloadProgress p = {};
    ProgressPosts posts;
    download_progress_step(&p, 1000, 50, 100, &posts);
    EXPECT_TRUE(posts.bars);
    EXPECT_EQ(posts.file_permille, 500u);
    EXPECT_FALSE(posts.detail);
    // An object of 0 bytes is complete at once and reads as 0 permille.
    download_progress_step(&p, 1001, 0, 0, &posts);
    EXPECT_TRUE(posts.bars);
    EXPECT_EQ(posts.file_permille, 0u);
}

TEST(ProgressStep, SpeedIsSampledEveryTwoSecondsAndSmoothed)
{
    DownloadProgress p = {};
    p.run_total = 100 << 20;
    ProgressPosts posts;
    download_progress_step(&p, 1000, 0, 100 << 20, &posts);
    download_progress_step(&p, 2999, 4 << 20, 100 << 20, &posts);
    EXPECT_EQ(p.speed, 0.0);  // under 2 s: no measurement yet
    download_progress_step(&p, 3000, 4 << 20, 100 << 20, &posts);
    EXPECT_DOUBLE_EQ(p.speed, 2.0 * 1048576);
    download_progress_step(&p, 5000, 12 << 20, 100 << 20, &posts);
    EXPECT_DOUBLE_EQ(p.speed, 3.0 * 1048576);  // halfway between 2 and 4 MiB/s

    // The transfer starts over from 0: a new sample, not a negative rate.
    download_progress_step(&p, 7000, 0, 100 << 20, &posts);
    EXPECT_DOUBLE_EQ(p.speed, 3.0 * 1048576);
    download_progress_step(&p, 9000, 2 << 20, 100 << 20, &posts);
    EXPECT_DOUBLE_EQ(p.speed, 2.0 * 1048576);
}

TEST(ProgressStep, TickWrapIsHarmless)
{
    DownloadProgress p = {};
    p.run_total = 1000;
    ProgressPosts posts;
    download_progress_step(&p, 0xFFFFFF00u, 0, 1000, &posts);
    download_progress_step(&p, 0x00000010u, 10, 1000, &posts);  // 272 ms later
    EXPECT_TRUE(posts.bars);
    EXPECT_FALSE(posts.detail);
}

namespace {

struct Posted {
    UINT message;
    WPARAM wparam;
    std::wstring text;
    bool has_text;
};

// Collects what was posted to a message-only window, freeing heap texts as
// the launcher window does.
std::vector<Posted> drain(HWND window)
{
    std::vector<Posted> out;
    MSG msg;
    while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
        Posted p = {msg.message, msg.wParam, L"", msg.lParam != 0};
        wchar_t text[1024];
        if (take_posted_text(msg.message, msg.lParam, text, 1024))
            p.text = text;
        out.push_back(p);
    }
    return out;
}

uint32_t fake_now;
uint32_t fake_tick(void) { return fake_now; }

}  // namespace

TEST(ProgressPosting, MessagesReachTheWindow)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    ASSERT_TRUE(window);

    std::wstring long_text(600, L's');
    post_status(window, L"%s", long_text.c_str());
    post_status(window, L"Downloading %d of %d: %s", 1, 2, L"system\\dv.exe");
    post_progress_text(window, nullptr);
    post_progress_text(window, std::wstring(300, L'd').c_str());
    post_finished(window, UpdateNeeded, 7);
    std::vector<Posted> got = drain(window);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].message, (UINT)WM_LAUNCHER_STATUS);
    EXPECT_EQ(got[0].text, std::wstring(511, L's'));
    EXPECT_EQ(got[1].text, L"Downloading 1 of 2: system\\dv.exe");
    EXPECT_EQ(got[2].message, (UINT)WM_LAUNCHER_DETAIL);
    EXPECT_FALSE(got[2].has_text);
    EXPECT_EQ(got[3].text, std::wstring(255, L'd'));
    EXPECT_EQ(got[4].message, (UINT)WM_LAUNCHER_STATE);
    EXPECT_EQ(got[4].wparam, (WPARAM)UpdateNeeded);

    testing_support::SeamGuard seams;
    progress_tick = fake_tick;
    volatile long cancel = 0;
    DownloadProgress p = {};
    p.window = window;
    p.cancel_flag = &cancel;
    p.run_total = 2048;
    fake_now = 50000;
    EXPECT_EQ(report_download_progress(&p, 1024, 2048), 1);
    got = drain(window);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].message, (UINT)WM_LAUNCHER_FILE_PROGRESS);
    EXPECT_EQ(got[0].wparam, 500u);
    EXPECT_EQ(got[1].message, (UINT)WM_LAUNCHER_TOTAL_PROGRESS);
    EXPECT_EQ(got[2].text, L"1 KB of 2 KB");

    cancel = 1;
    fake_now += 1000;
    EXPECT_EQ(report_download_progress(&p, 2048, 2048), 0);
    EXPECT_TRUE(drain(window).empty());
    DestroyWindow(window);
}

// Transfers of one pass at once: each adds its bytes to the pass's total,
// only the newest (the share's speaker) moves the file bar and the detail
// line, and a transfer that starts over takes its bytes back.
TEST(ProgressPosting, TransfersOfOnePassShareTheTotal)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    ASSERT_TRUE(window);
    testing_support::SeamGuard seams;
    progress_tick = fake_tick;
    fake_now = 50000;
    volatile long cancel = 0;
    DownloadShare share = {};
    share.done = 1000;  // an object taken in before
    share.speaker = 2;
    DownloadProgress older = {}, newer = {};
    for (DownloadProgress *p : {&older, &newer}) {
        p->window = window;
        p->cancel_flag = &cancel;
        p->run_total = 4000;
        p->share = &share;
        p->ticket = p == &older ? 1 : 2;
    }
    const struct {
        DownloadProgress *p;
        uint64_t present, expected;
        std::vector<Posted> want;  // message, wparam, text
    } rows[] = {
        {&older, 1000, 1000, {{WM_LAUNCHER_TOTAL_PROGRESS, 500, L"", false}}},
        {&newer, 1000, 2000,
         {{WM_LAUNCHER_FILE_PROGRESS, 500, L"", false},
          {WM_LAUNCHER_TOTAL_PROGRESS, 750, L"", false},
          {WM_LAUNCHER_DETAIL, 0, L"3 KB of 4 KB", true}}},
        {&newer, 0, 2000,
         {{WM_LAUNCHER_FILE_PROGRESS, 0, L"", false},
          {WM_LAUNCHER_TOTAL_PROGRESS, 500, L"", false},
          {WM_LAUNCHER_DETAIL, 0, L"2 KB of 4 KB", true}}},
    };
    for (const auto &row : rows) {
        fake_now += 1000;
        EXPECT_EQ(report_download_progress(row.p, row.present, row.expected), 1);
        std::vector<Posted> got = drain(window);
        ASSERT_EQ(got.size(), row.want.size()) << row.p->ticket << " at " << row.present;
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].message, row.want[i].message) << i;
            EXPECT_EQ(got[i].wparam, row.want[i].wparam) << i;
            EXPECT_EQ(got[i].text, row.want[i].text) << i;
        }
    }
    EXPECT_EQ(download_share_done(&share), 2000u);

    share.abandon = 1;  // the pass has ended: every transfer stops
    EXPECT_EQ(report_download_progress(&older, 1000, 1000), 0);
    EXPECT_TRUE(drain(window).empty());
    DestroyWindow(window);
}
