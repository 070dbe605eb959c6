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
// Answer (ask.cpp). Every judgement (signatures, key list versions, release
// times) is made on the calling thread once a round's threads have ended
// (judge.cpp), and recorded, not told: every log line (report.cpp) and
// status is written at the very end, in the mirrors' order, so the log reads
// the same however the transfers interleave, and a key list that a later
// round brings is applied to the answers of every round.
#include "release/search_internal.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

namespace {

// The expiry warning's outputs: judged over the releases that could be
// taken, once one was.
void settle_expiry(Search *s)
{
    ReleaseSearch *io = s->io;
    ReleaseExpiry releases[ASKED_MAX];
    const Answer *of[ASKED_MAX];
    int n = 0;
    for (int i = 0; i < s->asked; i++) {
        const Answer *a = &s->answers[i];
        if (a->release != RELEASE_CANDIDATE)
            continue;
        releases[n].dated = a->expires_text[0] != 0;
        releases[n].expires = a->expires;
        of[n++] = a;
    }
    ExpiryVerdict verdict = judge_expiry(releases, n, io->now);
    io->expired = verdict.expired;
    if (verdict.expired)
        memcpy(io->newest_expiry, of[verdict.newest]->expires_text, sizeof io->newest_expiry);
}

// With root keys, mirrors that answered but gave no key list that could be
// taken refuse the release: the server was reached.
bool lists_refused(const Search *s)
{
    if (s->root_count == 0 || s->list_from >= 0)
        return false;
    for (int i = 0; i < s->asked; i++)
        if (arrived(&s->answers[i], KEYS_JSON) || arrived(&s->answers[i], MANIFEST_JSON))
            return true;
    return false;
}

bool any_web_page(const Search *s)
{
    for (int i = 0; i < s->asked; i++)
        for (int doc = 0; doc < DOC_COUNT; doc++)
            if (s->answers[i].doc[doc].web_page)
                return true;
    return false;
}

bool any_older_release(const Search *s)
{
    for (int i = 0; i < s->asked; i++)
        if (s->answers[i].release == RELEASE_OLDER_THAN_APPLIED)
            return true;
    return false;
}

// A manifest refused for its signature says "Invalid version" to the
// player, once a refusal as the log has a line a refusal; one left
// unchecked for want of a key list does not: the missing list is the
// refusal, and the caller says so.
void post_signature_refusals(const Search *s)
{
    for (int i = 0; i < s->asked; i++) {
        const Answer *a = &s->answers[i];
        if (a->release == RELEASE_SIGNATURE_REFUSED && a->signature != SIG_NO_LIST)
            post_status(s->io->window, L"Invalid version");
    }
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
        if (a && a->signature == SIG_GOOD && a->reading == MANIFEST_READ &&
            a->generated < best->generated)
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

bool fetch_manifest(ReleaseSearch *io, Manifest *manifest)
{
    memset(manifest, 0, sizeof *manifest);
    io->mirror_index = 0;
    io->older_seen = io->keys_refused = io->expired = io->web_page = false;
    io->newest_expiry[0] = 0;
    Search s;
    memset(&s, 0, sizeof s);
    s.io = io;
    s.root_count = root_keys(&s.roots);
    s.list_from = s.best = s.release_from = -1;
    s.answers = (Answer *)calloc(ASKED_MAX, sizeof(Answer));
    if (!s.answers) {
        log_printf("manifest: out of memory");
        return false;
    }

    MirrorList ask = io->mirrors;
    int ask_count = io->mirror_count;
    while (ask_new(&s, &ask, ask_count)) {
        judge(&s);
        if (ask_again_past_caches(&s))
            judge(&s);
        if (!hold_best(&s))
            break;
        ask = io->mirrors;
        ask_count = add_manifest_mirrors(&s.release, &ask, io->mirror_count);
    }
    judge(&s);
    if (s.best >= 0)
        settle_expiry(&s);
    io->older_seen = any_older_release(&s);
    io->web_page = any_web_page(&s);
    io->keys_refused = lists_refused(&s);
    // Told before the accepted key list moves on: refusals name the version
    // accepted before.
    report(&s);
    post_signature_refusals(&s);

    if (s.list_from >= 0) {
        const Answer *taken = &s.answers[s.list_from];
        io->keys_version = taken->list.version;
        memcpy(io->keys_digest, taken->list_digest, SHA256_BYTES);
    }
    bool found = false;
    if (hold_best(&s)) {
        object_mirrors(&s);
        *manifest = s.release;
        found = true;
    } else {
        manifest_free(&s.release);
    }
    for (int i = 0; i < s.asked; i++)
        for (int doc = 0; doc < DOC_COUNT; doc++)
            forget_document(&s.answers[i].doc[doc]);
    free(s.answers);
    return found;
}
