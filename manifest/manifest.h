// Manifest and local state: the JSON reader, the release model parsed from
// manifest.json, its detached ECDSA P-256 signature, the signed key list
// keys.json that names the keys allowed to sign manifests, and the state file
// Korvanth.state that remembers what was applied and verified.
//
// Byte-level parts (JSON reader, manifest parse, key list, Base64, state
// text) make no platform calls and also build natively; the signature check
// (bcrypt) and the state file's I/O are thin platform layers in their own
// files.
//
// Heap blocks handed out here (the manifest's arrays, the state's entries)
// come from malloc/realloc and are released only by manifest_free and
// state_free. Nothing here keeps state between calls or starts a thread:
// records belong to their caller, and the state file is replaced only whole,
// through state_save.
#pragma once

#include "base/base.h"
#include "content/content.h"

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// JSON reader: strict, allocation-free, driven member by member by the caller.
//
// Every function that can fail records one text through json_fail before it
// returns false; the caller only propagates the false.

enum {
    JSON_ERROR_BYTES = 128,  // least size of a cursor's error buffer
    // Containers nested deeper than this inside one skipped value fail with
    // "unexpected token" at the opening bracket: the skip recurses per level
    // and a document must not be able to exhaust the stack.
    JSON_MAX_SKIP_DEPTH = 64,
};

struct JsonCursor {
    const unsigned char *current;  // next byte to read
    const unsigned char *end;      // one past the last byte
    const unsigned char *start;    // error positions count from here
    char *error;                   // JSON_ERROR_BYTES, first error wins; may be null
    const char *subject;           // the error text's first word; null: "manifest"
};

// Advances over space, tab, LF and CR.
void json_skip_ws(JsonCursor *c);
// Skips whitespace; the next byte (0..255) without consuming it, -1 at the end.
int json_peek(JsonCursor *c);
// Skips whitespace and consumes `ch` if it is next; else "unexpected token".
bool json_expect(JsonCursor *c, char ch);
// Reads one string. With `buf` the decoded bytes and a NUL are stored and at
// most cap_bytes - 1 bytes fit ("string too long" beyond); without it the
// string is only validated. \uXXXX becomes UTF-8; surrogates are refused.
bool json_read_string(JsonCursor *c, char *buf, size_t cap_bytes);
// Reads an unsigned decimal integer (at most 18446744073709551609); signs,
// fractions and exponents are refused. `out` may be null.
bool json_read_u64(JsonCursor *c, uint64_t *out);
// Skips one value of any kind (negative integers included), at most
// JSON_MAX_SKIP_DEPTH containers deep.
bool json_skip_value(JsonCursor *c);
// Records "<subject>: <message> at byte <offset of current>" unless an error
// is already recorded. Always returns false, for `return json_fail(...)`.
bool json_fail(JsonCursor *c, const char *message);

// "YYYY-MM-DDTHH:MM:SSZ" (scanf %d field rules, 'Z' at index 19, anything
// after it ignored) as seconds since 1970-01-01T00:00:00 UTC; -1 for any
// other text, a date or time outside the Gregorian calendar of years
// 1601..30827, or a time before 1970.
int64_t parse_utc_time(const char *text);

// ---------------------------------------------------------------------------
// Manifest

enum {
    MAX_MIRRORS = 6,
    MIRROR_CHARS = 256,    // UTF-16 units of one mirror, with the terminator
    // A relative path in UTF-8, with its terminator. Its wide form has no more
    // UTF-16 units than it has bytes, so it fits the same count of characters.
    MANIFEST_PATH_BYTES = CLIENT_REL_CHARS,
    MANIFEST_VERSION_BYTES = 48,
    MANIFEST_GENERATED_BYTES = 32,
    MANIFEST_ID_BYTES = 16,
};

// Group of a "files" entry; 0 in optional and launcher entries.
enum EntryGroup : uint8_t {
    ENTRY_GROUP_NONE = 0,
    ENTRY_GROUP_BASE = 'b',
    ENTRY_GROUP_SYSTEM = 's',
    ENTRY_GROUP_INTERFACE = 'i',
    ENTRY_GROUP_STOCK = 'k',
};

struct ManifestEntry {
    char path[MANIFEST_PATH_BYTES];  // UTF-8, forward slashes, a safe relative path
    uint64_t size;                   // bytes of the file
    uint64_t packed_size;            // bytes of the gzip object; 0 when there is none
    uint8_t digest[SHA256_BYTES];    // SHA-256 of the file's content
    uint8_t group;                   // EntryGroup
    uint8_t seed;                    // 1: only required to exist
    char id[MANIFEST_ID_BYTES];      // feature of an optional entry, else empty
    // "chunks": the SHA-256 of the file's chunk index object, which lists
    // the file's content-defined chunks (content.h).
    uint8_t chunks_digest[SHA256_BYTES];
    uint8_t has_chunks;  // 1 when "chunks" was present
    // "deltas": delta_count records of the manifest's `deltas` from
    // first_delta on (files and optional entries only).
    int32_t first_delta;
    int32_t delta_count;
};

