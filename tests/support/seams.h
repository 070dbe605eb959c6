// A scoped guard over the process-wide seams that tests change: the tick
// sources of the progress reports and of the window, the window's high
// contrast answer, the free-space figure,
// the built-in mirrors, the launcher file, the web site's address and the
// root keys. It
// remembers the tick and free-space functions it found and puts them back
// when it goes, and returns the others to their built-in defaults, so that a
// test program run as a whole behaves like one process per case.
#pragma once

#include <stdint.h>

namespace testing_support {

class SeamGuard {
public:
    SeamGuard();
    ~SeamGuard();
    SeamGuard(const SeamGuard &) = delete;
    SeamGuard &operator=(const SeamGuard &) = delete;

private:
    uint32_t (*progress_tick_)(void);
    uint32_t (*window_tick_)(void);
    int (*window_high_contrast_)(void);
    uint64_t (*disk_free_)(const wchar_t *);
};

}  // namespace testing_support
