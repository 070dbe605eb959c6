// The manifest's schema: one JSON object read member by member into the
// Manifest record, every check in a fixed order with its own message.
//
// The document is signed, but the parser still treats it as untrusted bytes:
// every string has a fixed capacity, arrays grow with checked sizes, and
// unknown values are skipped with a bounded depth.
//
// No platform calls: this file also builds natively for fuzzing.
#include "manifest/manifest.h"

#include "base/base.h"
#include "content/content.h"

#include <stdlib.h>
#include <string.h>

namespace {

const int32_t FILES_INITIAL = 512;
const int32_t REMOVE_INITIAL = 16;
const int32_t DELTAS_INITIAL = 64;
const size_t KEY_BYTES = 32;        // top-level keys: 31 bytes at most
const size_t ENTRY_KEY_BYTES = 64;  // keys inside a file entry
const size_t HEX_BYTES = 66;        // one more than a digest's 64 digits needs
const size_t GROUP_BYTES = 16;
const size_t MIRROR_BYTES = 256;

// Grows a heap array of `count` elements of `elem_bytes` so that one more
// fits: `initial` first, then doubling. False when the size would not fit an
// int32 count or a size_t, or memory runs out (the old block stays valid).
bool grow_for_one(void **array, int32_t count, int32_t *capacity, size_t elem_bytes,
                  int32_t initial)
{
    if (count < *capacity)
        return true;
    int32_t wanted = *capacity == 0 ? initial : *capacity;
    if (*capacity != 0) {
        if (wanted > INT32_MAX / 2)
            return false;
        wanted *= 2;
    }
    if ((size_t)wanted > SIZE_MAX / elem_bytes)
        return false;
    void *grown = realloc(*array, (size_t)wanted * elem_bytes);
    if (!grown)
        return false;
    *array = grown;
    *capacity = wanted;
    return true;
}

void keep_mirror(Manifest *m, const char *url)
{
    size_t n = strlen(url);
    if (m->mirror_count >= MAX_MIRRORS || strncmp(url, "https://", 8) != 0 || n == 0 ||
        url[n - 1] != '/')
        return;
    if (utf8_to_utf16_units(url, m->mirrors[m->mirror_count], MIRROR_CHARS))
        m->mirror_count++;
    else
        m->mirrors[m->mirror_count][0] = 0;
}

// Walks one array: '[' then `element` per element until ']'. `element`
// reads exactly one value.
template <typename F>
bool read_array(JsonCursor *c, F element)
{
    if (!json_expect(c, '['))
        return false;
    if (json_peek(c) == ']') {
        c->current++;
        return true;
    }
    for (;;) {
        if (!element())
            return false;
        if (json_peek(c) != ',')
            return json_expect(c, ']');
        c->current++;
    }
}

struct Capacities {
    int32_t files;
    int32_t optional;
    int32_t remove;
    int32_t deltas;
};

bool parse_entry(JsonCursor *c, ManifestEntry *entry, bool group_required, Manifest *m,
                 Capacities *cap, bool launcher_entry = false);

bool append_entry(JsonCursor *c, ManifestEntry **array, int32_t *count, int32_t *capacity,
                  const ManifestEntry *entry)
{
    void *block = *array;
    if (!grow_for_one(&block, *count, capacity, sizeof(ManifestEntry), FILES_INITIAL))
        return json_fail(c, "out of memory");
    *array = (ManifestEntry *)block;
    (*array)[(*count)++] = *entry;
    return true;
}

bool read_member(JsonCursor *c, Manifest *m, Capacities *cap, const char *key, bool *seen_version,
                 bool *seen_generated, bool *seen_files)
{
    if (strcmp(key, "version") == 0) {
        *seen_version = true;
        return json_read_string(c, m->version, sizeof m->version);
    }
    if (strcmp(key, "generated") == 0) {
        *seen_generated = true;
        if (!json_read_string(c, m->generated_text, sizeof m->generated_text))
            return false;
        m->generated = parse_utc_time(m->generated_text);
        if (m->generated == -1)
            return json_fail(c, "bad generated time");
        return true;
    }
    if (strcmp(key, "expires") == 0) {
        if (!json_read_string(c, m->expires_text, sizeof m->expires_text))
            return false;
        m->expires = parse_utc_time(m->expires_text);
        if (m->expires == -1)
            return json_fail(c, "bad expires time");
        return true;
    }
    if (strcmp(key, "launcher") == 0) {
        ManifestEntry entry;
        if (!parse_entry(c, &entry, false, nullptr, nullptr, true))
            return false;
        m->launcher = entry;
        m->has_launcher = 1;
        return true;
    }
    if (strcmp(key, "mirrors") == 0) {
        return read_array(c, [&]() {
            char url[MIRROR_BYTES];
            if (!json_read_string(c, url, sizeof url))
                return false;
            keep_mirror(m, url);
            return true;
        });
    }
    if (strcmp(key, "files") == 0) {
        *seen_files = true;
        return read_array(c, [&]() {
            ManifestEntry entry;
            return parse_entry(c, &entry, true, m, cap) &&
                   append_entry(c, &m->files, &m->file_count, &cap->files, &entry);
        });
    }
    if (strcmp(key, "optional") == 0) {
        return read_array(c, [&]() {
            ManifestEntry entry;
            if (!parse_entry(c, &entry, false, m, cap))
                return false;
            if (!entry.id[0])
                return json_fail(c, "optional entry needs id");
            return append_entry(c, &m->optional, &m->optional_count, &cap->optional, &entry);
        });
    }
    if (strcmp(key, "remove") == 0) {
        return read_array(c, [&]() {
            char path[MANIFEST_PATH_BYTES];
            if (!json_read_string(c, path, sizeof path))
                return false;
            if (!is_safe_relative_path(path))
                return json_fail(c, "invalid remove path");
            void *block = m->remove;
            if (!grow_for_one(&block, m->remove_count, &cap->remove, sizeof path, REMOVE_INITIAL))
                return json_fail(c, "out of memory");
            m->remove = (char(*)[MANIFEST_PATH_BYTES])block;
            memcpy(m->remove[m->remove_count++], path, sizeof path);
            return true;
        });
    }
    return json_skip_value(c);
}

bool parse_document(JsonCursor *c, Manifest *m)
{
    Capacities cap = {0, 0, 0, 0};
    bool seen_version = false, seen_generated = false, seen_files = false;
    if (!json_expect(c, '{'))
        return false;
    if (json_peek(c) == '}')
        return json_fail(c, "empty manifest");
    for (;;) {
        char key[KEY_BYTES];
        if (!json_read_string(c, key, sizeof key) || !json_expect(c, ':') ||
            !read_member(c, m, &cap, key, &seen_version, &seen_generated, &seen_files))
            return false;
        if (json_peek(c) != ',')
            break;
        c->current++;
    }
    if (!json_expect(c, '}'))
        return false;
    json_skip_ws(c);
    if (c->current != c->end)
        return json_fail(c, "trailing data");
    if (!seen_version || !seen_generated || !seen_files)
        return json_fail(c, "version, generated and files are required");
    if (m->file_count == 0)
        return json_fail(c, "no files");
    return true;
}

EntryGroup group_of(const char *name)
{
    if (strcmp(name, "base") == 0)
        return ENTRY_GROUP_BASE;
    if (strcmp(name, "system") == 0)
        return ENTRY_GROUP_SYSTEM;
    if (strcmp(name, "interface") == 0)
        return ENTRY_GROUP_INTERFACE;
    if (strcmp(name, "stock") == 0)
        return ENTRY_GROUP_STOCK;
    return ENTRY_GROUP_NONE;
}

// Whether a segment of `len` bytes names a device on Windows: CON, PRN, AUX,
// NUL, COM1-9 or LPT1-9 in any letter case, alone or before an extension
// ("con.txt", "Lpt1.tar.gz"), spaces before the extension included
// ("nul .txt"). Opening such a name reaches the device, never a file.
bool is_device_name(const char *segment, size_t len)
{
    size_t stem = 0;
    while (stem < len && segment[stem] != '.')
        stem++;
    while (stem > 0 && segment[stem - 1] == ' ')
        stem--;
    char name[4];
    if (stem < 3 || stem > 4)
        return false;
    for (size_t i = 0; i < 3; i++)
        name[i] = (char)(segment[i] >= 'a' && segment[i] <= 'z' ? segment[i] - 32 : segment[i]);
    name[3] = 0;
    if (stem == 3)
        return strcmp(name, "CON") == 0 || strcmp(name, "PRN") == 0 || strcmp(name, "AUX") == 0 ||
               strcmp(name, "NUL") == 0;
    return (strcmp(name, "COM") == 0 || strcmp(name, "LPT") == 0) && segment[3] >= '1' &&
           segment[3] <= '9';
}

}  // namespace

