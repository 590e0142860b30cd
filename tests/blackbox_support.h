// Shared helpers of the black-box tests: starting the built command (and
// other programs) as real processes, private mount namespaces, and a fresh
// directory per test.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <memory>

#include "testsupport.h"

namespace blackbox {

// How a child process is started.  Every child first enters an IPC
// namespace of its own, so the command's trace objects never meet the
// machine's, unless the caller has entered a private one to share.
struct Launch {
    std::vector<std::string> env;  // NAME=VALUE entries added to (or replacing) ours
    std::string cwd;  // empty: inherit
    bool asNobody = false;  // drop to uid/gid 65534 before exec
    bool ownIpcNamespace = true;  // false: share the caller's (already private) one
};

struct Outcome {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // what the child wrote to its standard output
};

using testsupport::kNobody;

// Runs `file` (searched in PATH when it has no '/') with exactly `args` as
// its argument vector; an empty `args` starts it with argc 0.
Outcome spawn(const std::string &file, const std::vector<std::string> &args, const Launch &how = {});

// Runs the command with `operands` after its program name; returns the
// exit status.
int runCommand(const std::vector<std::string> &operands, const Launch &how = {});

// Environment that makes the fault-injection library fail `call`
// ("fdopen", "fchmod", "fsync", "fclose", "getline"; "getline:N" lets N
// calls succeed first).
std::vector<std::string> faultEnv(const std::string &call);

// Runs `body` in a forked child inside a new mount namespace with private
// propagation; GoogleTest failures raised there fail the calling test.
void inMountNamespace(const std::function<void()> &body);

using testsupport::readFile;
using testsupport::writeFile;
struct stat lstatOf(const std::string &path);
// Names in `dir` that look like the command's temporary files.
std::vector<std::string> tempFilesIn(const std::string &dir);

// A fresh directory under /tmp per test; at the end it must hold no
// temporary file of the command.
class HostsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    std::string dir_;

private:
    std::unique_ptr<testsupport::TempDir> tmp_;
};

}  // namespace blackbox

#define REQUIRE_ROOT()                                              \
    do {                                                            \
        if (geteuid() != 0) GTEST_SKIP() << "needs to run as root"; \
    } while (0)
