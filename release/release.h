// The release search: every mirror asked for its manifest pair (and, with
// root keys, its key list pair), the answers judged, and the newest release
// that verifies taken, with the mirrors a pass may take its objects from;
// and the expiry judgement it warns by.
//
// Who owns what:
// - Threads. fetch_manifest runs on the caller's thread; it asks the mirrors
//   of a round at once, a thread per mirror that only downloads into its own
//   answer, started, joined and its handle closed within one call.
// - Memory. The manifest it returns is the caller's (manifest_free); the
//   answers (one heap block) and their bodies (process heap) are freed
//   before it returns. A ReleaseSearch is the caller's.
// - Log and messages. Every log line of a search is written once at its end,
//   in the mirrors' order; then each manifest refused for its signature
//   posts "Invalid version" to the search's window.
//
// Test seams: none of its own. The mirrors asked are the caller's
// (ReleaseSearch.mirrors), the built-in pair fetch/'s mirrors_set_builtin,
// the root keys manifest/'s signature_set_roots; judge_expiry is pure.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fetch/fetch.h"

enum {
    MANIFEST_BODY_LIMIT = 4194304,
    SIGNATURE_BODY_LIMIT = 4096,
};

// One pass's search for the release to apply (fetch_manifest). The caller
// fills the inputs; the outputs are set whatever the result.
struct ReleaseSearch {
    void *window;                       // in: receives "Invalid version" statuses
    int64_t applied_time;               // in: older releases are refused (equal is accepted)
    int64_t now;                        // in: seconds since 1970, for "expires"
    // In: the highest key list version accepted before and the SHA-256 of
    // that list; out: the same after this search (a newer list accepted).
    // Unused without root keys.
    uint64_t keys_version;
    uint8_t keys_digest[SHA256_BYTES];
    // In: the mirrors to ask first (the built-in pair); out: those a pass
    // takes objects from: these and the release's own, without any that
    // served an older release, those cut by the slow-transfer rule benched.
    MirrorList mirrors;
    int mirror_count;
    int mirror_index;     // out: the slot of the mirror that served the release
    bool older_seen;      // out: some mirror served a signed release older than the applied one
    bool keys_refused;    // out: with root keys, mirrors answered but no key list was accepted
    bool web_page;        // out: some mirror answered with a web page (a network's sign-in page)
    bool expired;         // out: every signed release served had passed its "expires"
    char newest_expiry[MANIFEST_GENERATED_BYTES];  // out: with `expired`, the latest of them
};

// Asks every mirror for its manifest pair (and, with root keys, its key list
// pair), the first mirrors, then those the newest release names, and takes
// the newest release that verifies and is not older than the applied one.
// With root keys a manifest verifies only under a release key of the newest
// key list a root signed, which is never older than the one accepted before.
// A mirror whose manifest pair verifies under no key is asked once more for
// both past the caches (a cache may hold an old one of the two).
// True with the manifest (the caller frees it), false when no mirror gave
// one. Every refusal is logged with its cause; a manifest that does not
// verify posts "Invalid version".
bool fetch_manifest(ReleaseSearch *search, Manifest *manifest);

// The expiry of one release a search could take.
struct ReleaseExpiry {
    bool dated;       // it names an "expires"
    int64_t expires;  // with `dated`: seconds since 1970
};

// What the expiry dates of the releases a search could take say.
struct ExpiryVerdict {
    bool expired;  // every one has passed its date
    int newest;    // with `expired`: the one with the latest date (the first on a tie); else -1
};

// A release without a date never expires, one dated `now` has not expired
// yet, and no release at all is no warning. Pure: the caller's clock decides.
ExpiryVerdict judge_expiry(const ReleaseExpiry *releases, int count, int64_t now);
