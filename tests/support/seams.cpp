#include "support/seams.h"

#include "manifest/manifest.h"
#include "ui/window_internal.h"
#include "fetch/fetch.h"
#include "update/update.h"

namespace testing_support {

SeamGuard::SeamGuard()
    : progress_tick_(progress_tick),
      window_tick_(window_tick),
      window_high_contrast_(window_high_contrast),
      disk_free_(worker_disk_free)
{
}

SeamGuard::~SeamGuard()
{
    progress_tick = progress_tick_;
    window_tick = window_tick_;
    window_high_contrast = window_high_contrast_;
    worker_disk_free = disk_free_;
    mirrors_set_builtin(nullptr, nullptr);
    worker_set_launcher_file(nullptr);
    poller_set_web_url(nullptr);
    signature_set_roots(nullptr, -1);
}

}  // namespace testing_support
