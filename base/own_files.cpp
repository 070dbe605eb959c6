// The table of the launcher's own files. No platform calls: the swap
// request's fuzz target builds this file too.
#include "base/base.h"

namespace {

const OwnFile OWN_FILES[OWN_FILE_COUNT] = {
    {L"Korvanth.new", OWN_WORKING, false},
    {L"Korvanth.new.part", OWN_WORKING, false},
    {L"Korvanth.new.tmp", OWN_WORKING, false},
    {L"Korvanth.swap", OWN_WORKING, false},
    {L"Korvanth.old", OWN_WORKING, false},
    {L"Korvanth.state.tmp", OWN_WORKING, false},
    {L"Korvanth.log.1", OWN_LOG, false},
    {L"Korvanth.log", OWN_LOG, false},
    {L"Korvanth.ini", OWN_SETTINGS, false},
    {L"Korvanth.chunks", OWN_STATE, true},
    {L"Korvanth.state", OWN_STATE, false},
    {L"Korvanth.exe", OWN_LAUNCHER, false},
};

}  // namespace

const OwnFile *own_file(OwnFileId id)
{
    return &OWN_FILES[id];
}

const wchar_t *own_file_name(OwnFileId id)
{
    return OWN_FILES[id].name;
}

namespace {

wchar_t ascii_lower(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? (wchar_t)(c - L'A' + L'a') : c;
}

// Our names are ASCII: a name is one of them when it differs in the case
// of ASCII letters at most, as the file system compares them.
bool same_name(const wchar_t *a, const wchar_t *b)
{
    for (; *a && ascii_lower(*a) == ascii_lower(*b); a++, b++) {
    }
    return ascii_lower(*a) == ascii_lower(*b);
}

}  // namespace

const OwnFile *own_file_named(const wchar_t *name)
{
    for (const OwnFile &row : OWN_FILES)
        if (same_name(name, row.name))
            return &row;
    return nullptr;
}
