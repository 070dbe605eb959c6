// The graphics step starts the running program with --probe-vulkan: this
// test program answers it the way the launcher does.
#include "game/game.h"
#include "update/update.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    run_probe_mode(GetCommandLineW());
    // The whole program may run with another number of objects on the wire
    // (the one-at-a-time pass must read the same as the shipped one).
    wchar_t connections[8];
    if (GetEnvironmentVariableW(L"KORVANTH_TEST_CONNECTIONS", connections, 8) - 1u < 7u) {
        worker_set_connections(_wtoi(connections));
        int set = worker_set_connections(0);
        worker_set_connections(set);
        printf("objects on the wire at once: %d\n", set);
    }
    testing::InitGoogleTest(&argc, argv);
    return testing_support::run_tests_watching_exit();
}
