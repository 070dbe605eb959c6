// file_info answered from one listing per folder. The comparison asks about
// every file of the client; asking the file system for each path costs a
// path resolution and a round trip per file (under Wine a conversion to a
// host path and a stat each), while one enumeration per folder brings the
// size, write time and attributes of all its files at once.
//
// Only a name found exactly as listed is answered from the listing: that is
// the very entry the file system would resolve the path to, even where it
// matches case-insensitively and two names differ only in case. Anything else
// (another spelling, a short name, a name the listing lacks, a folder that
// could not be listed) goes to file_info itself, so that every answer is the
// one file_info gives. A folder that does not exist answers "missing" for
// all its files without a question each.
#include "update/update.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

// A folder with more entries than this is not held; its files are asked for
// one by one.
const int LISTING_MAX_FILES = 65536;

struct ListedFile {
    const wchar_t *name;  // inside the listing's name block
    uint64_t size;
    uint64_t write_time;
    bool is_folder;
};

int compare_listed(const void *a, const void *b)
{
    return wcscmp(((const ListedFile *)a)->name, ((const ListedFile *)b)->name);
}

void clear_listing(FolderListing *l)
{
    free(l->files);
    free(l->names);
    memset(l, 0, sizeof *l);
}

// Appends one found entry; false when the listing is too large or memory
// runs out (the caller then stops listing this folder).
bool add_found(FolderListing *l, const WIN32_FIND_DATAW *data, size_t *names_cap)
{
    if (l->count == LISTING_MAX_FILES)
        return false;
    if (l->count == l->capacity) {
        int cap = l->capacity ? 2 * l->capacity : 64;
        void *grown = realloc(l->files, (size_t)cap * sizeof(ListedFile));
        if (!grown)
            return false;
        l->files = (ListedFile *)grown;
        l->capacity = cap;
    }
    size_t len = wcslen(data->cFileName) + 1;
    if (l->names_used + len > *names_cap) {
        size_t cap = *names_cap ? 2 * *names_cap : 4096;
        while (cap < l->names_used + len)
            cap *= 2;
        void *grown = realloc(l->names, cap * sizeof(wchar_t));
        if (!grown)
            return false;
        l->names = (wchar_t *)grown;
        *names_cap = cap;
    }
    ListedFile *f = &((ListedFile *)l->files)[l->count++];
    // Names are stored as offsets until the block stops moving.
    f->name = (const wchar_t *)(uintptr_t)l->names_used;
    wmemcpy(l->names + l->names_used, data->cFileName, len);
    l->names_used += len;
    f->size = ((uint64_t)data->nFileSizeHigh << 32) | data->nFileSizeLow;
    f->write_time = ((uint64_t)data->ftLastWriteTime.dwHighDateTime << 32) |
                    data->ftLastWriteTime.dwLowDateTime;
    f->is_folder = (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

// Lists `folder` (its path without a trailing separator, `len` characters)
// into `l`.
void list_folder(FolderListing *l, const wchar_t *folder, size_t len)
{
    clear_listing(l);
    wmemcpy(l->folder, folder, len);
    l->folder[len] = 0;
    l->kind = LISTING_UNKNOWN;
    wchar_t pattern[CLIENT_PATH_CHARS + 2];
    if (len + 3 > CLIENT_PATH_CHARS + 2)
        return;
    wmemcpy(pattern, folder, len);
    wmemcpy(pattern + len, L"\\*", 3);

    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(pattern, FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND)
            l->kind = LISTING_ABSENT;
        return;
    }
    size_t names_cap = 0;
    bool complete = true;
    do {
        if (!add_found(l, &data, &names_cap)) {
            complete = false;
            break;
        }
    } while (FindNextFileW(find, &data));
    if (complete && GetLastError() != ERROR_NO_MORE_FILES)
        complete = false;
    FindClose(find);
    if (!complete) {
        clear_listing(l);
        wmemcpy(l->folder, folder, len);
        l->folder[len] = 0;
        l->kind = LISTING_UNKNOWN;
        return;
    }
    ListedFile *files = (ListedFile *)l->files;
    for (int i = 0; i < l->count; i++)
        files[i].name = l->names + (uintptr_t)files[i].name;
    qsort(files, (size_t)l->count, sizeof(ListedFile), compare_listed);
    l->kind = LISTING_HELD;
}

}  // namespace

int listed_file_info(FolderListings *listings, const wchar_t *path, uint64_t *size_out,
                     uint64_t *write_time_out)
{
    const wchar_t *slash = wcsrchr(path, L'\\');
    // Only a plain "folder\name" is answered here; a name with a wildcard
    // would be read as a pattern by the listing.
    if (!slash || slash == path || !slash[1] || wcspbrk(slash + 1, L"*?") ||
        (size_t)(slash - path) >= CLIENT_PATH_CHARS)
        return file_info(path, size_out, write_time_out);
    size_t len = (size_t)(slash - path);

    FolderListing *l = nullptr;
    for (int i = 0; i < FOLDER_LISTING_SLOTS && !l; i++) {
        FolderListing *slot = &listings->slots[i];
        if (slot->kind != LISTING_NONE && wcsncmp(slot->folder, path, len) == 0 &&
            slot->folder[len] == 0)
            l = slot;
    }
    if (!l) {
        // The slot used longest ago makes room.
        l = &listings->slots[0];
        for (int i = 1; i < FOLDER_LISTING_SLOTS; i++)
            if (listings->slots[i].last_use < l->last_use)
                l = &listings->slots[i];
        list_folder(l, path, len);
    }
    l->last_use = ++listings->uses;

    if (l->kind == LISTING_ABSENT)
        return 0;
    if (l->kind == LISTING_HELD) {
        ListedFile key;
        key.name = slash + 1;
        const ListedFile *f = (const ListedFile *)bsearch(&key, l->files, (size_t)l->count,
                                                          sizeof(ListedFile), compare_listed);
        if (f) {
            if (f->is_folder)
                return 0;
            if (size_out)
                *size_out = f->size;
            if (write_time_out)
                *write_time_out = f->write_time;
            return 1;
        }
    }
    return file_info(path, size_out, write_time_out);
}

void folder_listings_forget(FolderListings *listings)
{
    for (int i = 0; i < FOLDER_LISTING_SLOTS; i++)
        clear_listing(&listings->slots[i]);
    listings->uses = 0;
}
