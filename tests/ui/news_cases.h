// The scanner's table cases, shared by test_ui (under Wine) and the native
// sanitizer build (tests/ui/native). Every checker answers an empty text when
// the scanner did what the row asks, otherwise what went wrong.
#pragma once

#include "ui/news_internal.h"

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace news_cases {

struct StatusCase {
    const char *why;
    std::string doc;
    int32_t want;
};

struct WantItem {
    int32_t id;
    std::u16string date;
    std::u16string title;
};

struct FeedCase {
    const char *why;
    std::string doc;
    std::vector<WantItem> want;
};

struct CopyCase {
    const char *why;
    std::string doc;  // the value starts at byte 0
    size_t cap_bytes;
    std::string want;
};

struct DateCase {
    const char *why;
    const char *date;
    std::u16string want;
};

std::vector<StatusCase> status_cases();
std::vector<FeedCase> feed_cases();
std::vector<CopyCase> copy_cases();
std::vector<DateCase> date_cases();

// Each runs the scanner over a heap copy of exactly the document's size.
std::string check(const StatusCase &c);
std::string check(const FeedCase &c);
std::string check(const CopyCase &c);
std::string check(const DateCase &c);

// What every scan result must satisfy, whatever the input: a count within
// 0..NEWS_ITEMS, stored items with an id above 0, texts terminated in their
// fields and free of unpaired surrogates, and untouched (zero) items past
// the count.
std::string check_invariants(const ServerInfo &info);

// Any input at all, for cut, changed and random documents: both scanners over
// `doc`, copy_json_string at every position of `doc` into a block of exactly
// `cap_bytes`, format_news_date over `doc` as a C string. Empty text unless
// an invariant broke (the sanitizers watch the rest).
std::string check_any_document(const std::string &doc);
std::string check_any_copy(const std::string &doc, size_t cap_bytes);
std::string check_any_date(const std::string &text);

}  // namespace news_cases
