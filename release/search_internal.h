// The release search's shared records: the documents a mirror is asked for,
// one mirror's answer and what it came to, and the search that holds the
// answers: asking (ask.cpp) fills them, judging (judge.cpp) records
// verdicts in them, the report (report.cpp) logs those verdicts, and
// release_search.cpp runs the rounds and hands the release over. While a
// round runs, each of its answers belongs to its fetch thread; otherwise
// all of them belong to the search's thread. Internal to release/.
#pragma once

#include "release/release.h"

#include "net/net.h"

// Mirrors asked in one pass at most: the built-in pair and the mirrors the
// releases name (an honest publisher's manifests name the same ones, so a
// second round asks at most four).
const int ASKED_MAX = 8;
// A mirror's base URL followed by the name of one of its documents.
const size_t DOC_URL_CHARS = 320;

enum Doc { KEYS_JSON, KEYS_SIG, MANIFEST_JSON, MANIFEST_SIG, DOC_COUNT };

struct DocKind {
    const wchar_t *name;  // below the mirror's base URL
    const wchar_t *tag;   // how the log names it
    uint32_t limit;       // the largest body taken
};

extern const DocKind DOCS[DOC_COUNT];

// How asking for one document ended.
enum DocFetch {
    DOC_NOT_ASKED,         // not asked for: nothing to say about it
    DOC_ADDRESS_TOO_LONG,  // its address did not fit: a cut one is never asked for
    DOC_TOO_SLOW,          // the slow-transfer rule cut it
    DOC_REQUESTED,         // the request ended: see the HTTP status
};

// One document of a mirror as its fetch thread left it.
struct Document {
    DocFetch fetch;
    int http_status;   // with DOC_REQUESTED: the response's status, 0 without one
    HttpStall stall;   // with DOC_TOO_SLOW
    char *body;        // process heap, or null
    uint32_t length;
    // A 200 that is a web page, not the document (a network's sign-in
    // page), and the host that answered: it has not arrived.
    bool web_page;
    wchar_t page_host[HTTP_HOST_CHARS];
};

// What a mirror's key list came to (judged once).
enum KeysVerdict { KEYS_UNJUDGED, KEYS_MISSING, KEYS_BAD_SIGNATURE, KEYS_BAD_TEXT, KEYS_ROOT_LISTED,
                   KEYS_READ };
// Why a manifest's signature did not verify.
enum SignatureCause { SIG_UNCHECKED, SIG_GOOD, SIG_NO_LIST, SIG_UNKNOWN_KEY, SIG_REVOKED_KEY,
                      SIG_ROOT_KEY };
// Whether a manifest whose signature verified could be read (tried once).
enum ManifestReading { MANIFEST_UNREAD, MANIFEST_READ, MANIFEST_REFUSED };

// Whether a read key list may be taken, in the last judgement.
enum ListChoice {
    LIST_NOT_READ,             // see its KeysVerdict
    LIST_OLDER_THAN_ACCEPTED,  // older than the one accepted before
    LIST_OTHER_THAN_ACCEPTED,  // of its version, but not that list
    LIST_OTHER_THAN_TAKEN,     // of the version of the one taken so far, but not that list
    LIST_ALLOWED,
};
// How far an answer's release got in the last judgement.
enum ReleaseVerdict {
    RELEASE_PAIR_MISSING,        // manifest.json or manifest.sig did not arrive
    RELEASE_SIGNATURE_REFUSED,   // see its SignatureCause
    RELEASE_UNREADABLE,          // see its manifest_error
    RELEASE_OLDER_THAN_APPLIED,
    RELEASE_CANDIDATE,           // may be taken
};

// One mirror: its documents as its fetch thread left them, then what they
// came to.
struct Answer {
    wchar_t mirror[MIRROR_CHARS];
    bool want_keys;
    Document doc[DOC_COUNT];
    bool stalled;  // the slow-transfer rule cut one of its requests
    bool past_caches;  // its manifest pair was asked for again, past the caches
    bool keys_again;   // ... and its key list pair too
    bool pair_missing; // ... because a document of the pair was missing

    KeysVerdict keys;
    char keys_error[JSON_ERROR_BYTES];
    KeyList list;
    uint8_t list_digest[SHA256_BYTES];
    ListChoice list_choice;
    int list_rival;    // with LIST_OTHER_THAN_TAKEN: the answer whose list was taken then
    bool list_behind;  // an allowed version, older than the list taken

    SignatureCause signature;  // under the list of `checked_under`
    uint8_t checked_under[SHA256_BYTES];
    char revoked_id[KEY_ID_BYTES];
    ManifestReading reading;  // refused: see `manifest_error`
    char manifest_error[JSON_ERROR_BYTES];
    char version[MANIFEST_VERSION_BYTES];
    char generated_text[MANIFEST_GENERATED_BYTES];
    int64_t generated;
    char expires_text[MANIFEST_GENERATED_BYTES];
    int64_t expires;
    int file_count;
    ReleaseVerdict release;
    bool release_behind;  // may be taken, but older than the release taken
};

struct Search {
    ReleaseSearch *io;
    Answer *answers;  // ASKED_MAX, a heap block of fetch_manifest's
    int asked;
    const uint8_t *roots;
    int root_count;
    int list_from;  // the answer whose key list is taken, -1: none
    int best;       // the answer whose release is taken, -1: none
    Manifest release;
    int release_from;  // the answer `release` was read from, -1: none
};

// ---------------------------------------------------------------------------
// Asking (ask.cpp)

// The document arrived whole: a 200 with a body.
bool arrived(const Answer *a, Doc doc);
// The signature beside a document.
Doc signature_of(Doc doc);
// `url` (DOC_URL_CHARS) is the document's address on the answer's mirror;
// false when it does not fit.
bool doc_url(const Answer *a, Doc doc, wchar_t *url);
// Frees the document's body and forgets it was asked for.
void forget_document(Document *d);

// Asks `list`'s first `count` mirrors that were not asked yet, at once;
// false when there were none.
bool ask_new(Search *s, const MirrorList *list, int count);
// Asks the mirrors whose answers may have met a cache or an upload halfway
// once more, past the caches, after a pause; false when there were none.
bool ask_again_past_caches(Search *s);

// ---------------------------------------------------------------------------
// Judging (judge.cpp) and telling (report.cpp)

// Judges every answer so far, the key list first (with root keys), then the
// release: records each answer's verdicts, the list taken (`list_from`) and
// the release taken (`best`). Logs nothing.
void judge(Search *s);
// Logs every verdict of the last judgement, in the mirrors' order, and the
// expiry warning the search's outputs hold.
void report(const Search *s);