// One of a file entry's "deltas": an object that makes the entry's file
// from the player's copy of an earlier release's (rebuild/rebuild.h).
struct ManifestDelta {
    uint8_t from[SHA256_BYTES];    // the SHA-256 of the old file it applies to
    uint8_t digest[SHA256_BYTES];  // the delta object's
    uint64_t size;                 // its bytes
    uint64_t packed_size;          // its gzip object's; 0 when there is none
};

struct Manifest {
    char version[MANIFEST_VERSION_BYTES];
    char generated_text[MANIFEST_GENERATED_BYTES];
    int64_t generated;  // seconds since 1970-01-01 UTC
    // The optional "expires": after it the publisher no longer vouches that
    // this is the current release. 0 (and an empty text) without one.
    char expires_text[MANIFEST_GENERATED_BYTES];
    int64_t expires;
    ManifestEntry launcher;
    int32_t has_launcher;
    ManifestEntry *files;  // document order; the update addresses files then optional
    int32_t file_count;
    ManifestEntry *optional;
    int32_t optional_count;
    char (*remove)[MANIFEST_PATH_BYTES];
    int32_t remove_count;
    ManifestDelta *deltas;  // every entry's, each entry's in document order
    int32_t delta_count;
    // Accepted "https://.../" mirrors as UTF-16 units (also where wchar_t is
    // wider, as in native builds).
    wchar_t mirrors[MAX_MIRRORS][MIRROR_CHARS];
    int32_t mirror_count;
};

// Parses `len` bytes of a manifest whose signature was already verified.
// `manifest` is cleared first. On success the caller owns the arrays
// (manifest_free). On failure the record is cleared, nothing is left to free,
// and `error_text` (JSON_ERROR_BYTES, may be null) holds the first error as
// "manifest: <message> at byte <offset>".
bool manifest_parse(const void *bytes, size_t len, Manifest *manifest, char *error_text);
// Frees the arrays and clears the whole record.
void manifest_free(Manifest *manifest);

// The index-th entry of the files entries followed by the optional entries.
const ManifestEntry *manifest_item(const Manifest *manifest, int index);

// Bytes an entry costs on the wire: its packed size, or its size without one.
uint64_t entry_wire_size(const ManifestEntry *entry);
// The n-th delta of `entry` (0 <= n < entry->delta_count).
const ManifestDelta *manifest_delta(const Manifest *manifest, const ManifestEntry *entry, int n);
// Reads one file entry object at the cursor into `entry` (cleared first). A
// required group must be one of "base", "system", "interface", "stock".
// "deltas" is skipped here: only manifest_parse keeps them, in its record.
bool manifest_parse_entry(JsonCursor *c, ManifestEntry *entry, bool group_required);
// Test seams: false makes the entry reader skip "chunks" or "deltas" like
// any key it does not know, as launchers before chunked updates or deltas
// do. True unless a test says.
extern bool manifest_reads_chunks;
extern bool manifest_reads_deltas;
// The path rule for client files in the manifest and the state file: a
// name Windows holds (is_holdable_relative_path) whose first segment is none
// of the launcher's own names (names_own_file). A release naming one of
// those would overwrite the launcher, its state or settings, or fight them
// on every pass.
bool is_safe_relative_path(const char *path);
// 1..399 bytes, no leading or trailing '/', no empty segment, no segment
// ending in a dot or a space (so no "." or ".."), no segment that names a
// Windows device (CON, PRN, AUX, NUL, COM1-9, LPT1-9, any case, with or
// without an extension), no control byte, 0x7F or any of \ : * ? " < > |.
// The rule for the launcher's own entry, which names the program itself.
bool is_holdable_relative_path(const char *path);
// Whether the path's first segment is one of the launcher's own files or
// folders in its folder (base/own_files.cpp), in any ASCII letter case:
// "korvanth.STATE", "Korvanth.chunks/x". Deeper down the names are free.
bool names_own_file(const char *path);
// Exactly 2n hexadecimal digits (either case) followed by the text's end.
bool hex_decode(const char *text, uint8_t *out, size_t n);

