// The in-process SHA-256 engine behind RunningDigest (sha256_blocks.cpp).
// Byte-level code only: no platform headers. Internal to content/.
#pragma once

#include "content/content.h"

#include <stddef.h>
#include <stdint.h>

// 1 when the processor reports the SHA extensions and the SSSE3 and SSE4.1
// instructions the block function also uses.
int cpu_has_sha_extensions(void);

// begin: only where cpu_has_sha_extensions() answered 1. begin_plain: the
// same digest in plain 32-bit arithmetic, several times slower, on any
// processor (the native tools; the launcher asks the platform's provider
// instead). Any number of bytes per add, including 0; finish stores the
// digest, after which the state must be begun again.
void sha256_blocks_begin(Sha256Blocks *s);
void sha256_blocks_begin_plain(Sha256Blocks *s);
void sha256_blocks_add(Sha256Blocks *s, const void *bytes, size_t len);
void sha256_blocks_finish(Sha256Blocks *s, uint8_t out[SHA256_BYTES]);
