// What every test of this project needs and nothing of its own: scoped
// temporary directories, files read and written whole, child processes
// forked and reaped with a bound on every wait, the privileged steps
// (a fresh IPC namespace, a private mount namespace, the unprivileged user)
// with a message naming what the machine refused, and copies of built
// programs the unprivileged user can start.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// The user that plays another local user against root.
constexpr uid_t kNobody = 65534;

// --- files ---

// A fresh directory under /tmp, removed with everything below it by the
// process that made it.
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "vorqTest");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string sub(const std::string &name) const { return path_ + "/" + name; }
    // Writes a file below the directory and returns its path.
    std::string file(const std::string &name, const std::string &content) const;
    // Makes a subdirectory with exactly this mode and owner and returns its
    // path; the temporary directory itself becomes searchable by everyone,
    // so that another user can reach it.
    std::string dir(const std::string &name, mode_t mode, uid_t owner = 0) const;

private:
    std::string path_;
    pid_t owner_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);
bool exists(const std::string &path);
// Everything in an open file from its start (a memory file, say).
std::string readAll(int fd);
std::vector<std::string> lines(const std::string &text);

// --- processes ---

// Polls until pred() holds; false after `seconds` (a guard against a hang,
// not a measurement).
bool waitUntil(const std::function<bool()> &pred, int seconds = 30);
// Waits for a process and returns its wait status; a process still running
// after `seconds` is killed (with its process group) and reported.
int reap(pid_t pid, int seconds = 60);
bool exitedCleanly(int ws);
// An exit status, or 128 + the signal that ended the process.
int statusOf(int ws);
// Forks a process that runs body and exits 1 when a GoogleTest check
// failed in it (including any failure inherited from its parent), else 0.
pid_t spawn(const std::function<void()> &body);
// Runs body in a forked child (see spawn) and fails unless it ends cleanly
// within 110 seconds (the test's own limit is 120).
void inChild(const std::function<void()> &body);

// --- privileged steps ---
// Each returns null when the step was taken, otherwise a message naming the
// step the machine refused and why, so that a test fails with that message
// rather than a bare status.  The message lives in a static buffer: call
// these in a forked child, and only async-signal-safe ones after a fork of
// a threaded process.

// Enters a fresh IPC namespace: as root directly, otherwise inside a new
// user namespace.
const char *enterIpcNamespace();
// Enters a new mount namespace whose mounts are all private, so that what
// the test mounts there never reaches the machine.
const char *enterPrivateMountNamespace();
// Drops to uid and gid kNobody with no supplementary groups.
const char *dropToNobody();

// As inChild, with the child taking `step` (one of the above) first.
void inChildAfter(const char *(*step)(), const std::function<void()> &body);
// As inChild, inside a fresh IPC namespace.
void isolated(const std::function<void()> &body);
// As spawn, with the child running as kNobody (in the caller's namespaces).
pid_t spawnAsNobody(const std::function<void()> &body);
// As inChild, with the child running as kNobody.
void asNobody(const std::function<void()> &body);

// Moves the whole test process into a fresh IPC namespace before the first
// test runs, never while tests are only listed (the build lists them).
class IpcNamespaceEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
};

// A copy of a built program that kNobody can start even when the build tree
// is out of its reach (a clone in root's home, mode 0700), with the
// project's shared libraries beside it: start it with LD_LIBRARY_PATH set
// to its directory.  The copies live in a directory of root's that every
// user can traverse but none other can write, removed when the test process
// exits.
std::string reachableCopy(const std::string &program);

}  // namespace testsupport
