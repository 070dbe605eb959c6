// The table of the launcher's own files.
#include "base/base.h"

#include <windows.h>

namespace {

const OwnFile OWN_FILES[OWN_FILE_COUNT] = {
    {L"Korvanth.new", OWN_WORKING, false},
    {L"Korvanth.new.part", OWN_WORKING, false},
    {L"Korvanth.new.tmp", OWN_WORKING, false},
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

const OwnFile *own_file_named(const wchar_t *name)
{
    for (const OwnFile &row : OWN_FILES)
        if (!lstrcmpiW(name, row.name))
            return &row;
    return nullptr;
}
