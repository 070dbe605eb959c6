// The state file's text and its in-memory table.
//
// Reading is lenient: the file may have been damaged by a crash, edited by
// hand or written by an older launcher, and losing a line only costs one
// file's re-hash, so anything not understood is skipped. Writing always
// produces the canonical form, sorted by path, so a saved file loads and
// saves to the same bytes.
//
// No platform calls: this file also builds natively for fuzzing.
#include "manifest/manifest.h"

#include "base/base.h"
#include "content/content.h"

#include <stdlib.h>
#include <string.h>

namespace {

const int32_t ENTRIES_INITIAL = 256;
const size_t PATH_MAX_BYTES = MANIFEST_PATH_BYTES - 1;
const size_t DIGEST_HEX_CHARS = 2 * SHA256_BYTES;

int compare_entries(const void *a, const void *b)
{
    return strcmp(((const StateEntry *)a)->path, ((const StateEntry *)b)->path);
}

bool starts_with(const char *line, size_t n, const char *prefix, size_t *rest)
{
    size_t k = strlen(prefix);
    if (n < k || memcmp(line, prefix, k) != 0)
        return false;
    *rest = k;
    return true;
}

// strtoll-like: leading white space and a sign, digits up to the first other
// byte, saturating at the int64 range; no digits give 0.
int64_t lenient_i64(const char *s, size_t n)
{
    size_t i = 0;
    while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\v' || s[i] == '\f' || s[i] == '\r'))
        i++;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    uint64_t limit = negative ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX;
    uint64_t v = 0;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; i++) {
        unsigned d = (unsigned)(s[i] - '0');
        v = v > (limit - d) / 10 ? limit : v * 10 + d;
    }
    if (negative)
        return v == (uint64_t)INT64_MAX + 1 ? INT64_MIN : -(int64_t)v;
    return (int64_t)v;
}

// Digits from the first byte, saturating at UINT64_MAX; no digits give 0.
uint64_t lenient_u64(const char *s, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n && s[i] >= '0' && s[i] <= '9'; i++) {
        unsigned d = (unsigned)(s[i] - '0');
        v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    }
    return v;
}

// "VERSION HEX" of "#keys=": both parts or nothing. A damaged line costs
// only the guard against an older key list, which the next accepted list
// sets again.
void keys_line(LocalState *state, const char *text, size_t n)
{
    const char *space = (const char *)memchr(text, ' ', n);
    if (!space || n - (size_t)(space - text) - 1 != DIGEST_HEX_CHARS || space == text)
        return;
    for (const char *p = text; p < space; p++)
        if (*p < '0' || *p > '9')
            return;
    char hex[DIGEST_HEX_CHARS + 1];
    memcpy(hex, space + 1, DIGEST_HEX_CHARS);
    hex[DIGEST_HEX_CHARS] = 0;
    uint8_t digest[SHA256_BYTES];
    uint64_t version = lenient_u64(text, (size_t)(space - text));
    if (!hex_decode(hex, digest, SHA256_BYTES) || version == 0)
        return;
    state->keys_version = version;
    memcpy(state->keys_digest, digest, SHA256_BYTES);
}

// "HEX" of "#refused_launcher=": exactly one digest, or nothing. A damaged
// line costs one more try of that launcher, which a swap refuses again.
void refused_launcher_line(LocalState *state, const char *text, size_t n)
{
    if (n != DIGEST_HEX_CHARS)
        return;
    char hex[DIGEST_HEX_CHARS + 1];
    memcpy(hex, text, DIGEST_HEX_CHARS);
    hex[DIGEST_HEX_CHARS] = 0;
    uint8_t digest[SHA256_BYTES];
    if (!hex_decode(hex, digest, SHA256_BYTES))
        return;
    memcpy(state->refused_launcher, digest, SHA256_BYTES);
    state->has_refused_launcher = 1;
}

