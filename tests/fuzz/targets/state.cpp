// The state text: whatever it holds, the table read from it is sorted, and
// writing the table and reading it back reproduces every record (the
// version with its control bytes as '?', as the writer puts them, and
// without the blanks that a cut at 47 bytes may leave at its end: the
// reader drops a line's trailing blanks, which the file's rules accept).
#include "manifest/manifest.h"

#include "tests/fuzz/fuzz.h"

#include <string>

#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ExactCopy in(data, size);
    LocalState s;
    state_init(&s);
    StateRefusals refused;
    memset(&refused, 0, sizeof refused);
    state_parse_text(&s, in.p, size, &refused);
    FUZZ_CHECK(refused.kept >= 0 && refused.kept <= STATE_REFUSED_KEPT &&
                   refused.kept <= refused.count,
               "refusals kept beyond their room or their count");
    for (int32_t i = 0; i < refused.kept; i++)
        FUZZ_CHECK(terminated_within(refused.paths[i].head, sizeof refused.paths[i].head) &&
                       strlen(refused.paths[i].head) <= refused.paths[i].bytes,
                   "refused path's head not terminated or longer than the path");
    for (int32_t i = 1; i < s.count; i++)
        FUZZ_CHECK(strcmp(s.entries[i - 1].path, s.entries[i].path) <= 0, "entries not sorted");
    FUZZ_CHECK(s.dxvk >= -1 && s.dxvk <= 1, "dxvk flag out of range");
    FUZZ_CHECK(s.custom_interface == 0 || s.custom_interface == 1, "interface flag");
    FUZZ_CHECK(s.dxvk_trial == 0 || s.dxvk_trial == 1, "trial flag");
    FUZZ_CHECK(terminated_within(s.version, sizeof s.version), "version not terminated");

    std::string text;
    char line[STATE_LINE_BYTES];
    size_t n = state_format_header(&s, line, sizeof line);
    FUZZ_CHECK(n < sizeof line, "header line overflows");
    text.append(line, n);
    for (int32_t i = 0; i < s.count; i++) {
        n = state_format_entry(&s.entries[i], line, sizeof line);
        FUZZ_CHECK(n < sizeof line && n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n',
                   "entry line not whole");
        text.append(line, n);
    }
    LocalState back;
    state_init(&back);
    state_parse_text(&back, text.data(), text.size());
    FUZZ_CHECK(back.count == s.count, "entry count does not round-trip");
    FUZZ_CHECK(back.dxvk == s.dxvk && back.custom_interface == s.custom_interface &&
                   back.dxvk_trial == s.dxvk_trial && back.generated == s.generated,
               "header does not round-trip");
    char version[sizeof s.version];
    memcpy(version, s.version, sizeof version);
    for (char *c = version; *c; c++)
        if ((unsigned char)*c < 0x20 || *c == 0x7F)
            *c = '?';
    for (size_t n = strlen(version); n > 0 && version[n - 1] == ' ';)
        version[--n] = 0;
    FUZZ_CHECK(strcmp(version, back.version) == 0, "version does not round-trip");
    for (int32_t i = 0; i < s.count; i++)
        FUZZ_CHECK(memcmp(&s.entries[i], &back.entries[i], sizeof(StateEntry)) == 0,
                   "entry does not round-trip");
    state_free(&back);
    state_free(&s);
    return 0;
}
