// The JSON reader over a whole manifest. A refusal names an offset inside
// the document; an acceptance has files, safe paths and sizes that add up.
#include "manifest/manifest.h"

#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ExactCopy in(data, size);
    Manifest m;
    char error[JSON_ERROR_BYTES];
    memset(error, 0x55, sizeof error);
    if (manifest_parse(in.p, size, &m, error)) {
        FUZZ_CHECK(m.file_count >= 1 && m.files, "accepted without files");
        for (int32_t i = 0; i < m.file_count; i++)
            FUZZ_CHECK(is_safe_relative_path(m.files[i].path), "accepted an unsafe path");
        for (int32_t i = 0; i < m.optional_count; i++)
            FUZZ_CHECK(is_safe_relative_path(m.optional[i].path), "accepted an unsafe path");
        FUZZ_CHECK(m.mirror_count >= 0 && m.mirror_count <= MAX_MIRRORS, "mirror count");
        for (int32_t i = 0; i < m.mirror_count; i++)
            FUZZ_CHECK(terminated_within(m.mirrors[i], MIRROR_CHARS), "mirror not terminated");
        FUZZ_CHECK(terminated_within(m.version, MANIFEST_VERSION_BYTES), "version not terminated");
        manifest_free(&m);
        return 0;
    }
    FUZZ_CHECK(terminated_within(error, sizeof error), "error text not terminated");
    long at = -1;
    const char *mark = strstr(error, " at byte ");
    FUZZ_CHECK(strncmp(error, "manifest: ", 10) == 0 && mark, "error text of another form");
    FUZZ_CHECK(sscanf(mark, " at byte %ld", &at) == 1 && at >= 0 && (size_t)at <= size,
               "error offset outside the document");
    FUZZ_CHECK(!m.files && !m.optional && !m.remove && !m.file_count, "refusal left arrays");
    return 0;
}