bool manifest_reads_chunks = true;
bool manifest_reads_deltas = true;

bool manifest_parse(const void *bytes, size_t len, Manifest *manifest, char *error_text)
{
    memset(manifest, 0, sizeof *manifest);
    if (error_text)
        error_text[0] = 0;
    const unsigned char *data = (const unsigned char *)bytes;
    if (!data)
        len = 0;
    JsonCursor c = {data, data + len, data, error_text, nullptr};
    if (parse_document(&c, manifest))
        return true;
    if (error_text && !error_text[0])
        strcpy(error_text, "manifest: parse error");
    manifest_free(manifest);
    return false;
}

void manifest_free(Manifest *manifest)
{
    free(manifest->files);
    free(manifest->optional);
    free(manifest->remove);
    free(manifest->deltas);
    memset(manifest, 0, sizeof *manifest);
}

namespace {

// Walks the members of an object whose '{' was read and whose first member
// is next: `member(key)` reads one value. Ends past the '}'.
template <typename F>
bool read_members(JsonCursor *c, F member)
{
    for (;;) {
        char key[ENTRY_KEY_BYTES];
        if (!json_read_string(c, key, sizeof key) || !json_expect(c, ':') || !member(key))
            return false;
        if (json_peek(c) != ',')
            return json_expect(c, '}');
        c->current++;
    }
}

// A SHA-256 in hexadecimal into `out`; `message` when it is not one.
bool read_digest(JsonCursor *c, uint8_t *out, const char *message)
{
    char hex[HEX_BYTES];
    if (!json_read_string(c, hex, sizeof hex))
        return false;
    return hex_decode(hex, out, SHA256_BYTES) || json_fail(c, message);
}

// One member of "deltas": its digests and sizes appended to the manifest's.
bool read_delta(JsonCursor *c, Manifest *m, Capacities *cap)
{
    ManifestDelta delta;
    memset(&delta, 0, sizeof delta);
    if (!json_expect(c, '{'))
        return false;
    bool have_from = false, have_h = false, have_s = false;
    bool read = json_peek(c) == '}' ? json_expect(c, '}') : read_members(c, [&](const char *key) {
        have_from = have_from || strcmp(key, "from") == 0;
        have_h = have_h || strcmp(key, "h") == 0;
        have_s = have_s || strcmp(key, "s") == 0;
        if (strcmp(key, "from") == 0 || strcmp(key, "h") == 0)
            return read_digest(c, key[0] == 'f' ? delta.from : delta.digest, "bad delta sha256");
        if (strcmp(key, "s") == 0 || strcmp(key, "z") == 0)
            return json_read_u64(c, key[0] == 's' ? &delta.size : &delta.packed_size);
        return json_skip_value(c);
    });
    if (!read)
        return false;
    if (!have_from || !have_h || !have_s)
        return json_fail(c, "delta needs from, h, s");
    void *block = m->deltas;
    if (!grow_for_one(&block, m->delta_count, &cap->deltas, sizeof delta, DELTAS_INITIAL))
        return json_fail(c, "out of memory");
    m->deltas = (ManifestDelta *)block;
    m->deltas[m->delta_count++] = delta;
    return true;
}

// One member of a file entry.
bool read_entry_member(JsonCursor *c, const char *key, ManifestEntry *entry, char *group_name,
                       Manifest *m, Capacities *cap)
{
    if (strcmp(key, "p") == 0)
        return json_read_string(c, entry->path, sizeof entry->path);
    if (strcmp(key, "s") == 0)
        return json_read_u64(c, &entry->size);
    if (strcmp(key, "h") == 0)
        return read_digest(c, entry->digest, "bad sha256");
    if (strcmp(key, "g") == 0)
        return json_read_string(c, group_name, GROUP_BYTES);
    if (strcmp(key, "z") == 0)
        return json_read_u64(c, &entry->packed_size);
    if (strcmp(key, "seed") == 0) {
        uint64_t seed = 0;
        bool ok = json_read_u64(c, &seed);
        entry->seed = seed != 0;
        return ok;
    }
    if (strcmp(key, "id") == 0)
        return json_read_string(c, entry->id, sizeof entry->id);
    if (strcmp(key, "chunks") == 0 && manifest_reads_chunks)
        return (entry->has_chunks = read_digest(c, entry->chunks_digest, "bad chunks sha256"));
    if (strcmp(key, "deltas") == 0 && m && manifest_reads_deltas) {
        // Listed again: the later list counts.
        entry->first_delta = m->delta_count;
        bool ok = read_array(c, [&]() { return read_delta(c, m, cap); });
        entry->delta_count = m->delta_count - entry->first_delta;
        return ok;
    }
    return json_skip_value(c);
}

// A file entry; with a manifest, its "deltas" are kept there.
bool parse_entry(JsonCursor *c, ManifestEntry *entry, bool group_required, Manifest *m,
                 Capacities *cap, bool launcher_entry)
{
    memset(entry, 0, sizeof *entry);
    if (!json_expect(c, '{'))
        return false;
    if (json_peek(c) == '}') {
        c->current++;
        return json_fail(c, "empty file entry");
    }
    bool have_p = false, have_s = false, have_h = false;
    char group_name[GROUP_BYTES] = "";
    bool read = read_members(c, [&](const char *key) {
        have_p = have_p || strcmp(key, "p") == 0;
        have_s = have_s || strcmp(key, "s") == 0;
        have_h = have_h || strcmp(key, "h") == 0;
        return read_entry_member(c, key, entry, group_name, m, cap);
    });
    if (!read)
        return false;
    if (!have_p || !have_s || !have_h)
        return json_fail(c, "file entry needs p, s, h");
    // The launcher's own entry names the program itself, which no client
    // entry may.
    if (!(launcher_entry ? is_holdable_relative_path(entry->path)
                         : is_safe_relative_path(entry->path)))
        return json_fail(c, "invalid path");
    if (!group_required)
        return true;
    entry->group = group_of(group_name);
    if (entry->group == ENTRY_GROUP_NONE)
        return json_fail(c, "unknown group");
    return true;
}

}  // namespace

