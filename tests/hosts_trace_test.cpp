// What the command leaves in the machine-wide trace buffer.  Both runs and
// the reading happen in one forked child that owns an IPC namespace, so the
// buffer the command creates is the one read back, and it vanishes with the
// child.
#include <sched.h>
#include <spawn.h>
#include <grp.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "blackbox_support.h"
#include "ipc_testing.h"
#include "ring.h"

extern char **environ;

namespace blackbox {
namespace {

struct Entry {
    uint32_t pid;
    std::string text;
};

// Runs the command (after `before`, a wrapper such as strace) here; with
// stdoutFd >= 0 as its standard output.  Its exit status, or 128 + signal.
int runHere(std::vector<std::string> args, const std::vector<std::string> &before = {}, int stdoutFd = -1) {
    args.insert(args.begin(), VORQ_HOSTS_CMD);
    args.insert(args.begin(), before.begin(), before.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    pid_t pid;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    return testsupport::statusOf(testsupport::reap(pid));
}

std::vector<Entry> sharedRing() {
    std::vector<Entry> all;
    int id = shmget(XTR_SHM_KEY, 0, 0);
    if (id < 0) return all;
    auto *h = static_cast<TRACE_HDR *>(shmat(id, nullptr, SHM_RDONLY));
    if (h == reinterpret_cast<void *>(-1)) return all;
    xtr::walkRing(h->pbuffer, XTR_RING_SIZE, h->begin, h->end, [&](const MSG &m, std::string_view t) {
        all.push_back({m.pid, std::string(t)});
    });
    shmdt(h);
    return all;
}

using HostsTrace = HostsTest;

TEST_F(HostsTrace, SuccessfulRunsAsTheySitInTheSharedRing) {
    const std::string hosts = path("hosts");
    writeFile(hosts, "127.0.0.1 localhost\n");
    testsupport::isolated([&] {
        ASSERT_EQ(runHere({"update", hosts, "myhost", "10.0.0.5"}), 0);
        ASSERT_EQ(runHere({"remove", hosts, "myhost"}), 0);
        std::vector<Entry> ring = sharedRing();
        // The detail points (argc, argv) stay in each process's own ring.
        const std::vector<std::string> update = {
            "XREMHSTT: -> vorqManageHostsFile",
            "XREMHSTF: Handling an update request for file=" + hosts + "; hostname=myhost; IP=10.0.0.5",
            "XREMHSTT: -> updateHostsFile",
            "XREMHSTF: Successfully updated " + hosts,
            "XREMHSTF: updateHostsFile exiting with retval=0",
            "XREMHSTT: <- updateHostsFile",
            "XREMHSTF: vorqManageHostsFile exiting with exit status=0",
            "XREMHSTT: <- vorqManageHostsFile"};
        const std::vector<std::string> remove = {
            "XREMHSTT: -> vorqManageHostsFile",
            "XREMHSTF: Handling a remove request for file=" + hosts + "; hostname=myhost",
            "XREMHSTT: -> removeHostFromHostsFile",
            "XREMHSTF: Successfully updated " + hosts,
            "XREMHSTF: removeHostFromHostsFile exiting with retval=0",
            "XREMHSTT: <- removeHostFromHostsFile",
            "XREMHSTF: vorqManageHostsFile exiting with exit status=0",
            "XREMHSTT: <- vorqManageHostsFile"};
        std::vector<std::string> texts;
        for (const auto &e : ring) texts.push_back(e.text);
        std::vector<std::string> expected = update;
        expected.insert(expected.end(), remove.begin(), remove.end());
        EXPECT_EQ(texts, expected);
        // Two processes wrote them: the second continued the ring the first created.
        if (ring.size() == expected.size()) {
            EXPECT_EQ(ring.front().pid, ring[update.size() - 1].pid);
            EXPECT_NE(ring.front().pid, ring.back().pid);
        }
    });
}

// A local user holds the buffer lock and never lets go.  A root run of the
// command still succeeds, and pays one bounded wait for the lock: after it
// ran out, every further attempt is made without waiting.
TEST_F(HostsTrace, ALockHeldByAnotherUserCostsOneBoundedWait) {
    REQUIRE_ROOT();
    if (std::string(VORQ_STRACE).empty()) GTEST_SKIP() << "strace is not installed";
    const std::string hosts = path("hosts");
    const std::string calls = path("calls");
    writeFile(hosts, "127.0.0.1 localhost\n");
    testsupport::isolated([&] {
        ASSERT_EQ(runHere({"update", hosts, "myhost", "10.0.0.5"}), 0);  // creates the buffer
        xtr::testing::Gate ready;
        const pid_t holder = testsupport::spawnAsNobody([&] {
            sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
            ASSERT_EQ(semop(semget(XTR_LOCK_SEM_KEY, 1, 0), take, 2), 0);
            ready.open();
            pause();
        });
        ready.pass();
        // The leak checker of a sanitized build refuses to run under ptrace.
        const char *asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
        const int rc = runHere({"update", hosts, "otherhost", "10.0.0.6"},
                               {VORQ_STRACE, "-f", "-qq", "-e", "trace=semop,semtimedop", "-o", calls});
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        EXPECT_EQ(rc, 0);
        EXPECT_NE(readFile(hosts).find("10.0.0.6 otherhost"), std::string::npos);
        int ranOut = 0, nowait = 0;
        std::istringstream in(readFile(calls));
        for (std::string line; std::getline(in, line);) {
            if (line.find("IPC_NOWAIT") != std::string::npos) {
                nowait++;
            } else if (line.find("semtimedop(") != std::string::npos && line.find("EAGAIN") != std::string::npos) {
                ranOut++;
            }
        }
        EXPECT_EQ(ranOut, 1) << readFile(calls);
        EXPECT_GE(nowait, 5) << readFile(calls);  // the later selected trace points tried without waiting
    });
}

// A segment under the key that is not a trace buffer (planted by a local
// user) makes every trace call print the facility's message.  With standard
// output a closed pipe, the command still does its work and exits 0.
TEST_F(HostsTrace, DiagnosticsOnAClosedStandardOutputDoNotKillTheCommand) {
    REQUIRE_ROOT();
    const std::string hosts = path("hosts");
    writeFile(hosts, "127.0.0.1 localhost\n");
    testsupport::isolated([&] {
        testsupport::asNobody([] {
            const int id = shmget(XTR_SHM_KEY, sizeof(TRACE_HDR), IPC_CREAT | IPC_EXCL | 0666);
            void *at = id < 0 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, 0);
            ASSERT_NE(at, reinterpret_cast<void *>(-1));
            std::memcpy(at, "NOT A BUFFER", 12);
            static_cast<TRACE_HDR *>(at)->bInitialized = 1;
        });
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        close(out[0]);
        EXPECT_EQ(runHere({"update", hosts, "myhost", "10.0.0.5"}, {}, out[1]), 0);
        EXPECT_NE(readFile(hosts).find("10.0.0.5 myhost"), std::string::npos);
    });
}

}  // namespace
}  // namespace blackbox
