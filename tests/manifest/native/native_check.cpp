// The byte-level manifest code built natively with the host compiler under
// AddressSanitizer and UndefinedBehaviorSanitizer.
//
// Every input lives in a heap block of exactly its size, so a read one byte
// past the end is caught. Real documents are cut at every length and have
// every byte replaced by bytes that matter to the grammar; random documents
// made of JSON tokens follow. Any sanitizer report, a malformed error text or
// an error offset past the end fails the run.
//
//   native_check DATA_DIR     (tests/data/manifest)
#include "manifest/manifest.h"

#include "content/content.h"
#include "tests/support/state_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

int failures = 0;
long runs = 0;

void fail(const char *what, const std::string &input)
{
    if (failures++ < 20)
        fprintf(stderr, "native_check: %s (input of %zu bytes)\n", what, input.size());
}

// The input copied into a block of exactly its size (plus a terminator
// when `nul` is set, for the text functions that take C strings).
struct Exact {
    char *p;
    explicit Exact(const std::string &s, bool nul = false)
    {
        p = (char *)malloc(s.size() + (nul ? 1 : 0) + (s.empty() && !nul ? 1 : 0));
        memcpy(p, s.data(), s.size());
        if (nul)
            p[s.size()] = 0;
    }
    ~Exact() { free(p); }
};

void check_manifest(const std::string &doc)
{
    runs++;
    Exact in(doc);
    Manifest m;
    char error[JSON_ERROR_BYTES];
    if (manifest_parse(in.p, doc.size(), &m, error)) {
        if (m.file_count < 1 || !m.files)
            fail("success without files", doc);
        manifest_free(&m);
        return;
    }
    long at = -1;
    const char *mark = strstr(error, " at byte ");
    if (strncmp(error, "manifest: ", 10) != 0 || !mark || sscanf(mark, " at byte %ld", &at) != 1 ||
        at < 0 || (size_t)at > doc.size())
        fail(error, doc);
    if (m.files || m.optional || m.remove || m.file_count)
        fail("failed parse left arrays", doc);
}

void check_state_text(const std::string &text)
{
    runs++;
    Exact in(text);
    LocalState s;
    state_init(&s);
    StateRefusals refused = {};
    state_parse_text(&s, in.p, text.size(), &refused);
    for (int32_t i = 1; i < s.count; i++)
        if (strcmp(s.entries[i - 1].path, s.entries[i].path) > 0)
            fail("entries not sorted", text);
    if (refused.kept < 0 || refused.kept > STATE_REFUSED_KEPT || refused.kept > refused.count)
        fail("refused paths beyond their record", text);
    for (int32_t i = 0; i < refused.kept; i++)
        if (!memchr(refused.paths[i].head, 0, STATE_REFUSED_HEAD_BYTES) ||
            refused.paths[i].bytes < strlen(refused.paths[i].head))
            fail("refused path not terminated", text);
    // What was read is written and read back to the same table.
    std::string out = testing_support::state_as_text(s);
    LocalState back;
    state_init(&back);
    state_parse_text(&back, out.data(), out.size());
    if (back.count != s.count || back.dxvk != s.dxvk || back.generated != s.generated ||
        back.custom_interface != s.custom_interface || back.dxvk_trial != s.dxvk_trial)
        fail("state text does not round-trip", text);
    for (int32_t i = 0; i < s.count && i < back.count; i++)
        if (memcmp(&s.entries[i], &back.entries[i], sizeof(StateEntry)) != 0)
            fail("state entry does not round-trip", text);
    state_free(&back);
    state_free(&s);
}

void check_base64(const std::string &text)
{
    runs++;
    Exact in(text);
    uint8_t out[SIGNATURE_DECODE_BYTES];
    size_t n = sizeof out;
    if (base64_decode_lenient(in.p, text.size(), out, &n) && n > sizeof out)
        fail("base64 beyond capacity", text);
}

void check_time(const std::string &text)
{
    runs++;
    Exact in(text, true);
    int64_t t = parse_utc_time(in.p);
    if (t < -1 || t > 253402300799)
        fail("time out of range", text);
}

