// Walking a manifest's entries, and what each costs on the wire.
#include "manifest/manifest.h"

const ManifestEntry *manifest_item(const Manifest *manifest, int index)
{
    if (index < manifest->file_count)
        return &manifest->files[index];
    return &manifest->optional[index - manifest->file_count];
}

uint64_t entry_wire_size(const ManifestEntry *entry)
{
    return entry->packed_size != 0 ? entry->packed_size : entry->size;
}

const ManifestDelta *manifest_delta(const Manifest *manifest, const ManifestEntry *entry, int n)
{
    return &manifest->deltas[entry->first_delta + n];
}
