// The window and the console driver start passes with the same choices: the
// ones the state file kept from the player's last run.
#include "manifest/manifest.h"
#include "folder/folder.h"

int read_player_flags(const wchar_t *folder, int32_t *custom_interface, int32_t *dxvk,
                      int32_t *dxvk_trial)
{
    LocalState state;
    bool read = state_load(&state, folder);
    if (read) {
        *custom_interface = state.custom_interface;
        *dxvk = state.dxvk;
        *dxvk_trial = state.dxvk_trial;
    }
    state_free(&state);
    return read ? 1 : 0;
}
