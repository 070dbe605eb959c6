// The release search's log: every line of the last judgement, written once
// the search is over, in the mirrors' order, so that the log reads the same
// however the transfers interleaved. It reads verdicts only: nothing here
// judges, and nothing is posted to a window.
#include "release/search_internal.h"

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
        if (d->web_page)
            log_wprintf(L"%s: %s -> a web page from %s, not the document", DOCS[doc].tag, url,
                        d->page_host);
        else
            log_wprintf(L"%s: %s -> %d", DOCS[doc].tag, url, d->http_status);
        return;
    }
}

// Logs why the document `doc` (and its signature behind it) is missing.
void log_missing_pair(const Answer *a, Doc doc)
{
    log_fetch_failure(a, arrived(a, doc) ? signature_of(doc) : doc);
}

void log_key_list_refusal(const Search *s, const Answer *a, int i)
{
    const ReleaseSearch *io = s->io;
    switch (a->keys) {
    case KEYS_UNJUDGED:
    case KEYS_READ:
        break;
    case KEYS_MISSING:
        log_missing_pair(a, KEYS_JSON);
        return;
    case KEYS_BAD_SIGNATURE:
        log_wprintf(L"keys: bad signature from %s", a->mirror);
        return;
    case KEYS_BAD_TEXT:
        log_printf("%s (from mirror %d)", a->keys_error, i);
        return;
    case KEYS_ROOT_LISTED:
        log_wprintf(L"keys: version %llu from %s names a root key as a release key: refused",
                    (unsigned long long)a->list.version, a->mirror);
        return;
    }
    switch (a->list_choice) {
    case LIST_NOT_READ:
    case LIST_ALLOWED:
        return;
    case LIST_OLDER_THAN_ACCEPTED:
        log_wprintf(L"keys: version %llu from %s is older than version %llu, accepted before: "
                    L"refused",
                    (unsigned long long)a->list.version, a->mirror,
                    (unsigned long long)io->keys_version);
        return;
    case LIST_OTHER_THAN_ACCEPTED:
        log_wprintf(L"keys: version %llu from %s differs from the version %llu accepted before: "
                    L"refused",
                    (unsigned long long)a->list.version, a->mirror,
                    (unsigned long long)io->keys_version);
        return;
    case LIST_OTHER_THAN_TAKEN:
        log_wprintf(L"keys: version %llu from %s differs from the one from %s: refused",
                    (unsigned long long)a->list.version, a->mirror,
                    s->answers[a->list_rival].mirror);
        return;
    }
}

// Every key list refused with its cause, then the one taken and the mirrors
// behind it.
void report_key_lists(const Search *s)
{
    for (int i = 0; i < s->asked; i++)
        log_key_list_refusal(s, &s->answers[i], i);
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
        if (a->list_behind)
            log_wprintf(L"keys: %s serves version %llu, older than %llu", a->mirror,
                        (unsigned long long)a->list.version,
                        (unsigned long long)taken->list.version);
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
        return;
    case SIG_ROOT_KEY:
        log_wprintf(L"manifest: %s is signed with a root key, which signs key lists only: "
                    L"refused", a->mirror);
        return;
    case SIG_UNCHECKED:
    case SIG_GOOD:
    case SIG_UNKNOWN_KEY:
        if (s->root_count == 0)
            log_wprintf(L"manifest: bad signature from %s", a->mirror);
        else
            log_wprintf(L"manifest: bad signature from %s (no release key of key list %llu)",
                        a->mirror, (unsigned long long)s->answers[s->list_from].list.version);
        return;
    }
}

void log_release_refusal(const Search *s, const Answer *a, int i)
{
    switch (a->release) {
    case RELEASE_PAIR_MISSING:
        log_missing_pair(a, MANIFEST_JSON);
        return;
    case RELEASE_SIGNATURE_REFUSED:
        log_signature_refusal(s, a);
        return;
    case RELEASE_UNREADABLE:
        log_printf("%s (from mirror %d)", a->manifest_error, i);
        return;
    case RELEASE_OLDER_THAN_APPLIED:
        log_wprintf(L"manifest %S from %s older than the applied one (%lld < %lld): next mirror",
                    a->version, a->mirror, (long long)a->generated,
                    (long long)s->io->applied_time);
        return;
    case RELEASE_CANDIDATE:
        return;
    }
}

// Every mirror asked again and every release refused with its cause, then
// the one taken, the mirrors behind it and the expiry warning.
void report_releases(const Search *s)
{
    for (int i = 0; i < s->asked; i++) {
        const Answer *a = &s->answers[i];
        if (a->past_caches)
            log_wprintf(L"mirror %s: %s, asking again past caches", a->mirror,
                        a->pair_missing ? L"manifest pair incomplete" : L"signature refused");
        log_release_refusal(s, a, i);
    }
    if (s->best < 0)
        return;
    const Answer *best = &s->answers[s->best];
    log_wprintf(L"manifest %S (%S) from %s: %d files", best->version, best->generated_text,
                best->mirror, best->file_count);
    for (int i = 0; i < s->asked; i++) {
        const Answer *a = &s->answers[i];
        if (a->release_behind)
            log_wprintf(L"mirror %s serves %S, older than %S", a->mirror, a->generated_text,
                        best->generated_text);
    }
    if (s->io->expired)
        log_printf("manifest: every release served has expired, the newest on %s: the mirrors "
                   "may be out of date",
                   s->io->newest_expiry);
}

}  // namespace

void report(const Search *s)
{
    if (s->root_count > 0)
        report_key_lists(s);
    report_releases(s);
}
