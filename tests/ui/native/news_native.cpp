// The news scanner built natively with the host compiler under
// AddressSanitizer and UndefinedBehaviorSanitizer.
//
// The table cases run first with their expected results; then every
// document of the tables is cut at every length and has each byte replaced
// by bytes that matter to the scanner, and random documents follow, made of
// the scanner's own tokens or of plain random bytes. Every input lives in a
// heap block of exactly its size (news_cases.cpp), so a read one byte past
// its end is a sanitizer report; any report or broken invariant fails.
#include "../news_cases.h"

#include <stdio.h>

#include <random>
#include <string>
#include <vector>

using namespace news_cases;

namespace {

int failures = 0;
long runs = 0;

void report_row(const std::string &bad, const char *what, const std::string &row)
{
    runs++;
    if (!bad.empty() && failures++ < 20)
        fprintf(stderr, "news_native: %s: %s (%s)\n", what, bad.c_str(), row.c_str());
}

void report(const std::string &bad, const char *what, const std::string &input)
{
    report_row(bad, what, "input of " + std::to_string(input.size()) + " bytes");
}

template <class Case> void run_table(const std::vector<Case> &cases, const char *what)
{
    for (const Case &c : cases)
        report_row(check(c), what, c.why);
}

void check_everything(const std::string &doc)
{
    report(check_any_document(doc), "scan", doc);
    report(check_any_date(doc), "date", doc);
}

// Each prefix, and each byte replaced by each of the scanner's special bytes.
void cut_and_change(const std::string &doc)
{
    static const char SPECIAL[] = {'"', '\\', '{', ':', 'u', 'n', '0', '-', ' ', 0,
                                   '\x80', '\xE2', '\xF0', '\xFF'};
    for (size_t n = 0; n <= doc.size(); n++)
        check_everything(doc.substr(0, n));
    for (size_t i = 0; i < doc.size(); i++) {
        for (char b : SPECIAL) {
            std::string changed = doc;
            changed[i] = b;
            report(check_any_document(changed), "changed scan", changed);
        }
    }
    for (size_t cap : {0, 1, 4, 5, 6, 7, 9})
        report(check_any_copy(doc, cap), "copy", doc);
}

std::string token_document(std::mt19937 &rng)
{
    static const char *const TOKENS[] = {
        "{\"id\":", "\"title\":", "\"published_at\":", "\"publishedAt\":", "\"created_at\":",
        "\"createdAt\":", "\"gameServer\":", "\"online\":", "true", "\"", "\\", "\\u", "\\n",
        "2024-03-07", "2024-13-", "99999999999999999999", "2147483648", "-", "+", "1", "0", " ",
        ",", "}", "\xF0\x9F\x98\x80", "\xE8\xAA\x9E", "\xC3\xB6", "\xFF", "\x80", "\xE2\x82",
        "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"};
    const size_t ntokens = sizeof TOKENS / sizeof TOKENS[0];
    std::string doc;
    size_t count = rng() % 80;
    for (size_t i = 0; i < count; i++)
        doc += TOKENS[rng() % ntokens];
    return doc;
}

std::string random_bytes(std::mt19937 &rng)
{
    std::string doc(rng() % 300, '\0');
    for (char &c : doc)
        c = (char)(rng() % 256);
    return doc;
}

}  // namespace

int main()
{
    run_table(status_cases(), "status table");
    run_table(feed_cases(), "feed table");
    run_table(copy_cases(), "copy table");
    run_table(date_cases(), "date table");

    for (const auto &c : status_cases())
        cut_and_change(c.doc);
    for (const auto &c : feed_cases())
        cut_and_change(c.doc);

    std::mt19937 rng(20240307);
    for (int i = 0; i < 20000; i++) {
        std::string doc = token_document(rng);
        check_everything(doc);
        if (i % 10 == 0)
            report(check_any_copy(doc, rng() % 12), "copy", doc);
    }
    for (int i = 0; i < 5000; i++)
        check_everything(random_bytes(rng));

    printf("news_native: %ld runs, %d failures\n", runs, failures);
    return failures ? 1 : 0;
}
