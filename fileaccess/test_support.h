// Helpers of the file-access tests: temporary directories with real files,
// cases that run in a forked child (a process loads the control file only
// once, so every control file or environment gets a process of its own),
// a small tmpfs for a full device, the trace points a call left, and a
// hostile local user (uid 65534) preparing files for a root process.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "internal.h"
#include "trace_testing.h"

namespace xdfc_test {

using Texts = std::vector<std::string>;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // Writes a file below the directory and returns its path.
    std::string file(const std::string &name, const std::string &content) const;
    std::string sub(const std::string &name) const { return path_ + "/" + name; }
    // Makes a subdirectory with exactly this mode and owner and returns its
    // path; the temporary directory itself becomes searchable by everyone,
    // so that another user can reach it.
    std::string dir(const std::string &name, mode_t mode, uid_t owner = 0) const;

private:
    std::string path_;
};

std::string readFile(const std::string &path);
bool exists(const std::string &path);

// Runs body in a forked child and expects it to finish without a failed
// check.  The child's failures are printed by the child itself.  A child
// still running after 100 seconds is ended by SIGALRM and fails the test,
// so a call that blocks for ever fails instead of hanging the suite.
void inChild(const std::function<void()> &body);

// The user that plays another local user against root.
constexpr uid_t kNobody = 65534;

// As inChild, with the child running as uid and gid 65534 and no
// supplementary groups.
void asNobody(const std::function<void()> &body);

// In a child: enters a mount namespace of its own and mounts a tmpfs of
// the given size option ("64k") on dir.  False, after printing which step
// the machine refused, when it does not allow it.
bool mountTmpfs(const std::string &dir, const std::string &size);

// Clears the process's ring, runs fn and returns the trace points it left.
Texts traced(const std::function<void()> &fn);
bool contains(const Texts &texts, const std::string &text);
// Texts that begin with prefix.
Texts withPrefix(const Texts &texts, const std::string &prefix);

}  // namespace xdfc_test
