// The server status and news scanner over any body: the status is -1, 0 or
// 1, at most NEWS_ITEMS items with positive ids, every text terminated in
// its buffer; and the date rule over any text.
#include "ui/news_internal.h"

#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ExactCopy in(data, size);
    ServerInfo info;
    memset(&info, 0, sizeof info);
    scan_server_status(in.p, size, &info);
    FUZZ_CHECK(info.server_status >= -1 && info.server_status <= 1, "status out of range");
    scan_news_feed(in.p, size, &info);
    FUZZ_CHECK(info.item_count >= 0 && info.item_count <= NEWS_ITEMS, "item count");
    for (int i = 0; i < info.item_count; i++) {
        FUZZ_CHECK(info.items[i].id > 0, "stored item without an id");
        FUZZ_CHECK(terminated_within(info.items[i].title, NEWS_TITLE_CHARS), "title");
        FUZZ_CHECK(terminated_within(info.items[i].date, NEWS_DATE_CHARS), "date");
    }

    ExactCopy text(data, size, true);
    wchar_t date[NEWS_DATE_CHARS + 1];
    date[NEWS_DATE_CHARS] = L'#';
    format_news_date(text.p, date);
    FUZZ_CHECK(terminated_within(date, NEWS_DATE_CHARS) && date[NEWS_DATE_CHARS] == L'#',
               "date past its buffer");

    char buf[64];
    const char *end = in.p + size;
    const char *at = find_json_key(in.p, end, "title");
    FUZZ_CHECK(!at || (at > in.p && at <= end), "key position outside the body");
    if (at && at < end) {
        copy_json_string(at, end, buf, sizeof buf);
        FUZZ_CHECK(terminated_within(buf, sizeof buf) && strlen(buf) <= sizeof buf - 4,
                   "copied string too long");
    }
    return 0;
}
