// The main of every test binary that starts peer processes: started as a
// peer (--bgs-test-role=NAME) it runs that role and leaves without ever
// starting the tests; otherwise it runs the tests.
#include "process_test_support.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    bgs_process_test::runRoleIfAsked(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
