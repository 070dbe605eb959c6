// The search for the release a pass applies: every mirror is asked for its
// manifest pair (and, with root keys, its key list pair), and the newest
// manifest that verifies wins.
//
// Why every mirror, and not the first one that gives a good manifest: a
// mirror that keeps serving an older release (stale, or held back on
// purpose) would keep every player who reaches it first on that release
// while the other mirrors serve the new one, and nothing in its answer would
// show it. The price is one small request pair per mirror and pass. The
// mirrors of a round are asked at once, each on a thread of its own, so a
// check waits for the slowest of them, not for their sum, and the
// slow-transfer rule bounds that wait.
//
// Rounds: the mirrors the caller gives (the built-in pair) first, then those
// the newest release names that were not asked yet, again while that brings
// new ones, ASKED_MAX in all.
//
// A cache between a mirror and the player (a CDN, a proxy) may keep an old
// manifest.json beside a fresh manifest.sig, or the other way round: the
// pair then fails its signature on that mirror until the cache lets go. So
// a mirror whose pair verifies under no key is asked once more for both,
// with the headers that make every cache ask the origin, before it is
// refused.
//
// Threads: a fetch thread only downloads one mirror's documents into its own
// Answer. Every judgement (signatures, key list versions, release times) is
// made on the calling thread once a round's threads have ended, and every
// log line and status is written at the very end, in the mirrors' order: the
// log reads the same however the transfers interleave, and a key list that a
// later round brings is applied to the answers of every round.
#include "release/search_internal.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