// ---------------------------------------------------------------------------
// Signatures: Base64 of a raw 64-byte r||s ECDSA P-256 signature over the
// SHA-256 of a document's exact bytes (manifest.sig beside manifest.json,
// keys.sig beside keys.json).
//
// Keys are P-256 points, X then Y, 32 bytes each, big-endian, and are told
// apart by these bytes alone. A launcher built without root keys checks
// manifests against the one manifest key built into it. One built with root
// keys (one or two) takes the keys allowed to sign manifests (release keys)
// from the key list, which a root key signs; roots sign nothing else.

enum {
    SIGNATURE_BYTES = 64,
    SIGNATURE_DECODE_BYTES = 80,  // decode buffer; longer texts are refused
    P256_POINT_BYTES = 64,
    ROOT_KEYS_MAX = 2,
};

// Base64 with both alphabets ('+' or '-', '/' or '_'); '=', CR, LF, space and
// tab are skipped wherever they stand; leftover bits at the end are dropped.
// `io_bytes`: in the capacity of `out`, out the decoded length. False on any
// other byte or when the output does not fit.
bool base64_decode_lenient(const char *text, size_t len, uint8_t *out, size_t *io_bytes);
// True only when `sig_text` decodes to exactly 64 bytes and these verify over
// the manifest's bytes under the built-in manifest key. The text is checked
// before anything is hashed.
bool manifest_signature_valid(const void *manifest, size_t manifest_len, const char *sig_text,
                              size_t sig_len);
// The first of `count` keys (`points`: count * P256_POINT_BYTES bytes) under
// which `sig_text` verifies over `bytes`; -1 when none does, the text is not
// a 64-byte signature, or the platform refuses (a point off the curve is one
// that verifies nothing).
int signature_match(const void *bytes, size_t len, const char *sig_text, size_t sig_len,
                    const uint8_t *points, int count);
// The root keys of this launcher: their number (0 without roots) and, when
// `points` is not null, where their count * P256_POINT_BYTES bytes are.
int root_keys(const uint8_t **points);
// Replaces the built-in root keys for this process (tests); a count below 0
// restores them. `points` is copied (at most ROOT_KEYS_MAX keys). Set it
// while no pass runs.
void signature_set_roots(const uint8_t *points, int count);

// ---------------------------------------------------------------------------
// Key list "keys.json": the release keys of the moment, signed by a root.
//
//   {"version": 3, "generated": "2026-01-01T00:00:00Z",
//    "keys": [{"id": "release-2026", "key": "<128 hex digits: X then Y>"}],
//    "revoked": [{"id": "release-2025", "key": "..."}]}
//
// "version" (1 and up) only grows from one list to the next; "keys" names at
// least one release key; "revoked" (optional) names keys that no longer sign,
// only so that a refusal can say so. Other members are skipped. The reader
// follows the manifest's rules for hostile input and adds its own: at most
// KEY_LIST_MAX_BYTES, containers at most JSON_MAX_SKIP_DEPTH deep, no member
// twice in the list's object or a key's (at most 16 members each), no id and
// no key twice in the document.

enum {
    KEY_LIST_MAX_BYTES = 16384,
    KEY_LIST_MAX_KEYS = 16,  // release and revoked keys together
    KEY_ID_BYTES = 32,       // 1..31 of A-Z a-z 0-9 . _ -
};

struct ListedKey {
    char id[KEY_ID_BYTES];
    uint8_t point[P256_POINT_BYTES];
    uint8_t revoked;  // 1: from "revoked", never trusted
};

struct KeyList {
    uint64_t version;
    int64_t generated;  // seconds since 1970-01-01 UTC
    char generated_text[MANIFEST_GENERATED_BYTES];
    // Release keys, then revoked ones, each in document order.
    ListedKey keys[KEY_LIST_MAX_KEYS];
    int32_t count;
    int32_t release_count;  // the first release_count keys are release keys
};

// Parses `len` bytes of a key list (the caller checks its signature first).
// `list` is cleared first, and again on failure; `error_text`
// (JSON_ERROR_BYTES, may be null) then holds "keys: <message> at byte <offset>".
bool key_list_parse(const void *bytes, size_t len, KeyList *list, char *error_text);
// Index of the listed key whose point is `point` (byte for byte), or -1.
int key_list_find(const KeyList *list, const uint8_t *point);

// ---------------------------------------------------------------------------
// Local state file "Korvanth.state" in the launcher folder.

enum {
    STATE_MAX_FILE_BYTES = 67108864,  // a larger file is treated as missing
    STATE_LINE_BYTES = 560,           // room for the header or one entry line
};

struct StateEntry {
    char path[MANIFEST_PATH_BYTES];  // the sort key (byte-wise)
    uint64_t size;                   // bytes when verified
    uint64_t write_time;             // last-write FILETIME when verified
    uint8_t digest[SHA256_BYTES];
};

