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
#include "testsupport.h"
#include "trace_testing.h"

namespace xdfc_test {

using Texts = std::vector<std::string>;

using testsupport::asNobody;
using testsupport::exists;
using testsupport::inChild;
using testsupport::kNobody;
using testsupport::readFile;

// A fresh temporary directory per use.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("fileaccess_test") {}
};

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