// Every cut and every byte replaced by each of `swaps`.
template <typename F>
void mutate(const std::string &base, const char *swaps, size_t nswaps, F check)
{
    for (size_t n = 0; n <= base.size(); n++)
        check(base.substr(0, n));
    for (size_t i = 0; i < base.size(); i++)
        for (size_t k = 0; k < nswaps; k++) {
            std::string changed = base;
            changed[i] = swaps[k];
            check(changed);
        }
}

bool read_whole(const std::string &path, std::string *out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, got);
    fclose(f);
    return true;
}

uint32_t rng = 2463534242u;
uint32_t next_random()
{
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return rng;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: native_check DATA_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    static const char JSON_SWAPS[] = {'"', '\\', '{', '}', '[', ']', ',', ':', ' ', '-',
                                      '9', 'e', 'u', 'n', 0, '\x1F', '\x7F', '\xFF'};
    std::string doc;
    if (!read_whole(dir + "/signed.json", &doc) || doc.empty()) {
        fprintf(stderr, "native_check: cannot read %s/signed.json\n", dir.c_str());
        return 2;
    }
    mutate(doc, JSON_SWAPS, sizeof JSON_SWAPS, check_manifest);

    const std::string hex(64, 'a');
    const std::string rich =
        "{\"version\":\"1\\u00e9\",\"generated\":\"2024-05-01T12:00:00Z\",\"x\":[{\"y\":[-1,true,null]}],"
        "\"launcher\":{\"p\":\"L.exe\",\"s\":1,\"h\":\"" + hex + "\"},"
        "\"mirrors\":[\"https://a/\",\"http://b/\"],"
        "\"files\":[{\"p\":\"a\",\"s\":1,\"z\":2,\"h\":\"" + hex + "\",\"g\":\"base\",\"seed\":1}],"
        "\"optional\":[{\"p\":\"o\",\"s\":1,\"h\":\"" + hex + "\",\"id\":\"dxvk\"}],"
        "\"remove\":[\"r\"]}";
    mutate(rich, JSON_SWAPS, sizeof JSON_SWAPS, check_manifest);

    // Random token soup: mostly malformed, sometimes deeply nested.
    static const char *TOKENS[] = {"{", "}", "[", "]", ",", ":", "\"files\"", "\"version\"",
                                   "\"generated\"", "\"p\"", "\"s\"", "\"h\"", "\"g\"", "1",
                                   "-2", "1.5", "true", "nul", "\"\\u12\"", "\"a\\\"", " ",
                                   "\"base\"", "\"2024-05-01T12:00:00Z\"", "\"x\""};
    const size_t ntokens = sizeof TOKENS / sizeof TOKENS[0];
    for (int i = 0; i < 20000; i++) {
        std::string soup = "{";
        int len = (int)(next_random() % 40);
        for (int k = 0; k < len; k++)
            soup += TOKENS[next_random() % ntokens];
        check_manifest(soup);
    }
    std::string deep = "{\"x\":" + std::string(1000000, '[');
    check_manifest(deep);

    const std::string state =
        "#Korvanth state\r\n#interface=1\r\n#dxvk=-1\r\n#dxvk_trial=0\r\n#generated=1714564800\r\n"
        "#version=0.9\r\nb/c\t12\t133\t" + hex + "\r\na\t1\t2\t" + hex + "\r\n";
    static const char STATE_SWAPS[] = {'\t', '\r', '\n', '#', '/', '\\', ' ', 0, '-', '9', 'g'};
    mutate(state, STATE_SWAPS, sizeof STATE_SWAPS, check_state_text);

    const std::string sig =
        "sALORFcoXvTj4UakTJ+qYn8/oB5YhfvKZbUIw9/CpXG5U54S8aWDqzkeeQ6VBq1d6vqLJmyxCKnBH5iyYYOVLw==\r\n";
    static const char B64_SWAPS[] = {'=', '-', '_', '*', ' ', 0, '\xFF'};
    mutate(sig + sig, B64_SWAPS, sizeof B64_SWAPS, check_base64);

    static const char TIME_SWAPS[] = {' ', '+', '-', '0', '9', 'Z', 0};
    mutate("2024-02-29T23:59:59Z", TIME_SWAPS, sizeof TIME_SWAPS, check_time);
    mutate("30827-12-31T23:59:59Z", TIME_SWAPS, sizeof TIME_SWAPS, check_time);

    printf("native_check: %ld inputs, %d failures\n", runs, failures);
    return failures ? 1 : 0;
}
