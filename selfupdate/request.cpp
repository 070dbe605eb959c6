// Reading a swap request and naming the backup: the helper's decisions that
// depend on nothing but text.
//
// No platform calls: this file also builds natively for tests and fuzzing.
#include "selfupdate/selfupdate.h"

#include <wchar.h>

namespace {

// The runtime's atol rules: leading blanks, an optional sign, then digits up
// to the first other character; no digits give 0. Saturates at the 32-bit
// limits instead of wrapping, so that no long run of digits turns into a
// small process id (or into 0).
long parse_decimal(const wchar_t *text)
{
    const long long LIMIT = 2147483648LL;  // 2^31
    while (*text == L' ' || (*text >= L'\t' && *text <= L'\r'))
        text++;
    int negative = 0;
    if (*text == L'+' || *text == L'-')
        negative = *text++ == L'-';
    long long value = 0;
    for (; *text >= L'0' && *text <= L'9'; text++) {
        value = value * 10 + (*text - L'0');
        if (value > LIMIT)
            value = LIMIT;
    }
    if (negative)
        return (long)-value;
    return (long)(value == LIMIT ? LIMIT - 1 : value);
}

}  // namespace

int swap_parse_request(int argc, const wchar_t *const *argv, unsigned long *pid,
                       wchar_t *target, size_t cap_chars)
{
    *pid = 0;
    if (cap_chars)
        target[0] = 0;
    for (int i = 1; i + 2 < argc; i++) {
        if (wcscmp(argv[i], L"--swap") != 0)
            continue;
        long id = parse_decimal(argv[i + 1]);
        if (id == 0)
            return 0;
        *pid = (unsigned long)id;
        size_t len = wcslen(argv[i + 2]);
        // A cut path would name another file: refuse it instead.
        if (len >= cap_chars)
            return -1;
        wmemcpy(target, argv[i + 2], len + 1);
        return 1;
    }
    return 0;
}

int swap_sibling_path(const wchar_t *target, OwnFileId id, wchar_t *dst, size_t cap_chars)
{
    const wchar_t *name = own_file_name(id);
    const size_t name_chars = wcslen(name) + 1;
    size_t folder = 0;
    for (size_t i = 0; target[i]; i++)
        if (target[i] == L'\\')
            folder = i + 1;
    if (folder + name_chars > cap_chars) {
        if (cap_chars)
            dst[0] = 0;
        return 0;
    }
    wmemcpy(dst, target, folder);
    wmemcpy(dst + folder, name, name_chars);
    return 1;
}

int swap_target_folder(const wchar_t *target, wchar_t *dst, size_t cap_chars)
{
    size_t after_slash = 0;
    for (size_t i = 0; target[i]; i++)
        if (target[i] == L'\\')
            after_slash = i + 1;
    // A drive root keeps its backslash ("C:\"), every other folder drops it.
    size_t n = after_slash <= 3 ? after_slash : after_slash - 1;
    if (n >= cap_chars) {
        if (cap_chars)
            dst[0] = 0;
        return 0;
    }
    wmemcpy(dst, target, n);
    dst[n] = 0;
    return 1;
}

int swap_parse_trial(int argc, const wchar_t *const *argv, wchar_t *target, size_t cap_chars)
{
    if (cap_chars)
        target[0] = 0;
    for (int i = 1; i + 1 < argc; i++) {
        if (wcscmp(argv[i], SWAP_RESTART_OPTION) != 0)
            continue;
        size_t len = wcslen(argv[i + 1]);
        if (len == 0)
            return 0;
        if (len >= cap_chars)
            return -1;
        wmemcpy(target, argv[i + 1], len + 1);
        return 1;
    }
    return 0;
}

int swap_event_name(SwapEvent event, unsigned long pid, wchar_t *dst, size_t cap_chars)
{
    const wchar_t *head = L"Korvanth swap ";
    const wchar_t *tail = event == SWAP_EVENT_TAKEN_OVER ? L" taken over" : L" started";
    wchar_t digits[12];
    size_t n = 0;
    do {
        digits[n++] = (wchar_t)(L'0' + pid % 10);
        pid /= 10;
    } while (pid);
    size_t head_chars = wcslen(head), tail_chars = wcslen(tail);
    if (head_chars + n + tail_chars + 1 > cap_chars) {
        if (cap_chars)
            dst[0] = 0;
        return 0;
    }
    wmemcpy(dst, head, head_chars);
    for (size_t i = 0; i < n; i++)
        dst[head_chars + i] = digits[n - 1 - i];
    wmemcpy(dst + head_chars + n, tail, tail_chars + 1);
    return 1;
}
