// Entry point of the unit-test binaries.  Before any test runs, the process
// moves into an IPC namespace of its own, so that nothing a test records can
// reach, or be disturbed by, the machine's own trace buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "ipc_testing.h"

int main(int argc, char **argv) {
    if (const char *refused = xtr::testing::enterIpcNamespace()) {
        std::fprintf(stderr, "%s\n", refused);
        return EXIT_FAILURE;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