void header_line(LocalState *state, const char *line, size_t n)
{
    size_t k;
    if (starts_with(line, n, "#interface=", &k)) {
        state->custom_interface = lenient_i64(line + k, n - k) != 0;
    } else if (starts_with(line, n, "#dxvk=", &k)) {
        int64_t v = lenient_i64(line + k, n - k);
        state->dxvk = v < 0 ? -1 : v == 0 ? 0 : 1;
    } else if (starts_with(line, n, "#dxvk_trial=", &k)) {
        state->dxvk_trial = lenient_i64(line + k, n - k) != 0;
    } else if (starts_with(line, n, "#generated=", &k)) {
        state->generated = lenient_i64(line + k, n - k);
    } else if (starts_with(line, n, "#version=", &k)) {
        size_t len = n - k < sizeof state->version ? n - k : sizeof state->version - 1;
        memcpy(state->version, line + k, len);
        state->version[len] = 0;
    } else if (starts_with(line, n, "#keys=", &k)) {
        keys_line(state, line + k, n - k);
    } else if (starts_with(line, n, "#refused_launcher=", &k)) {
        refused_launcher_line(state, line + k, n - k);
    }
}

// Room for one more entry: 256 first, then doubling. False when the size
// cannot be represented or memory runs out; the table is then unchanged.
bool reserve_one(LocalState *state)
{
    if (state->count < state->capacity)
        return true;
    int32_t wanted = state->capacity == 0 ? ENTRIES_INITIAL : state->capacity;
    if (state->capacity != 0) {
        if (wanted > INT32_MAX / 2)
            return false;
        wanted *= 2;
    }
    if ((size_t)wanted > SIZE_MAX / sizeof(StateEntry))
        return false;
    void *grown = realloc(state->entries, (size_t)wanted * sizeof(StateEntry));
    if (!grown)
        return false;
    state->entries = (StateEntry *)grown;
    state->capacity = wanted;
    return true;
}

// Why a refused path is of no use: one that would lead out of the folder
// (from a root, through a drive or a ".." segment) is told apart from one
// that names no file of it at all.
StatePathFault path_fault(const char *path, size_t len)
{
    if (len > 0 && (path[0] == '/' || path[0] == '\\'))
        return STATE_PATH_LEAVES_FOLDER;
    size_t segment = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i < len && path[i] == ':')
            return STATE_PATH_LEAVES_FOLDER;
        if (i == len || path[i] == '/' || path[i] == '\\') {
            if (i - segment == 2 && path[segment] == '.' && path[segment + 1] == '.')
                return STATE_PATH_LEAVES_FOLDER;
            segment = i + 1;
        }
    }
    return STATE_PATH_NOT_A_NAME;
}

void note_refused(StateRefusals *refused, const char *path, size_t len)
{
    if (!refused)
        return;
    if (refused->count < INT32_MAX)
        refused->count++;
    if (refused->kept >= STATE_REFUSED_KEPT)
        return;
    StateRefusedPath *kept = &refused->paths[refused->kept++];
    size_t head = len < STATE_REFUSED_HEAD_BYTES - 1 ? len : STATE_REFUSED_HEAD_BYTES - 1;
    memcpy(kept->head, path, head);
    kept->head[head] = 0;
    kept->bytes = len;
    // A path past the longest one is judged by what would have been kept.
    kept->fault = path_fault(path, len < PATH_MAX_BYTES ? len : PATH_MAX_BYTES);
}

