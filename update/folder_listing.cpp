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
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

// A folder with more entries than this is not held; its files are asked for
// one by one.
const int LISTING_MAX_FILES = 65536;
// Entries are read this many bytes at a time: a few hundred names, so that
// a client's folder comes in one question.
const size_t LIST_BATCH_BYTES = 65536;
// The longest entry: its fixed part and a name of 255 characters.
const size_t LIST_ENTRY_MAX_BYTES =
    offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + 256 * sizeof(wchar_t);

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
bool add_found(FolderListing *l, const FILE_ID_BOTH_DIR_INFO *info, size_t *names_cap)
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
    size_t len = info->FileNameLength / sizeof(wchar_t) + 1;
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
    wmemcpy(l->names + l->names_used, info->FileName, len - 1);
    l->names[l->names_used + len - 1] = 0;
    l->names_used += len;
    f->size = (uint64_t)info->EndOfFile.QuadPart;
    f->write_time = (uint64_t)info->LastWriteTime.QuadPart;
    f->is_folder = (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

// Adds the entries of one filled buffer. False when one could not be held.
bool add_batch(FolderListing *l, const char *batch, size_t *names_cap, size_t *used)
{
    size_t at = 0;
    for (;;) {
        const FILE_ID_BOTH_DIR_INFO *info = (const FILE_ID_BOTH_DIR_INFO *)(batch + at);
        if (!add_found(l, info, names_cap))
            return false;
        if (!info->NextEntryOffset) {
            *used = at + offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + info->FileNameLength;
            return true;
        }
        at += info->NextEntryOffset;
    }
}

// Reads the open folder `dir` into `l`; false when that failed part way.
// A buffer that came back with room for the longest entry to spare held the
// folder's last entries: the file system fills what it is given, so the
// question that would only hear "no more files" is not asked. Should a file
// system hand out shorter batches, the names it did not give are not in the
// listing and are asked for one by one, like any name the listing lacks.
bool read_entries(FolderListing *l, HANDLE dir)
{
    char *batch = (char *)malloc(LIST_BATCH_BYTES);
    if (!batch)
        return false;
    size_t names_cap = 0;
    bool ok = true;
    FILE_INFO_BY_HANDLE_CLASS question = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(dir, question, batch, LIST_BATCH_BYTES)) {
            ok = GetLastError() == ERROR_NO_MORE_FILES;
            break;
        }
        size_t used = 0;
        if (!add_batch(l, batch, &names_cap, &used)) {
            ok = false;
            break;
        }
        if (used + LIST_ENTRY_MAX_BYTES <= LIST_BATCH_BYTES)
            break;
        question = FileIdBothDirectoryInfo;
    }
    free(batch);
    return ok;
}

// Lists `folder` (its path without a trailing separator, `len` characters)
// into `l`.
void list_folder(FolderListing *l, const wchar_t *folder, size_t len)
{
    clear_listing(l);
    wmemcpy(l->folder, folder, len);
    l->folder[len] = 0;
    l->kind = LISTING_UNKNOWN;
    // "X:" alone would name the drive's current folder, not its root.
    wchar_t name[CLIENT_PATH_CHARS + 1];
    if (len + 2 > CLIENT_PATH_CHARS + 1)
        return;
    wmemcpy(name, folder, len);
    name[len] = 0;
    if (folder[len - 1] == L':') {
        name[len] = L'\\';
        name[len + 1] = 0;
    }

    HANDLE dir = CreateFileW(name, FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND)
            l->kind = LISTING_ABSENT;
        return;
    }
    bool complete = read_entries(l, dir);
    CloseHandle(dir);
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

    // The comparison asks about a folder's files one after another: the
    // folder asked about last is looked at first.
    FolderListing *l = nullptr;
    int recent = listings->recent;
    for (int n = 0; n < FOLDER_LISTING_SLOTS && !l; n++) {
        FolderListing *slot = &listings->slots[(recent + n) % FOLDER_LISTING_SLOTS];
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
    listings->recent = (int)(l - listings->slots);

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
    listings->recent = 0;
}
