// The chunker built natively, as the publisher's korvanth-chunk is: its
// speed on each file given, to stand beside the 32-bit launcher's figure
// that bench_formats prints under Wine (scripts/bench-formats builds and
// runs both).
//   bench_chunker_native FILE...
#include "benchmarks/bench_chunker.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

double thread_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char **argv)
{
    int ok = 1;
    for (int i = 1; i < argc; i++) {
        FILE *f = fopen(argv[i], "rb");
        if (!f) {
            printf("cannot read %s\n", argv[i]);
            return 1;
        }
        fseek(f, 0, SEEK_END);
        size_t size = (size_t)ftell(f);
        fseek(f, 0, SEEK_SET);
        uint8_t *data = (uint8_t *)malloc(size + 1);
        bool read = data && fread(data, 1, size, f) == size;
        fclose(f);
        const char *name = strrchr(argv[i], '/') ? strrchr(argv[i], '/') + 1 : argv[i];
        ok &= read && print_chunker_rate("native", name, data, size, thread_seconds);
        free(data);
    }
    return ok ? 0 : 1;
}
