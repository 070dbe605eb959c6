// Self-update: replacing the running launcher with the one a release names.
#pragma once

#include <stddef.h>

// Deletes "Korvanth.old" and "Korvanth.new" in the launcher folder, the
// leftovers of a swap. Failures (absent, or still in use by an ending swap
// helper) are silent: a survivor goes at a later start.
void remove_swap_leftovers(const wchar_t *launcher_folder);
