// Reading and writing Korvanth.state: thin file I/O around the byte-level
// text functions. A save goes through "Korvanth.state.tmp", is flushed, and
// replaces the old file in one move, so a crash leaves either the old or the
// new file, never a mix.
#include "manifest/manifest.h"

#include "base/base.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

const size_t TMP_KEEP_CHARS = 254;  // of the final name, before ".tmp"
// Lines are gathered and written in blocks of this size: one write per
// line would cost a system call per client file.
const size_t WRITE_BLOCK_BYTES = 32768;

static_assert(WRITE_BLOCK_BYTES >= STATE_LINE_BYTES, "a block holds the longest line");

bool write_all(HANDLE file, const char *bytes, size_t len, char *)
{
    DWORD written = 0;
    return WriteFile(file, bytes, (DWORD)len, &written, nullptr) && written == len;
}

// Where the text of a state goes, block by block: false stops it. `spare`
// is a block of its own, for a sink that reads.
typedef bool (*TextSink)(HANDLE file, const char *bytes, size_t len, char *spare);

// The header and every entry line into `sink`. False at the first refused
// block; nothing after it is handed on.
bool emit_state_text(HANDLE file, const LocalState *state, TextSink sink)
{
    char *block = (char *)malloc(2 * WRITE_BLOCK_BYTES);
    if (!block)
        return false;
    char *spare = block + WRITE_BLOCK_BYTES;
    size_t used = state_format_header(state, block, STATE_LINE_BYTES);
    bool ok = true;
    for (int32_t i = 0; ok && i < state->count; i++) {
        if (used + STATE_LINE_BYTES > WRITE_BLOCK_BYTES) {
            ok = sink(file, block, used, spare);
            used = 0;
        }
        if (ok)
            used += state_format_entry(&state->entries[i], block + used, STATE_LINE_BYTES);
    }
    if (ok && used > 0)
        ok = sink(file, block, used, spare);
    free(block);
    return ok;
}

// A sink that compares with the file's next bytes instead of writing: one
// read per block.
bool matches_next(HANDLE file, const char *bytes, size_t len, char *spare)
{
    DWORD got = 0;
    return ReadFile(file, spare, (DWORD)len, &got, nullptr) && got == len &&
           memcmp(spare, bytes, len) == 0;
}

// True when the file `name` holds exactly the text a save of `state` would
// write. A check of an up-to-date client saves an unchanged state; then
// nothing needs to be written, flushed and moved.
bool file_holds_state(const wchar_t *name, const LocalState *state)
{
    HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool same = emit_state_text(file, state, matches_next);
    char extra;
    DWORD got = 1;
    if (same)
        same = ReadFile(file, &extra, 1, &got, nullptr) && got == 0;
    CloseHandle(file);
    return same;
}

}  // namespace

bool state_load(LocalState *state, const wchar_t *folder, StateRefusals *refused)
{
    state_init(state);
    if (refused)
        memset(refused, 0, sizeof *refused);
    wchar_t name[LAUNCHER_PATH_CHARS];
    path_join(name, LAUNCHER_PATH_CHARS, folder, own_file_name(OWN_FILE_STATE));
    uint32_t got = 0;
    char *text = name[0] ? read_small_file(name, STATE_MAX_FILE_BYTES, &got) : nullptr;
    if (!text)
        return false;
    state_parse_text(state, text, got, refused);
    free(text);
    return true;
}

bool state_save(const LocalState *state, const wchar_t *folder)
{
    wchar_t final_name[LAUNCHER_PATH_CHARS];
    path_join(final_name, LAUNCHER_PATH_CHARS, folder, own_file_name(OWN_FILE_STATE));
    if (!final_name[0])
        return false;
    wchar_t tmp_name[LAUNCHER_PATH_CHARS];
    size_t keep = wcslen(final_name);
    if (keep > TMP_KEEP_CHARS)
        keep = TMP_KEEP_CHARS;
    wmemcpy(tmp_name, final_name, keep);
    wmemcpy(tmp_name + keep, L".tmp", 5);
    if (file_holds_state(final_name, state))
        return true;

    HANDLE file = CreateFileW(tmp_name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = emit_state_text(file, state, write_all);
    if (ok)
        ok = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    if (ok)
        ok = MoveFileExW(tmp_name, final_name,
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    // A temporary file that did not become the state file is of no use to
    // anyone; the previous state file stays as it was.
    if (!ok)
        DeleteFileW(tmp_name);
    return ok;
}
