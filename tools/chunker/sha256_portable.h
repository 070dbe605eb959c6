// SHA-256 in plain C++ for the native chunk tool on processors without the
// SHA extensions, where the launcher would ask the platform's provider.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct PortableSha256 {
    uint32_t h[8];
    uint64_t total;
    uint8_t partial[64];
};

void portable_sha256_begin(PortableSha256 *s);
void portable_sha256_add(PortableSha256 *s, const uint8_t *p, size_t n);
void portable_sha256_finish(PortableSha256 *s, uint8_t out[32]);
