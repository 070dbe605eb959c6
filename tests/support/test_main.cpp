// The main of the test programs that need none of their own; linked from
// the support library only where the program defines no main.
#include "support/support.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    return testing_support::run_tests_watching_exit();
}
