// The progress texts and decisions with any numbers a mirror or a clock can
// produce: sizes up to 2^64-1, speeds of any double, ticks that wrap, bytes
// present beyond the expected length. Texts end within their buffers and
// bar values stay thousandths (0 to 1000).
#include "fetch/fetch.h"

#include "tests/fuzz/fuzz.h"

#include <wchar.h>

namespace {

struct Fields {
    const uint8_t *data;
    size_t size, pos;
    uint64_t u64()
    {
        uint64_t v = 0;
        for (int i = 0; i < 8; i++)
            v = v << 8 | (pos < size ? data[pos++] : 0);
        return v;
    }
    uint32_t u32() { return (uint32_t)u64(); }
    double f64()
    {
        uint64_t bits = u64();
        double d;
        memcpy(&d, &bits, sizeof d);
        return d;
    }
    bool more() const { return pos < size; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fields in = {data, size, 0};
    wchar_t text[64];
    format_size(in.u64(), text, 32);
    FUZZ_CHECK(terminated_within(text, 32) && text[0], "size text");

    uint64_t done = in.u64(), total = in.u64();
    double speed = in.f64();
    size_t cap = (size_t)(in.u32() % 64) + 1;
    wchar_t line[256];
    wmemset(line, L'#', 256);
    format_progress_text(done, total, speed, line, cap);
    FUZZ_CHECK(terminated_within(line, cap) && line[cap] == L'#', "progress text past its buffer");

    DownloadProgress p = {};
    volatile long cancel = 0;
    p.cancel_flag = &cancel;
    p.finished_before = in.u64();
    p.run_total = in.u64();
    while (in.more()) {
        uint32_t now = in.u32();
        uint64_t present = in.u64(), expected = in.u64();
        ProgressPosts posts;
        download_progress_step(&p, now, present, expected, &posts);
        FUZZ_CHECK(!posts.stop, "stopped without a cancel");
        if (posts.bars)
            FUZZ_CHECK(posts.file_permille <= 1000 && posts.total_permille <= 1000,
                       "bar value beyond 1000");
        FUZZ_CHECK(terminated_within(posts.detail_text, 256), "detail text not terminated");
        FUZZ_CHECK(!posts.detail || posts.detail_text[0], "empty detail line posted");
    }
    return 0;
}