// One "path\tsize\ttime\thex" line. False only when memory runs out; a line
// that is not valid is skipped with true. The path is judged before the
// other fields, so that a line refused for its path is told whatever else
// it holds.
bool entry_line(LocalState *state, const char *line, size_t n, StateRefusals *refused)
{
    const char *tab = (const char *)memchr(line, '\t', n);
    if (!tab || tab == line)
        return true;
    StateEntry entry;
    memset(&entry, 0, sizeof entry);
    size_t path_len = (size_t)(tab - line);
    if (path_len <= PATH_MAX_BYTES) {
        memcpy(entry.path, line, path_len);
        entry.path[path_len] = 0;
    }
    if (path_len > PATH_MAX_BYTES || !is_holdable_relative_path(entry.path)) {
        note_refused(refused, line, path_len);
        return true;
    }
    // A record of one of the launcher's own files, left by a release made
    // before manifests could not name them: never a client file again. It is
    // dropped without a word, so that nothing deletes the file as the
    // client's (an uninstall would take the state file before the files it
    // lists) and an uninstall does not name it as refused: the launcher's
    // own table covers it.
    if (names_own_file(entry.path))
        return true;

    const char *field[3];
    size_t len[3];
    size_t start = path_len + 1;
    for (int f = 0; f < 2; f++) {
        tab = (const char *)memchr(line + start, '\t', n - start);
        if (!tab)
            return true;
        field[f] = line + start;
        len[f] = (size_t)(tab - field[f]);
        start = (size_t)(tab - line) + 1;
    }
    field[2] = line + start;
    len[2] = n - start;
    if (len[2] != DIGEST_HEX_CHARS)
        return true;
    char hex[DIGEST_HEX_CHARS + 1];
    memcpy(hex, field[2], DIGEST_HEX_CHARS);
    hex[DIGEST_HEX_CHARS] = 0;
    if (!hex_decode(hex, entry.digest, SHA256_BYTES))
        return true;
    entry.size = lenient_u64(field[0], len[0]);
    entry.write_time = lenient_u64(field[1], len[1]);
    if (!reserve_one(state))
        return false;
    state->entries[state->count++] = entry;
    return true;
}

// Index of the first entry not below `path` (byte-wise).
int32_t lower_bound(const LocalState *state, const char *path)
{
    int32_t lo = 0, hi = state->count;
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (strcmp(state->entries[mid].path, path) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void cut_path(const char *path, char key[MANIFEST_PATH_BYTES])
{
    size_t n = strnlen(path, PATH_MAX_BYTES);
    memcpy(key, path, n);
    key[n] = 0;
}

// The decimal digits of `v` at `out` (no NUL); their number, at most 20.
size_t put_decimal(char *out, uint64_t v)
{
    // Every digit of a 64-bit division is a library call on a 32-bit
    // target: nine digits come off at a time and the rest is 32-bit work.
    char digits[20];
    size_t n = 0;
    while (v > 0xFFFFFFFFu) {
        uint32_t low = (uint32_t)(v % 1000000000u);
        v /= 1000000000u;
        for (int i = 0; i < 9; i++) {
            digits[n++] = (char)('0' + low % 10);
            low /= 10;
        }
    }
    uint32_t rest = (uint32_t)v;
    do {
        digits[n++] = (char)('0' + rest % 10);
        rest /= 10;
    } while (rest);
    for (size_t i = 0; i < n; i++)
        out[i] = digits[n - 1 - i];
    return n;
}

}  // namespace

void state_init(LocalState *state)
{
    memset(state, 0, sizeof *state);
    state->dxvk = -1;
}

void state_parse_text(LocalState *state, const char *text, size_t len, StateRefusals *refused)
{
    const char *nul = (const char *)memchr(text, 0, len);
    if (nul)
        len = (size_t)(nul - text);
    size_t pos = 0;
    while (pos < len) {
        const char *line = text + pos;
        const char *lf = (const char *)memchr(line, '\n', len - pos);
        size_t n = lf ? (size_t)(lf - line) : len - pos;
        pos += n + (lf ? 1 : 0);
        while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == ' '))
            n--;
        if (n == 0)
            continue;
        if (line[0] == '#')
            header_line(state, line, n);
        else if (!entry_line(state, line, n, refused))
            break;
    }
    if (state->count > 1)
        qsort(state->entries, (size_t)state->count, sizeof(StateEntry), compare_entries);
}

