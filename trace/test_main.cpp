// Entry point of the unit-test binaries.  Before any test runs, the process
// moves into an IPC namespace of its own, so that nothing a test records can
// reach, or be disturbed by, the machine's own trace buffer.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (unshare(CLONE_NEWIPC) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        std::perror("unshare(CLONE_NEWIPC)");
        return EXIT_FAILURE;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
