// Asking the mirrors: each mirror of a round on a thread of its own that
// only downloads its documents into its Answer, so that a round waits for
// the slowest mirror, not for their sum (the slow-transfer rule bounds that
// wait). Nothing here judges what arrived; asking again goes by the last
// judgement.
#include "release/search_internal.h"

#include <windows.h>

#include <string.h>

namespace {

// How long a mirror whose pair did not match has to finish replacing it
// before it is asked again.
const DWORD PAST_CACHES_PAUSE_MS = 1000;

// Whether a 200 for `doc` is a web page in its place: said to be HTML, or
// beginning like markup (no document of a mirror begins with '<'), or, for
// the JSON documents, something else than JSON from another host than the
// one asked (a network that sends every address to its sign-in page; a
// mirror whose documents are redirected to a content host still answers
// with the documents).
bool is_web_page(Doc doc, const HttpAnswer *answer, const char *body, uint32_t length)
{
    uint32_t i = 0;
    while (i < length && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n'))
        i++;
    char first = i < length ? body[i] : 0;
    bool json = doc == KEYS_JSON || doc == MANIFEST_JSON;
    return answer->html_type || first == '<' || (json && answer->elsewhere && first != '{');
}

bool not_found(const Answer *a, Doc doc)
{
    return a->doc[doc].fetch == DOC_REQUESTED && a->doc[doc].http_status == 404;
}

// The document a signature is made over.
Doc signed_by(Doc sig)
{
    return sig == KEYS_SIG ? KEYS_JSON : MANIFEST_JSON;
}

// Fetches the documents the answer wants: its key list pair (with root
// keys) and its manifest pair, or, asked again past the caches, the
// manifest pair and the key list pair if that did not match either.
void fetch_answer(Answer *a)
{
    int first = a->want_keys && (!a->past_caches || a->keys_again) ? KEYS_JSON : MANIFEST_JSON;
    for (int i = first; i < DOC_COUNT && !a->stalled; i++) {
        Doc doc = (Doc)i;
        Document *d = &a->doc[doc];
        // A signature is asked for only beside its document.
        if ((doc == KEYS_SIG || doc == MANIFEST_SIG) && !arrived(a, signed_by(doc)))
            continue;
        wchar_t url[DOC_URL_CHARS];
        if (!doc_url(a, doc, url)) {
            d->fetch = DOC_ADDRESS_TOO_LONG;
            continue;
        }
        int status = a->past_caches
            ? http_get_to_memory_uncached(url, &d->body, &d->length, DOCS[doc].limit)
            : http_get_to_memory(url, &d->body, &d->length, DOCS[doc].limit);
        if (status == HTTP_TOO_SLOW) {
            d->fetch = DOC_TOO_SLOW;
            d->stall = http_last_stall();
            a->stalled = true;
        } else {
            d->fetch = DOC_REQUESTED;
            d->http_status = status;
            HttpAnswer answer = http_last_answer();
            d->web_page = status == 200 && is_web_page(doc, &answer, d->body, d->length);
            lstrcpynW(d->page_host, answer.host, HTTP_HOST_CHARS);
        }
    }
}

DWORD WINAPI fetch_thread(void *arg)
{
    fetch_answer((Answer *)arg);
    return 0;
}

// Fetches the `n` answers of `round` at once, each on a thread of its own
// (on this thread when one cannot be started, or there is only one).
void fetch_round(Answer **round, int n)
{
    HANDLE threads[ASKED_MAX];
    int started = 0;
    for (int i = 0; i < n; i++) {
        HANDLE t = n > 1 ? CreateThread(nullptr, 0, fetch_thread, round[i], 0, nullptr) : nullptr;
        if (t)
            threads[started++] = t;
        else
            fetch_answer(round[i]);
    }
    if (started)
        WaitForMultipleObjects((DWORD)started, threads, TRUE, INFINITE);
    for (int i = 0; i < started; i++)
        CloseHandle(threads[i]);
}

}  // namespace

const DocKind DOCS[DOC_COUNT] = {
    {L"keys.json", L"keys", KEY_LIST_MAX_BYTES},
    {L"keys.sig", L"keys.sig", SIGNATURE_BODY_LIMIT},
    {L"manifest.json", L"manifest", MANIFEST_BODY_LIMIT},
    {L"manifest.sig", L"manifest.sig", SIGNATURE_BODY_LIMIT},
};

bool arrived(const Answer *a, Doc doc)
{
    const Document *d = &a->doc[doc];
    return d->fetch == DOC_REQUESTED && d->http_status == 200 && d->length > 0 && !d->web_page;
}

Doc signature_of(Doc doc)
{
    return doc == KEYS_JSON ? KEYS_SIG : MANIFEST_SIG;
}

bool doc_url(const Answer *a, Doc doc, wchar_t *url)
{
    return format_wide(url, DOC_URL_CHARS, L"%s%s", a->mirror, DOCS[doc].name) >= 0;
}

void forget_document(Document *d)
{
    if (d->body)
        HeapFree(GetProcessHeap(), 0, d->body);
    memset(d, 0, sizeof *d);
}

bool ask_new(Search *s, const MirrorList *list, int count)
{
    Answer *round[ASKED_MAX];
    int n = 0;
    for (int m = 0; m < count && s->asked < ASKED_MAX; m++) {
        bool known = false;
        for (int i = 0; i < s->asked && !known; i++)
            known = lstrcmpiW(s->answers[i].mirror, list->url[m]) == 0;
        if (known)
            continue;
        Answer *a = &s->answers[s->asked++];
        lstrcpynW(a->mirror, list->url[m], MIRROR_CHARS);
        a->want_keys = s->root_count > 0;
        round[n++] = a;
    }
    if (n == 0)
        return false;
    fetch_round(round, n);
    return true;
}

// Asks every mirror whose manifest pair verified under no key, or whose
// key list pair did not match and whose manifest pair was not taken, or,
// when no mirror's release can be taken, whose manifest pair was missing a
// document (404), and was not asked again yet, once more for the pairs past
// the caches, after a moment: a mirror that a release or a key list is
// being uploaded to has replaced the document and not yet its signature (or
// has the document out of the way for the moment a replacing move takes),
// and serves the pair whole an instant later. Its answer is then judged
// afresh.
bool ask_again_past_caches(Search *s)
{
    Answer *round[ASKED_MAX];
    int n = 0;
    for (int i = 0; i < s->asked; i++) {
        Answer *a = &s->answers[i];
        bool keys_again = a->keys == KEYS_BAD_SIGNATURE && a->signature != SIG_GOOD;
        bool missing = s->best < 0 &&
                       (not_found(a, MANIFEST_JSON) ||
                        (arrived(a, MANIFEST_JSON) && not_found(a, MANIFEST_SIG)));
        if (a->past_caches || (a->signature != SIG_UNKNOWN_KEY && !keys_again && !missing))
            continue;
        a->past_caches = true;
        a->keys_again = keys_again;
        a->pair_missing = missing && a->signature != SIG_UNKNOWN_KEY && !keys_again;
        if (keys_again)
            a->keys = KEYS_UNJUDGED;
        for (int doc = keys_again ? KEYS_JSON : MANIFEST_JSON; doc < DOC_COUNT; doc++)
            forget_document(&a->doc[doc]);
        a->signature = SIG_UNCHECKED;
        round[n++] = a;
    }
    if (n == 0)
        return false;
    Sleep(PAST_CACHES_PAUSE_MS);
    fetch_round(round, n);
    return true;
}
