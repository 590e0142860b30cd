// Entry point of the unit-test binaries.  Before the first test runs (never
// while tests are only listed), the process moves into an IPC namespace of
// its own, so that nothing a test records can reach, or be disturbed by, the
// machine's own trace buffer.
#include <gtest/gtest.h>

#include "testsupport.h"

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new testsupport::IpcNamespaceEnvironment);
    return RUN_ALL_TESTS();
}
