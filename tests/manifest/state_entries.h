// Test entries of the local state, shared by the state tests.
#pragma once

#include "manifest/manifest.h"

#include <string.h>

#include <string>

// Digests as they are written.
inline const std::string HEX_A(64, 'a');
inline const std::string HEX_B(64, 'b');

// An entry of `path` whose write time is ten times its size and whose digest
// bytes are all `fill`.
inline StateEntry make_entry(const std::string &path, uint64_t size, uint8_t fill)
{
    StateEntry e;
    memset(&e, 0, sizeof e);
    strcpy(e.path, path.c_str());
    e.size = size;
    e.write_time = size * 10;
    memset(e.digest, fill, sizeof e.digest);
    return e;
}
