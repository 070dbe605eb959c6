// The file steps of a swap and the record of a refused launcher, shared by
// the old launcher's side and the helper's. Internal to selfupdate/.
#pragma once

#include "base/base.h"
#include "content/content.h"

#include <stdint.h>

// Copies `from` to `to` (created or truncated) and flushes it to disk before
// closing. 1 when `to` is a whole copy; 0 after deleting what was written.
int swap_copy_flushed(const wchar_t *from, const wchar_t *to);

// Moves `from` onto `to` by one rename that replaces it and is written
// through, trying SWAP_RENAME_ATTEMPTS times. 1 when done.
int swap_replace_patiently(const wchar_t *from, const wchar_t *to);

// Deletes `path`, trying SWAP_RENAME_ATTEMPTS times: an ending process (or a
// virus scanner) may hold it a little longer. 1 when it is gone.
int swap_delete_patiently(const wchar_t *path);

// Records in the state file of `folder` that the launcher of `digest` could
// not start here, keeping everything else the file holds. 1 when saved.
int swap_record_refusal(const wchar_t *folder, const uint8_t digest[SHA256_BYTES]);

// Starts `application` with `command_line` (which CreateProcessW may
// change), no handles inherited. With `thread` the process starts suspended
// and `*thread` receives its first thread, which the caller resumes and
// closes. Returns the process handle (the caller closes it) with its id in
// `*pid`, or null with GetLastError set.
void *swap_start_process(const wchar_t *application, wchar_t *command_line, unsigned long *pid,
                         void **thread);