bool manifest_parse_entry(JsonCursor *c, ManifestEntry *entry, bool group_required)
{
    return parse_entry(c, entry, group_required, nullptr, nullptr);
}

bool is_holdable_relative_path(const char *path)
{
    size_t n = strlen(path);
    if (n < 1 || n >= MANIFEST_PATH_BYTES || path[0] == '/' || path[n - 1] == '/')
        return false;
    size_t segment = 0;  // start of the current segment
    for (size_t i = 0; i <= n; i++) {
        unsigned char b = (unsigned char)path[i];
        if (i == n || b == '/') {
            size_t len = i - segment;
            if (len == 0)
                return false;
            // Windows drops a name's trailing dots and spaces ("trail." is
            // written as "trail"), which also covers "." and "..".
            if (path[i - 1] == '.' || path[i - 1] == ' ' || is_device_name(path + segment, len))
                return false;
            segment = i + 1;
            continue;
        }
        if (b < 0x20 || b == 0x7F || strchr("\\:*?\"<>|", b))
            return false;
    }
    return true;
}

bool names_own_file(const char *path)
{
    // Our names are ASCII, a byte a character, and far shorter than this.
    const size_t LONGEST = 31;
    wchar_t first[LONGEST + 1];
    size_t len = 0;
    for (; path[len] && path[len] != '/'; len++) {
        if (len == LONGEST)
            return false;
        // Bytes of other characters widen to characters that match none.
        first[len] = (wchar_t)(unsigned char)path[len];
    }
    first[len] = 0;
    return own_file_named(first) != nullptr;
}

bool is_safe_relative_path(const char *path)
{
    return is_holdable_relative_path(path) && !names_own_file(path);
}

bool hex_decode(const char *text, uint8_t *out, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        int high = hex_digit_value(text[2 * i]);
        if (high < 0)
            return false;  // also the text's end
        int low = hex_digit_value(text[2 * i + 1]);
        if (low < 0)
            return false;
        out[i] = (uint8_t)(high << 4 | low);
    }
    return text[2 * n] == 0;
}
