// Native (host) stress of the gzip decoder under the sanitizers: for each
// member given, decode it whole in randomly sized reads, cut it at every byte
// (each cut must read as truncated) and flip random bits (anything but a
// crash or a sanitizer report is fine). Built and run by scripts/fuzz-gzip.
//   gzip_fuzz FLIPS MEMBER...
#include "content/content.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

struct Input {
    const std::string *data;
    size_t limit, pos;
};

int read_random(void *context, uint8_t *buffer, int capacity)
{
    Input *in = (Input *)context;
    size_t n = in->limit - in->pos;
    size_t want = (size_t)(rand() % 70000) + 1;
    if (n > want)
        n = want;
    if (n > (size_t)capacity)
        n = (size_t)capacity;
    memcpy(buffer, in->data->data() + in->pos, n);
    in->pos += n;
    return (int)n;
}

int discard(void *, const uint8_t *, size_t length)
{
    return length > 0 && length <= GZIP_IO_CHUNK_BYTES;
}

int decode(const std::string &member, size_t limit)
{
    Input in = {&member, limit, 0};
    return gzip_decode(read_random, &in, discard, nullptr, nullptr);
}

bool load(const char *path, std::string *out)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    fclose(f);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: gzip_fuzz FLIPS MEMBER...\n");
        return 2;
    }
    int flips = atoi(argv[1]);
    srand(20261207);
    int failures = 0;
    for (int i = 2; i < argc; i++) {
        std::string member;
        if (!load(argv[i], &member) || decode(member, member.size()) != GZIP_OK) {
            printf("%s: does not decode\n", argv[i]);
            failures++;
            continue;
        }
        for (size_t cut = 0; cut < member.size(); cut++) {
            int r = decode(member, cut);
            if (r != GZIP_TRUNCATED) {
                printf("%s: cut at %zu gives %d\n", argv[i], cut, r);
                failures++;
            }
        }
        int results[9] = {0};
        for (int f = 0; f < flips; f++) {
            std::string m = member;
            for (int k = rand() % 4; k >= 0; k--)
                m[(size_t)rand() % m.size()] ^= (char)(1 << (rand() % 8));
            int r = decode(m, m.size());
            if (r >= 0 && r < 9)
                results[r]++;
        }
        printf("%s: %zu cuts truncated; flips:", argv[i], member.size());
        for (int r = 0; r < 9; r++)
            printf(" %d", results[r]);
        printf("\n");
    }
    return failures ? 1 : 0;
}
