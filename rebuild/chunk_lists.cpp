// The chunk lists of installed files, kept in "Korvanth.chunks" so that the
// next release's rebuild finds an unchanged old copy's chunks without
// reading the copy: cutting a large archive costs about as much as hashing
// it, and the old copy's list is the index that came with it.
//
// A list is the chunk index object as fetched, named
// "<file's SHA-256>.<index's SHA-256>" in hex: the file's digest says which
// installed copy it describes (the state records it), the index's lets the
// reader check the bytes it finds. A list that is missing, damaged or of
// the wrong size is ignored and the copy is cut instead; a copy that differs
// from its list although its record matches (changed behind the launcher's
// back) fails the rebuilt file's digest, and the rebuild is done again
// with the copy cut.
#include "rebuild/rebuild_internal.h"

#include <string.h>

namespace {

// "<64 hex>.<64 hex>", with room for ".tmp" and a NUL.
const size_t NAME_CHARS = 2 * SHA256_HEX_CHARS + 8;

// The path of `name` in the folder of lists (empty text when too long).
wchar_t *list_path(wchar_t *path, const wchar_t *folder, const wchar_t *name)
{
    wchar_t lists[CLIENT_PATH_CHARS];
    return path_join(path, CLIENT_PATH_CHARS, path_join(lists, CLIENT_PATH_CHARS, folder,
                                                         own_file_name(OWN_FILE_CHUNK_LISTS)),
                     name);
}

// The name of a list ("<file hex>.<index hex>") or, with a null index
// digest, the pattern "<file hex>.*".
void list_name(wchar_t *name, const uint8_t *file_digest, const uint8_t *index_digest)
{
    char file_hex[SHA256_HEX_CHARS], index_hex[SHA256_HEX_CHARS];
    hex_encode(file_digest, SHA256_BYTES, file_hex);
    if (index_digest)
        hex_encode(index_digest, SHA256_BYTES, index_hex);
    format_wide(name, NAME_CHARS, L"%S.%S", file_hex, index_digest ? index_hex : "*");
}

// A found name of a list's shape, cut in two: `name` holds the file's hex
// digest and, from SHA256_HEX_CHARS on, the index's. False for any other name.
bool split_list_name(const wchar_t *found, char *name)
{
    if (WideCharToMultiByte(CP_UTF8, 0, found, -1, name, (int)NAME_CHARS, nullptr, nullptr) <= 0 ||
        strlen(name) != 2 * (SHA256_HEX_CHARS - 1) + 1 || name[SHA256_HEX_CHARS - 1] != '.')
        return false;
    name[SHA256_HEX_CHARS - 1] = 0;
    return true;
}

// The bytes of the list at `path` when they have the digest `index_hex`
// names (the caller frees them), else null.
char *read_list(const wchar_t *path, const char *index_hex, uint32_t *length)
{
    uint8_t expected[SHA256_BYTES], digest[SHA256_BYTES];
    if (!hex_decode(index_hex, expected, SHA256_BYTES))
        return nullptr;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size;
    char *bytes = nullptr;
    DWORD got = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
        size.QuadPart <= CHUNK_INDEX_MAX_BYTES &&
        (bytes = (char *)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size.QuadPart)) != nullptr &&
        !(ReadFile(file, bytes, (DWORD)size.QuadPart, &got, nullptr) &&
          got == (DWORD)size.QuadPart && sha256_buffer(bytes, got, digest) &&
          memcmp(digest, expected, SHA256_BYTES) == 0)) {
        HeapFree(GetProcessHeap(), 0, bytes);
        bytes = nullptr;
    }
    CloseHandle(file);
    *length = got;
    return bytes;
}

}  // namespace

void chunk_list_keep(const wchar_t *folder, const ManifestEntry *entry, const char *bytes,
                     uint32_t length)
{
    wchar_t name[NAME_CHARS], path[CLIENT_PATH_CHARS], tmp[CLIENT_PATH_CHARS];
    list_name(name, entry->digest, entry->chunks_digest);
    if (!list_path(path, folder, name)[0] || file_info(path, nullptr, nullptr) ||
        format_wide(tmp, CLIENT_PATH_CHARS, L"%s.tmp", path) < 0 || !make_parent_dirs(tmp))
        return;
    // Not flushed: a list cut short by a crash fails its digest and is
    // ignored.
    HANDLE file = CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD put = 0;
    bool written = WriteFile(file, bytes, length, &put, nullptr) && put == length;
    CloseHandle(file);
    if (!written || !MoveFileExW(tmp, path, MOVEFILE_REPLACE_EXISTING))
        DeleteFileW(tmp);
}

char *chunk_list_find(const wchar_t *folder, const uint8_t *file_digest, uint32_t *length)
{
    wchar_t pattern[NAME_CHARS], path[CLIENT_PATH_CHARS];
    list_name(pattern, file_digest, nullptr);
    if (!list_path(path, folder, pattern)[0])
        return nullptr;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path, &found);
    if (find == INVALID_HANDLE_VALUE)
        return nullptr;
    char *bytes = nullptr;
    do {
        char name[NAME_CHARS];
        if (split_list_name(found.cFileName, name) && list_path(path, folder, found.cFileName)[0])
            bytes = read_list(path, name + SHA256_HEX_CHARS, length);
    } while (!bytes && FindNextFileW(find, &found));
    FindClose(find);
    return bytes;
}

void chunk_lists_prune(const wchar_t *folder, const LocalState *state)
{
    wchar_t pattern[CLIENT_PATH_CHARS], path[CLIENT_PATH_CHARS];
    if (!list_path(pattern, folder, L"*")[0])
        return;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        char name[NAME_CHARS];
        uint8_t digest[SHA256_BYTES];
        bool installed = false;
        if (split_list_name(found.cFileName, name) && hex_decode(name, digest, SHA256_BYTES))
            for (int32_t i = 0; i < state->count && !installed; i++)
                installed = memcmp(state->entries[i].digest, digest, SHA256_BYTES) == 0;
        if (!installed && list_path(path, folder, found.cFileName)[0])
            DeleteFileW(path);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}