size_t state_format_header(const LocalState *state, char *out, size_t cap_bytes)
{
    // A version can carry CR, LF or other control bytes through JSON escapes;
    // written raw they would split the line and corrupt the file's layout.
    char version[MANIFEST_VERSION_BYTES];
    size_t n = strnlen(state->version, sizeof version - 1);
    for (size_t i = 0; i < n; i++) {
        unsigned char b = (unsigned char)state->version[i];
        version[i] = b < 0x20 || b == 0x7F ? '?' : (char)b;
    }
    version[n] = 0;
    int len = format_narrow(out, cap_bytes,
                            "#Korvanth state\r\n#interface=%d\r\n#dxvk=%d\r\n#dxvk_trial=%d\r\n"
                            "#generated=%lld\r\n#version=%s\r\n",
                            (int)state->custom_interface, (int)state->dxvk,
                            (int)state->dxvk_trial, (long long)state->generated, version);
    if (len < 0)
        return 0;
    size_t used = strlen(out);
    char hex[DIGEST_HEX_CHARS + 1];
    // Only launchers with root keys have a key list version to keep, and
    // only a folder where a launcher failed has a refusal: the files of the
    // others stay as they were.
    if (state->keys_version != 0) {
        hex_encode(state->keys_digest, SHA256_BYTES, hex);
        len = format_narrow(out + used, cap_bytes - used, "#keys=%llu %s\r\n",
                            (unsigned long long)state->keys_version, hex);
        if (len < 0)
            return 0;
        used += strlen(out + used);
    }
    if (state->has_refused_launcher) {
        hex_encode(state->refused_launcher, SHA256_BYTES, hex);
        len = format_narrow(out + used, cap_bytes - used, "#refused_launcher=%s\r\n", hex);
        if (len < 0)
            return 0;
        used += strlen(out + used);
    }
    return used;
}

size_t state_format_entry(const StateEntry *entry, char *out, size_t cap_bytes)
{
    // A line is formatted for every client file at every save: by hand when
    // the longest possible line fits, the general formatter costing several
    // times as much.
    const size_t longest = PATH_MAX_BYTES + 20 + 20 + DIGEST_HEX_CHARS + 3 + 2;
    if (cap_bytes > longest) {
        char *p = out;
        size_t path_len = strnlen(entry->path, PATH_MAX_BYTES);
        memcpy(p, entry->path, path_len);
        p += path_len;
        *p++ = '\t';
        p += put_decimal(p, entry->size);
        *p++ = '\t';
        p += put_decimal(p, entry->write_time);
        *p++ = '\t';
        hex_encode(entry->digest, SHA256_BYTES, p);
        p += DIGEST_HEX_CHARS;
        *p++ = '\r';
        *p++ = '\n';
        *p = 0;
        return (size_t)(p - out);
    }
    char path[MANIFEST_PATH_BYTES];
    cut_path(entry->path, path);
    char hex[DIGEST_HEX_CHARS + 1];
    hex_encode(entry->digest, SHA256_BYTES, hex);
    int len = format_narrow(out, cap_bytes, "%s\t%llu\t%llu\t%s\r\n", path,
                            (unsigned long long)entry->size,
                            (unsigned long long)entry->write_time, hex);
    return len < 0 ? 0 : strlen(out);
}

StateEntry *state_find(const LocalState *state, const char *path)
{
    if (state->count == 0)
        return nullptr;
    char key[MANIFEST_PATH_BYTES];
    cut_path(path, key);
    int32_t i = lower_bound(state, key);
    if (i < state->count && strcmp(state->entries[i].path, key) == 0)
        return &state->entries[i];
    return nullptr;
}

StateEntry *state_find_near(const LocalState *state, const char *path, int32_t guess)
{
    // Stored paths are cut already: one equal to `path` is the entry of its
    // cut key too, and there is only one of each.
    if (guess >= 0 && guess < state->count && strcmp(state->entries[guess].path, path) == 0)
        return &state->entries[guess];
    return state_find(state, path);
}

bool state_put(LocalState *state, const StateEntry *entry)
{
    StateEntry copy = *entry;
    copy.path[PATH_MAX_BYTES] = 0;
    StateEntry *found = state_find(state, copy.path);
    if (found) {
        *found = copy;
        return true;
    }
    if (!reserve_one(state))
        return false;
    // Inserting at the sorted place gives the order a full sort would.
    int32_t at = lower_bound(state, copy.path);
    memmove(&state->entries[at + 1], &state->entries[at],
            (size_t)(state->count - at) * sizeof(StateEntry));
    state->entries[at] = copy;
    state->count++;
    return true;
}

void state_remove(LocalState *state, const char *path)
{
    StateEntry *found = state_find(state, path);
    if (!found)
        return;
    int32_t at = (int32_t)(found - state->entries);
    memmove(found, found + 1, (size_t)(state->count - at - 1) * sizeof(StateEntry));
    state->count--;
}

void state_free(LocalState *state)
{
    free(state->entries);
    memset(state, 0, sizeof *state);
}