struct LocalState {
    StateEntry *entries;  // sorted by path
    int32_t count;
    int32_t capacity;
    int32_t custom_interface;  // "#interface=", 0/1
    int32_t dxvk;          // -1 undecided, 0 off, 1 on
    int32_t dxvk_trial;    // 0/1
    int64_t generated;     // of the applied manifest, seconds since 1970
    char version[MANIFEST_VERSION_BYTES];
    // The highest key list version accepted ("#keys=VERSION HEX", a line
    // launchers without root keys skip) and the SHA-256 of that list's bytes;
    // 0 when none was.
    uint64_t keys_version;
    uint8_t keys_digest[SHA256_BYTES];
    // The SHA-256 of a release's launcher that could not start here and was
    // given up for the one before it ("#refused_launcher=HEX", a line older
    // launchers skip): a release naming it is not taken again. 0/1.
    int32_t has_refused_launcher;
    uint8_t refused_launcher[SHA256_BYTES];
};

// The entry lines a read drops for their path alone: a path the path rule
// refuses (is_safe_relative_path) or one longer than MANIFEST_PATH_BYTES - 1.
// Their files stay where an uninstall goes, which names them and why.
enum {
    STATE_REFUSED_KEPT = 64,         // refusals kept in detail; every one is counted
    STATE_REFUSED_HEAD_BYTES = 121,  // a refused path's first 120 bytes, enough to name it,
                                     // and a NUL
};

// Why a path was refused.
enum StatePathFault {
    STATE_PATH_LEAVES_FOLDER,  // from a root, through a drive or a ".." segment
    STATE_PATH_NOT_A_NAME,     // names no file of the folder (a device, a trailing dot,
                               // a byte Windows refuses, too long)
};

struct StateRefusedPath {
    char head[STATE_REFUSED_HEAD_BYTES];  // the path's first bytes, cut anywhere, NUL after
    size_t bytes;                         // the whole path's length
    StatePathFault fault;
};

struct StateRefusals {
    int32_t count;  // every entry line dropped for its path
    int32_t kept;   // the first of them, in the text's order
    StateRefusedPath paths[STATE_REFUSED_KEPT];
};

// Clears `state` to the defaults (dxvk -1, nothing else set). Nothing to free
// before; the entries of a previous record are not released.
void state_init(LocalState *state);
// Reads the state file of `folder` (defaults first). True when a file was
// found and read; false for a missing, unreadable or oversized one.
// `refused` (may be null) is cleared first and gets the lines dropped for
// their path.
bool state_load(LocalState *state, const wchar_t *folder, StateRefusals *refused = nullptr);
// Writes the state through "Korvanth.state.tmp" (flushed) and a write-through
// replacing move. True when the new file is in place; on false the previous
// file is untouched and the temporary file is gone.
bool state_save(const LocalState *state, const wchar_t *folder);
// The entry of `path` (cut to MANIFEST_PATH_BYTES - 1 bytes), or null.
StateEntry *state_find(const LocalState *state, const char *path);
// state_find's answer, looking first at the entry of index `guess`: a caller
// that visits paths in sorted order guesses the entry after the last one
// found and spares the search. Any guess is safe.
StateEntry *state_find_near(const LocalState *state, const char *path, int32_t guess);
// Inserts or replaces the entry of entry->path, keeping the order. False only
// when memory runs out (the state is then unchanged).
bool state_put(LocalState *state, const StateEntry *entry);
// Deletes the entry of `path` if there is one.
void state_remove(LocalState *state, const char *path);
// Frees the entries and clears the record (dxvk becomes 0 like every field).
void state_free(LocalState *state);

// Byte-level halves of load and save.
//
// Adds what `len` bytes of state text hold to `state` (flags, generated,
// version, key list version, refused launcher, valid entry lines; anything
// else is skipped; a NUL ends the text) and sorts the entries. Stops adding entries when memory
// runs out. `refused` (may be null) counts and keeps the entry lines dropped
// for their path, a line with too few fields too (anything else dropped is
// not counted); it is added to, not cleared.
void state_parse_text(LocalState *state, const char *text, size_t len,
                      StateRefusals *refused = nullptr);
// The six header lines, then a "#keys=" line when a key list version is set
// and a "#refused_launcher=" line when a launcher was refused, CR LF each,
// into `out` (STATE_LINE_BYTES). Control bytes of the version are written as
// '?' so that they cannot break lines. Returns the text's length.
size_t state_format_header(const LocalState *state, char *out, size_t cap_bytes);
// One entry line "path\tsize\ttime\thex\r\n" into `out` (STATE_LINE_BYTES).
size_t state_format_entry(const StateEntry *entry, char *out, size_t cap_bytes);
