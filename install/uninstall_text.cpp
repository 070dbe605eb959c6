// The uninstall's texts: the lists of names for the end box, the state
// file's entries that break the path rule, and the end box itself. No
// platform calls.
#include "install/install_internal.h"

#include <stdarg.h>
#include <string.h>
#include <wchar.h>

namespace {

const size_t NAME_LINE_CHARS = CLIENT_PATH_CHARS + 64;  // a full path and its reason

// Text built piece by piece into a caller's buffer, cut at its end.
struct Text {
    wchar_t *out;
    size_t cap;
    size_t used;
};

void add(Text *t, const wchar_t *fmt, ...)
{
    if (t->used + 1 >= t->cap)
        return;
    va_list args;
    va_start(args, fmt);
    int n = format_wide_v(t->out + t->used, t->cap - t->used, fmt, args);
    va_end(args);
    t->used = n < 0 ? wcslen(t->out) : t->used + (size_t)n;
}

void add_list(Text *t, const wchar_t *heading, const UninstallNames *names)
{
    add(t, L"\n\n%s%s", heading, names->text);
    if (names->count > names->shown)
        add(t, L"\n  and %d more", names->count - names->shown);
}

}  // namespace

void uninstall_name_add(UninstallNames *names, const wchar_t *fmt, ...)
{
    names->count++;
    wchar_t line[NAME_LINE_CHARS];
    line[0] = L'\n';
    line[1] = line[2] = L' ';
    va_list args;
    va_start(args, fmt);
    int n = format_wide_v(line + 3, NAME_LINE_CHARS - 3, fmt, args);
    va_end(args);
    size_t used = wcslen(names->text);
    if (n < 0 || used + 3 + (size_t)n >= UNINSTALL_NAMES_CHARS)
        return;
    wmemcpy(names->text + used, line, 3 + (size_t)n + 1);
    names->shown++;
}

void uninstall_name_refused_state_paths(const StateRefusals *refused, UninstallNames *names)
{
    for (int32_t i = 0; i < refused->kept; i++) {
        const StateRefusedPath *path = &refused->paths[i];
        // The reader keeps the first bytes of a long path, which may end
        // inside a character.
        size_t shown = utf8_cut_length(path->head, strlen(path->head));
        const wchar_t *why = path->fault == STATE_PATH_LEAVES_FOLDER
                                 ? L"outside the folder"
                                 : L"not a name Windows can hold";
        uninstall_name_add(names, L"%.*S%s (named in %s, %s)", (int)shown, path->head,
                           shown < path->bytes ? L"..." : L"", own_file_name(OWN_FILE_STATE), why);
    }
    // Those the reader only counted are counted in the box's "and N more".
    names->count += refused->count - refused->kept;
}

void uninstall_report_text(const UninstallReport *r, const wchar_t *folder, wchar_t *out,
                           size_t cap_chars)
{
    if (cap_chars == 0)
        return;
    out[0] = 0;
    Text t = {out, cap_chars, 0};
    if (r->failed.count == 0 && !r->launcher_left)
        add(&t, L"Korvanth was removed from %s.", folder);
    else
        add(&t, L"Korvanth could not remove everything from %s.", folder);
    if (r->failed.count) {
        add_list(&t, L"These files could not be deleted:", &r->failed);
        add(&t, L"\n\nClose the programs that use them, then uninstall Korvanth again.");
    }
    if (r->launcher_left)
        add(&t, L"\n\nThe launcher itself could not be removed: please delete %s%s%s yourself.",
            folder, folder[0] && folder[wcslen(folder) - 1] == L'\\' ? L"" : L"\\",
            own_file_name(OWN_FILE_LAUNCHER));
    if (r->folder_protected)
        add(&t, L"\n\n%s is a system folder (a drive, the Windows folder, a user's profile or "
                L"a folder of the shell): only the files Korvanth installed were removed%s, "
                L"and the folder stays.",
            folder, r->rest_refused ? L", none of the others" : L"");
    else if (r->kept == 1)
        add(&t, L"\n\n1 file that Korvanth did not install stays in %s.", folder);
    else if (r->kept > 1)
        add(&t, L"\n\n%d files that Korvanth did not install stay in %s.", r->kept, folder);
    if (r->refused.count)
        add_list(&t, L"Left alone, as deleting them could reach outside the folder:", &r->refused);
    if (r->location[0])
        add(&t, L"\n\nThe list of installed apps named %s as Korvanth's folder: nothing outside "
                L"%s was touched.",
            r->location, folder);
}
