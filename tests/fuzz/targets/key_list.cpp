// The key list reader over any bytes. A refusal names an offset inside the
// document and leaves the list empty; an acceptance holds at least one
// release key, release keys first, ids of the allowed letters, and no id
// or key twice.
#include "manifest/manifest.h"

#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ExactCopy in(data, size);
    KeyList l;
    char error[JSON_ERROR_BYTES];
    memset(error, 0x55, sizeof error);
    if (key_list_parse(in.p, size, &l, error)) {
        FUZZ_CHECK(size <= KEY_LIST_MAX_BYTES, "accepted past the size limit");
        FUZZ_CHECK(l.version >= 1 && l.generated >= 0, "version or time");
        FUZZ_CHECK(l.release_count >= 1 && l.release_count <= l.count &&
                       l.count <= KEY_LIST_MAX_KEYS,
                   "key counts");
        for (int32_t i = 0; i < l.count; i++) {
            const ListedKey &k = l.keys[i];
            FUZZ_CHECK(k.revoked == (i >= l.release_count), "release keys not first");
            FUZZ_CHECK(terminated_within(k.id, KEY_ID_BYTES) && k.id[0], "id not terminated");
            for (const char *p = k.id; *p; p++)
                FUZZ_CHECK(strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                  "0123456789._-", *p),
                           "id letter");
            FUZZ_CHECK(key_list_find(&l, k.point) == i, "key listed twice");
            for (int32_t j = 0; j < i; j++)
                FUZZ_CHECK(strcmp(l.keys[j].id, k.id) != 0, "id listed twice");
        }
        return 0;
    }
    FUZZ_CHECK(terminated_within(error, sizeof error), "error text not terminated");
    long at = -1;
    const char *mark = strstr(error, " at byte ");
    FUZZ_CHECK(strncmp(error, "keys: ", 6) == 0 && mark, "error text of another form");
    FUZZ_CHECK(sscanf(mark, " at byte %ld", &at) == 1 && at >= 0 && (size_t)at <= size,
               "error offset outside the document");
    FUZZ_CHECK(l.count == 0 && l.release_count == 0 && l.version == 0, "refusal left keys");
    return 0;
}
