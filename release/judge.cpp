// Judging the answers: which key list is taken, whether each manifest
// verifies under it, which release is the newest that may be taken. Runs on
// the search's thread once a round's fetch threads have ended, as often as
// a round brings new answers; each run records its verdicts in the answers
// and says nothing (report.cpp writes the last run's verdicts).
#include "release/search_internal.h"

#include <string.h>

namespace {

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
// before, that very list when of its version, and, beside the one taken so
// far (`taken`, or null), not another list of the same version.
ListChoice choose_list(const Search *s, const Answer *a, const Answer *taken)
{
    const ReleaseSearch *io = s->io;
    if (a->list.version < io->keys_version)
        return LIST_OLDER_THAN_ACCEPTED;
    if (a->list.version == io->keys_version &&
        memcmp(a->list_digest, io->keys_digest, SHA256_BYTES) != 0)
        return LIST_OTHER_THAN_ACCEPTED;
    if (taken && a->list.version == taken->list.version &&
        memcmp(a->list_digest, taken->list_digest, SHA256_BYTES) != 0)
        return LIST_OTHER_THAN_TAKEN;
    return LIST_ALLOWED;
}

// Takes the newest key list that a root signed and that is allowed; two
// different lists of one version: the first mirror's. Without one, no
// manifest can be checked.
void choose_key_list(Search *s)
{
    s->list_from = -1;
    for (int i = 0; i < s->asked; i++) {
        Answer *a = &s->answers[i];
        judge_key_list(s, a);
        const Answer *taken = s->list_from >= 0 ? &s->answers[s->list_from] : nullptr;
        a->list_rival = s->list_from;
        a->list_choice = a->keys == KEYS_READ ? choose_list(s, a, taken) : LIST_NOT_READ;
        if (a->list_choice == LIST_ALLOWED && (!taken || a->list.version > taken->list.version))
            s->list_from = i;
    }
    // A mirror that serves an older list than the one taken, though not one
    // older than the launcher accepted before, is merely behind.
    for (int i = 0; i < s->asked; i++) {
        Answer *a = &s->answers[i];
        a->list_behind = s->list_from >= 0 && a->keys == KEYS_READ &&
                         a->list.version < s->answers[s->list_from].list.version &&
                         a->list.version >= s->io->keys_version;
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

// How far the answer's release got: its pair, its signature, its text, its
// age against the applied release.
ReleaseVerdict judge_release(Search *s, int i)
{
    Answer *a = &s->answers[i];
    if (!arrived(a, MANIFEST_JSON) || !arrived(a, MANIFEST_SIG))
        return RELEASE_PAIR_MISSING;
    check_signature(s, a);
    if (a->signature != SIG_GOOD)
        return RELEASE_SIGNATURE_REFUSED;
    read_manifest(s, i);
    if (a->reading == MANIFEST_REFUSED)
        return RELEASE_UNREADABLE;
    if (a->generated < s->io->applied_time)
        return RELEASE_OLDER_THAN_APPLIED;
    return RELEASE_CANDIDATE;
}

// Takes the newest release that verifies and is not older than the applied
// one; the first mirror's on a tie.
void choose_release(Search *s)
{
    s->best = -1;
    for (int i = 0; i < s->asked; i++) {
        Answer *a = &s->answers[i];
        a->release = judge_release(s, i);
        if (a->release == RELEASE_CANDIDATE &&
            (s->best < 0 || a->generated > s->answers[s->best].generated))
            s->best = i;
    }
    for (int i = 0; i < s->asked; i++) {
        Answer *a = &s->answers[i];
        a->release_behind = s->best >= 0 && a->release == RELEASE_CANDIDATE &&
                            a->generated < s->answers[s->best].generated;
    }
}

}  // namespace

void judge(Search *s)
{
    if (s->root_count > 0)
        choose_key_list(s);
    choose_release(s);
}

ExpiryVerdict judge_expiry(const ReleaseExpiry *releases, int count, int64_t now)
{
    ExpiryVerdict verdict = {count > 0, -1};
    for (int i = 0; i < count && verdict.expired; i++) {
        if (!releases[i].dated || releases[i].expires >= now)
            verdict.expired = false;
        else if (verdict.newest < 0 || releases[i].expires > releases[verdict.newest].expires)
            verdict.newest = i;
    }
    if (!verdict.expired)
        verdict.newest = -1;
    return verdict;
}
