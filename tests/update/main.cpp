// Cases of this program run passes: see run_pass_test_program.
#include "support/harness.h"

int main(int argc, char **argv)
{
    return update_test::run_pass_test_program(argc, argv);
}
