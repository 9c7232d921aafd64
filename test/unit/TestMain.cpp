// Entry of the unit-test programs: the process-wide services stand before
// any test runs, as they do in the deliverables.
#include <gtest/gtest.h>

#include "ProcessServices.h"

static ProcessServices g_processServices;

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