namespace {

void log_fetch_failure(const Answer *a, Doc doc)
{
    const Document *d = &a->doc[doc];
    const wchar_t *subject = doc < MANIFEST_JSON ? L"keys" : L"manifest";
    wchar_t url[DOC_URL_CHARS];
    doc_url(a, doc, url);
    switch (d->fetch) {
    case DOC_NOT_ASKED:
        return;
    case DOC_ADDRESS_TOO_LONG:
        log_wprintf(L"%s: address of %s on %s too long", subject, DOCS[doc].name, a->mirror);
        return;
    case DOC_TOO_SLOW:
        log_wprintf(L"%s: %s too slow, %llu bytes in %u s", DOCS[doc].tag, url,
                    (unsigned long long)d->stall.bytes, d->stall.seconds);
        return;
    case DOC_REQUESTED:
        log_wprintf(L"%s: %s -> %d", DOCS[doc].tag, url, d->http_status);
        return;
    }
}

// Logs why the document `doc` (and its signature behind it) is missing.
void log_missing_pair(const Answer *a, Doc doc)
{
    log_fetch_failure(a, arrived(a, doc) ? signature_of(doc) : doc);
}

// The answer's key list: its signature under a root, its text, and no root
// among its release keys (roots sign key lists only: one listed as a
// release key would make a root an everyday signing key). Judged once.
void judge_key_list(Search *s, Answer *a)
{
    if (a->keys != KEYS_UNJUDGED)
        return;
    a->keys = KEYS_MISSING;
    if (!arrived(a, KEYS_JSON) || !arrived(a, KEYS_SIG))
        return;
    a->keys = KEYS_BAD_SIGNATURE;
    const Document *list = &a->doc[KEYS_JSON], *sig = &a->doc[KEYS_SIG];
    if (signature_match(list->body, list->length, sig->body, sig->length, s->roots,
                        s->root_count) < 0 ||
        !sha256_buffer(list->body, list->length, a->list_digest))
        return;
    a->keys = KEYS_BAD_TEXT;
    if (!key_list_parse(list->body, list->length, &a->list, a->keys_error))
        return;
    a->keys = KEYS_READ;
    for (int r = 0; r < s->root_count; r++)
        if (key_list_find(&a->list, s->roots + (size_t)r * P256_POINT_BYTES) >= 0)
            a->keys = KEYS_ROOT_LISTED;
}

// Whether a read key list may be taken: not older than the one accepted
// before, and that very list when of its version. Logs the refusal.
bool list_allowed(const Search *s, const Answer *a, bool speak)
{
    const ReleaseSearch *io = s->io;
    if (a->list.version < io->keys_version) {
        if (speak)
            log_wprintf(L"keys: version %llu from %s is older than version %llu, accepted "
                        L"before: refused",
                        (unsigned long long)a->list.version, a->mirror,
                        (unsigned long long)io->keys_version);
        return false;
    }
    if (a->list.version == io->keys_version &&
        memcmp(a->list_digest, io->keys_digest, SHA256_BYTES) != 0) {
        if (speak)
            log_wprintf(L"keys: version %llu from %s differs from the version %llu accepted "
                        L"before: refused",
                        (unsigned long long)a->list.version, a->mirror,
                        (unsigned long long)io->keys_version);
        return false;
    }
    return true;
}

// Takes the newest key list that a root signed and that is allowed; two
// different lists of one version: the first mirror's. Without one, no
// manifest can be checked: when mirrors did answer, that is a refusal, not
// an unreachable server. With `speak`, logs every refusal and the choice.
void choose_key_list(Search *s, bool speak)
{
    s->list_from = -1;
    bool served = false;
    for (int i = 0; i < s->asked; i++) {
        Answer *a = &s->answers[i];
        judge_key_list(s, a);
        served = served || arrived(a, KEYS_JSON) || arrived(a, MANIFEST_JSON);
        if (a->keys == KEYS_MISSING) {
            if (speak)
                log_missing_pair(a, KEYS_JSON);
            continue;
        }
        if (speak && a->keys == KEYS_BAD_SIGNATURE)
            log_wprintf(L"keys: bad signature from %s", a->mirror);
        if (speak && a->keys == KEYS_BAD_TEXT)
            log_printf("%s (from mirror %d)", a->keys_error, i);
        if (speak && a->keys == KEYS_ROOT_LISTED)
            log_wprintf(L"keys: version %llu from %s names a root key as a release key: refused",
                        (unsigned long long)a->list.version, a->mirror);
        if (a->keys != KEYS_READ || !list_allowed(s, a, speak))
            continue;
        const Answer *taken = s->list_from >= 0 ? &s->answers[s->list_from] : nullptr;
        if (taken && a->list.version == taken->list.version &&
            memcmp(a->list_digest, taken->list_digest, SHA256_BYTES) != 0) {
            if (speak)
                log_wprintf(L"keys: version %llu from %s differs from the one from %s: refused",
                            (unsigned long long)a->list.version, a->mirror, taken->mirror);
            continue;
        }
        if (!taken || a->list.version > taken->list.version)
            s->list_from = i;
    }
    s->io->keys_refused = s->list_from < 0 && served;
    if (!speak)
        return;
    if (s->list_from < 0) {
        log_printf("keys: no key list accepted: no manifest can be checked");
        return;
    }
    const Answer *taken = &s->answers[s->list_from];
    log_wprintf(L"keys: version %llu (%S) from %s: %d release keys",
                (unsigned long long)taken->list.version, taken->list.generated_text,
                taken->mirror, (int)taken->list.release_count);
    for (int i = 0; i < s->asked; i++) {
        const Answer *a = &s->answers[i];
        if (a->keys == KEYS_READ && a->list.version < taken->list.version &&
            a->list.version >= s->io->keys_version)
            log_wprintf(L"keys: %s serves version %llu, older than %llu", a->mirror,
                        (unsigned long long)a->list.version,
                        (unsigned long long)taken->list.version);
    }
}

// The points of the keys [first, first + n) of `list` into `points`.
void copy_points(const KeyList *list, int first, int n, uint8_t *points)
{
    for (int i = 0; i < n; i++)
        memcpy(points + (size_t)i * P256_POINT_BYTES, list->keys[first + i].point,
               P256_POINT_BYTES);
}

// Checks the answer's manifest signature under the key taken (the built-in
// key without roots), again only when the key list changed; on failure
// looks for the cause among the revoked keys and the roots.
void check_signature(Search *s, Answer *a)
{
    const char *doc = a->doc[MANIFEST_JSON].body, *sig = a->doc[MANIFEST_SIG].body;
    size_t doc_len = a->doc[MANIFEST_JSON].length, sig_len = a->doc[MANIFEST_SIG].length;
    if (s->root_count == 0) {
        if (a->signature == SIG_UNCHECKED)
            a->signature = manifest_signature_valid(doc, doc_len, sig, sig_len) ? SIG_GOOD
                                                                                : SIG_UNKNOWN_KEY;
        return;
    }
    if (s->list_from < 0) {
        a->signature = SIG_NO_LIST;
        return;
    }
    const KeyList *list = &s->answers[s->list_from].list;
    const uint8_t *digest = s->answers[s->list_from].list_digest;
    if (a->signature != SIG_UNCHECKED && a->signature != SIG_NO_LIST &&
        memcmp(a->checked_under, digest, SHA256_BYTES) == 0)
        return;
    memcpy(a->checked_under, digest, SHA256_BYTES);
    uint8_t points[KEY_LIST_MAX_KEYS * P256_POINT_BYTES];
    copy_points(list, 0, list->release_count, points);
    if (signature_match(doc, doc_len, sig, sig_len, points, list->release_count) >= 0) {
        a->signature = SIG_GOOD;
        return;
    }
    int revoked_count = list->count - list->release_count;
    copy_points(list, list->release_count, revoked_count, points);
    int revoked = signature_match(doc, doc_len, sig, sig_len, points, revoked_count);
    a->signature = SIG_UNKNOWN_KEY;
    if (revoked >= 0) {
        a->signature = SIG_REVOKED_KEY;
        memcpy(a->revoked_id, list->keys[list->release_count + revoked].id, KEY_ID_BYTES);
    } else if (signature_match(doc, doc_len, sig, sig_len, s->roots, s->root_count) >= 0) {
        a->signature = SIG_ROOT_KEY;
    }
}

// Reads a manifest whose signature verified (once), keeping the record
// while it is the newest read.
void read_manifest(Search *s, int i)
{
    Answer *a = &s->answers[i];
    if (a->reading != MANIFEST_UNREAD)
        return;
    Manifest m;
    const Document *d = &a->doc[MANIFEST_JSON];
    if (!manifest_parse(d->body, d->length, &m, a->manifest_error)) {
        a->reading = MANIFEST_REFUSED;
        return;
    }
    a->reading = MANIFEST_READ;
    memcpy(a->version, m.version, sizeof a->version);
    memcpy(a->generated_text, m.generated_text, sizeof a->generated_text);
    a->generated = m.generated;
    memcpy(a->expires_text, m.expires_text, sizeof a->expires_text);
    a->expires = m.expires;
    a->file_count = m.file_count;
    if (s->release_from < 0 || m.generated > s->answers[s->release_from].generated) {
        manifest_free(&s->release);
        s->release = m;
        s->release_from = i;
    } else {
        manifest_free(&m);
    }
}

void log_signature_refusal(const Search *s, const Answer *a)
{
    switch (a->signature) {
    case SIG_NO_LIST:
        log_wprintf(L"manifest: %s not checked: no key list accepted", a->mirror);
        return;
    case SIG_REVOKED_KEY:
        log_wprintf(L"manifest: %s is signed with the revoked key %S: refused", a->mirror,
                    a->revoked_id);
        break;
    case SIG_ROOT_KEY:
        log_wprintf(L"manifest: %s is signed with a root key, which signs key lists only: "
                    L"refused", a->mirror);
        break;
    default:
        if (s->root_count == 0)
            log_wprintf(L"manifest: bad signature from %s", a->mirror);
        else
            log_wprintf(L"manifest: bad signature from %s (no release key of key list %llu)",
                        a->mirror, (unsigned long long)s->answers[s->list_from].list.version);
    }
    post_status(s->io->window, L"Invalid version");
}

// Takes the newest release that verifies and is not older than the applied
// one; the first mirror's on a tie. With `speak`, logs every refusal, the
// choice, the mirrors it finds older and the expiry warning.
void choose_release(Search *s, bool speak)
{
    ReleaseSearch *io = s->io;
    s->best = -1;
    io->older_seen = 0;
    for (int i = 0; i < s->asked; i++) {
        Answer *a = &s->answers[i];
        if (speak && a->past_caches)
            log_wprintf(L"mirror %s: %s, asking again past caches", a->mirror,
                        a->pair_missing ? L"manifest pair incomplete" : L"signature refused");
        if (!arrived(a, MANIFEST_JSON) || !arrived(a, MANIFEST_SIG)) {
            if (speak)
                log_missing_pair(a, MANIFEST_JSON);
            continue;
        }
        check_signature(s, a);
        if (a->signature != SIG_GOOD) {
            if (speak)
                log_signature_refusal(s, a);
            continue;
        }
        read_manifest(s, i);
        if (a->reading == MANIFEST_REFUSED) {
            if (speak)
                log_printf("%s (from mirror %d)", a->manifest_error, i);
            continue;
        }
        if (a->generated < io->applied_time) {
            if (speak)
                log_wprintf(L"manifest %S from %s older than the applied one (%lld < %lld): next "
                            L"mirror",
                            a->version, a->mirror, (long long)a->generated,
                            (long long)io->applied_time);
            io->older_seen = 1;
            continue;
        }
        if (s->best < 0 || a->generated > s->answers[s->best].generated)
            s->best = i;
    }
    if (s->best < 0 || !speak)
        return;
    const Answer *best = &s->answers[s->best];
    log_wprintf(L"manifest %S (%S) from %s: %d files", best->version, best->generated_text,
                best->mirror, best->file_count);
    // The expiry warning: every release that could be taken has expired.
    io->expired = 1;
    int64_t newest_expiry = -1;
    for (int i = 0; i < s->asked; i++) {
        const Answer *a = &s->answers[i];
        if (a->signature != SIG_GOOD || a->reading != MANIFEST_READ || a->generated < io->applied_time)
            continue;
        if (a->generated < best->generated)
            log_wprintf(L"mirror %s serves %S, older than %S", a->mirror, a->generated_text,
                        best->generated_text);
        if (!a->expires_text[0] || a->expires >= io->now) {
            io->expired = 0;
        } else if (a->expires > newest_expiry) {
            newest_expiry = a->expires;
            memcpy(io->newest_expiry, a->expires_text, sizeof io->newest_expiry);
        }
    }
    if (io->expired)
        log_printf("manifest: every release served has expired, the newest on %s: the mirrors "
                   "may be out of date",
                   io->newest_expiry);
    else
        io->newest_expiry[0] = 0;
}

// Judges every answer so far: the key list, then the release.
void judge(Search *s, bool speak)
{
    if (s->root_count > 0)
        choose_key_list(s, speak);
    choose_release(s, speak);
}

// The answer of `url`, -1 when it was not asked.
int answer_of(const Search *s, const wchar_t *url)
{
    for (int i = 0; i < s->asked; i++)
        if (lstrcmpiW(s->answers[i].mirror, url) == 0)
            return i;
    return -1;
}

// The mirrors of the objects: the first ones and the release's own, with
// the one that served the release among them, without any that served an
// older one; those the slow-transfer rule cut benched.
void object_mirrors(Search *s)
{
    ReleaseSearch *io = s->io;
    const Answer *best = &s->answers[s->best];
    MirrorList all = io->mirrors;
    int count = add_manifest_mirrors(&s->release, &all, io->mirror_count);
    bool listed = false;
    for (int m = 0; m < count && !listed; m++)
        listed = lstrcmpiW(all.url[m], best->mirror) == 0;
    if (!listed)
        lstrcpynW(all.url[count < MIRROR_SLOTS ? count++ : MIRROR_SLOTS - 1], best->mirror,
                  MIRROR_CHARS);
    io->mirror_count = 0;
    io->mirrors.benched = 0;
    for (int m = 0; m < count; m++) {
        int i = answer_of(s, all.url[m]);
        const Answer *a = i >= 0 ? &s->answers[i] : nullptr;
        if (a && a->signature == SIG_GOOD && a->reading == MANIFEST_READ && a->generated < best->generated)
            continue;
        if (i == s->best)
            io->mirror_index = io->mirror_count;
        if (a && a->stalled)
            io->mirrors.benched |= 1L << io->mirror_count;
        lstrcpynW(io->mirrors.url[io->mirror_count++], all.url[m], MIRROR_CHARS);
    }
}

// Makes `release` the best answer's manifest (read again when a key list
// of a later round refused the one read first). False without one.
bool hold_best(Search *s)
{
    if (s->best < 0)
        return false;
    if (s->release_from != s->best) {
        Answer *best = &s->answers[s->best];
        manifest_free(&s->release);
        s->release_from = -1;
        const Document *d = &best->doc[MANIFEST_JSON];
        if (!manifest_parse(d->body, d->length, &s->release, nullptr))
            return false;
        s->release_from = s->best;
    }
    return true;
}

}  // namespace

