// The key list's reader: one JSON object read member by member into a
// KeyList. It is signed by a root key, but read as untrusted bytes all the
// same (a root's signature says who wrote it, not that the writer made no
// mistake): a size limit before anything is read, fixed capacities, skipped
// values of bounded depth. Beyond the manifest's rules a member may not
// stand twice in an object the reader reads, and no id or key may stand
// twice in the list: a list that could be read two ways is refused rather
// than read one of them.
//
// No platform calls: this file also builds natively for fuzzing.
#include "manifest/manifest.h"

#include "base/base.h"

#include <string.h>

namespace {

const size_t MEMBER_BYTES = 32;  // member names: 31 bytes at most
// Members of one object, known or not: enough for any list the publisher's
// tool writes, and a bound on the duplicate check.
const int MEMBERS_MAX = 16;
// A key's text: 128 hex digits, and room for one more to tell a longer text.
const size_t KEY_HEX_BYTES = 2 * P256_POINT_BYTES + 2;

bool is_id_char(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '.' || ch == '_' || ch == '-';
}

bool valid_id(const char *id)
{
    if (!id[0])
        return false;
    for (const char *p = id; *p; p++)
        if (!is_id_char(*p))
            return false;
    return true;
}

// The member names of one object so far: a name met twice is refused.
struct Members {
    char names[MEMBERS_MAX][MEMBER_BYTES];
    int count;
};

// Reads a member name and its ':' into `name`; refuses a name seen before in
// the same object.
bool read_member_name(JsonCursor *c, Members *seen, char *name)
{
    const unsigned char *at = c->current;
    if (!json_read_string(c, name, MEMBER_BYTES) || !json_expect(c, ':'))
        return false;
    for (int i = 0; i < seen->count; i++) {
        if (strcmp(seen->names[i], name) == 0) {
            c->current = at;
            json_skip_ws(c);
            return json_fail(c, "duplicate member");
        }
    }
    if (seen->count == MEMBERS_MAX)
        return json_fail(c, "too many members");
    memcpy(seen->names[seen->count++], name, MEMBER_BYTES);
    return true;
}

// Walks one object: '{' then `member(name)` per member until '}'. `member`
// reads exactly the member's value.
template <typename F>
bool read_object(JsonCursor *c, F member)
{
    Members seen;
    seen.count = 0;
    if (!json_expect(c, '{'))
        return false;
    if (json_peek(c) == '}') {
        c->current++;
        return true;
    }
    for (;;) {
        char name[MEMBER_BYTES];
        if (!read_member_name(c, &seen, name) || !member(name))
            return false;
        if (json_peek(c) != ',')
            return json_expect(c, '}');
        c->current++;
    }
}

// One {"id": ..., "key": ...} into `key`.
bool read_key(JsonCursor *c, ListedKey *key)
{
    bool have_id = false, have_key = false;
    bool ok = read_object(c, [&](const char *name) {
        if (strcmp(name, "id") == 0) {
            have_id = true;
            if (!json_read_string(c, key->id, sizeof key->id))
                return false;
            return valid_id(key->id) || json_fail(c, "bad key id");
        }
        if (strcmp(name, "key") == 0) {
            have_key = true;
            char hex[KEY_HEX_BYTES];
            if (!json_read_string(c, hex, sizeof hex))
                return false;
            return hex_decode(hex, key->point, P256_POINT_BYTES) || json_fail(c, "bad key");
        }
        return json_skip_value(c);
    });
    if (!ok)
        return false;
    return (have_id && have_key) || json_fail(c, "a key needs id and key");
}

// An array of keys, appended to the list with `revoked`.
bool read_keys(JsonCursor *c, KeyList *list, uint8_t revoked)
{
    if (!json_expect(c, '['))
        return false;
    if (json_peek(c) == ']') {
        c->current++;
        return true;
    }
    for (;;) {
        const unsigned char *at = c->current;
        ListedKey key;
        memset(&key, 0, sizeof key);
        key.revoked = revoked;
        if (!read_key(c, &key))
            return false;
        // Refusals name the key's first byte.
        const char *refusal = list->count == KEY_LIST_MAX_KEYS ? "too many keys" : nullptr;
        for (int i = 0; i < list->count && !refusal; i++)
            if (strcmp(list->keys[i].id, key.id) == 0 ||
                memcmp(list->keys[i].point, key.point, P256_POINT_BYTES) == 0)
                refusal = "key listed twice";
        if (refusal) {
            c->current = at;
            json_skip_ws(c);
            return json_fail(c, refusal);
        }
        list->keys[list->count++] = key;
        if (json_peek(c) != ',')
            return json_expect(c, ']');
        c->current++;
    }
}

bool parse_document(JsonCursor *c, KeyList *list)
{
    bool have_version = false, have_generated = false, have_keys = false;
    bool ok = read_object(c, [&](const char *name) {
        if (strcmp(name, "version") == 0) {
            have_version = true;
            if (!json_read_u64(c, &list->version))
                return false;
            return list->version > 0 || json_fail(c, "version 0");
        }
        if (strcmp(name, "generated") == 0) {
            have_generated = true;
            if (!json_read_string(c, list->generated_text, sizeof list->generated_text))
                return false;
            list->generated = parse_utc_time(list->generated_text);
            return list->generated != -1 || json_fail(c, "bad generated time");
        }
        if (strcmp(name, "keys") == 0) {
            have_keys = true;
            return read_keys(c, list, 0);
        }
        if (strcmp(name, "revoked") == 0)
            return read_keys(c, list, 1);
        return json_skip_value(c);
    });
    if (!ok)
        return false;
    json_skip_ws(c);
    if (c->current != c->end)
        return json_fail(c, "trailing data");
    if (!have_version || !have_generated || !have_keys)
        return json_fail(c, "version, generated and keys are required");
    for (int i = 0; i < list->count; i++)
        if (!list->keys[i].revoked)
            list->release_count++;
    if (list->release_count == 0)
        return json_fail(c, "no release key");
    return true;
}

// Release keys first, each group in document order.
void release_keys_first(KeyList *list)
{
    ListedKey ordered[KEY_LIST_MAX_KEYS];
    int n = 0;
    for (int pass = 0; pass < 2; pass++)
        for (int i = 0; i < list->count; i++)
            if (list->keys[i].revoked == pass)
                ordered[n++] = list->keys[i];
    memcpy(list->keys, ordered, (size_t)n * sizeof(ListedKey));
}

}  // namespace

bool key_list_parse(const void *bytes, size_t len, KeyList *list, char *error_text)
{
    memset(list, 0, sizeof *list);
    if (error_text)
        error_text[0] = 0;
    const unsigned char *data = (const unsigned char *)bytes;
    if (!data)
        len = 0;
    JsonCursor c = {data, data + len, data, error_text, "keys"};
    bool ok;
    if (len > KEY_LIST_MAX_BYTES) {
        c.current = data + KEY_LIST_MAX_BYTES;
        ok = json_fail(&c, "key list too large");
    } else {
        ok = parse_document(&c, list);
    }
    if (ok) {
        release_keys_first(list);
        return true;
    }
    if (error_text && !error_text[0])
        strcpy(error_text, "keys: parse error");
    memset(list, 0, sizeof *list);
    return false;
}

int key_list_find(const KeyList *list, const uint8_t *point)
{
    for (int i = 0; i < list->count; i++)
        if (memcmp(list->keys[i].point, point, P256_POINT_BYTES) == 0)
            return i;
    return -1;
}
