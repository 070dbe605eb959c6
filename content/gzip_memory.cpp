// gzip_decode's callbacks over memory: small objects fetched whole and the
// launcher's own packed pictures are decoded from and into blocks. No
// platform calls.
#include "content/content.h"

#include <string.h>

int memory_read(void *input, uint8_t *buffer, int capacity)
{
    MemoryInput *in = (MemoryInput *)input;
    size_t n = in->length - in->offset;
    if (n > (size_t)capacity)
        n = (size_t)capacity;
    memcpy(buffer, in->bytes + in->offset, n);
    in->offset += n;
    return (int)n;
}

int memory_write(void *output, const uint8_t *bytes, size_t length)
{
    MemoryOutput *out = (MemoryOutput *)output;
    if (length > out->capacity - out->length)
        return 0;
    memcpy(out->bytes + out->length, bytes, length);
    out->length += length;
    return 1;
}