int fetch_manifest(ReleaseSearch *io, Manifest *manifest)
{
    memset(manifest, 0, sizeof *manifest);
    io->mirror_index = 0;
    io->older_seen = io->keys_refused = io->expired = 0;
    io->newest_expiry[0] = 0;
    Search s;
    memset(&s, 0, sizeof s);
    s.io = io;
    s.root_count = root_keys(&s.roots);
    s.list_from = s.best = s.release_from = -1;
    s.answers = (Answer *)calloc(ASKED_MAX, sizeof(Answer));
    if (!s.answers) {
        log_printf("manifest: out of memory");
        return 0;
    }

    MirrorList ask = io->mirrors;
    int ask_count = io->mirror_count;
    while (ask_new(&s, &ask, ask_count)) {
        judge(&s, false);
        if (ask_again_past_caches(&s))
            judge(&s, false);
        if (!hold_best(&s))
            break;
        ask = io->mirrors;
        ask_count = add_manifest_mirrors(&s.release, &ask, io->mirror_count);
    }
    judge(&s, true);

    if (s.list_from >= 0) {
        const Answer *taken = &s.answers[s.list_from];
        io->keys_version = taken->list.version;
        memcpy(io->keys_digest, taken->list_digest, SHA256_BYTES);
    }
    int found = 0;
    if (hold_best(&s)) {
        object_mirrors(&s);
        *manifest = s.release;
        found = 1;
    } else {
        manifest_free(&s.release);
    }
    for (int i = 0; i < s.asked; i++)
        for (int doc = 0; doc < DOC_COUNT; doc++)
            forget_document(&s.answers[i].doc[doc]);
    free(s.answers);
    return found;
}
