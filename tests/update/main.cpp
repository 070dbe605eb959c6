// The graphics step starts the running program with --probe-vulkan: this
// test program answers it the way the launcher does.
#include "game/game.h"

#include <gtest/gtest.h>

#include <windows.h>

int main(int argc, char **argv)
{
    run_probe_mode(GetCommandLineW());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
