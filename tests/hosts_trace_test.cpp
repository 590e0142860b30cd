// What the command leaves in the machine-wide trace buffer.  Both runs and
// the reading happen in one forked child that owns an IPC namespace, so the
// buffer the command creates is the one read back, and it vanishes with the
// child.
#include <sched.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

int runHere(std::vector<std::string> args) {
    args.insert(args.begin(), VORQ_HOSTS_CMD);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int ws = 0;
    waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

std::vector<Entry> sharedRing() {
    std::vector<Entry> all;
    int id = shmget(XTR_SHM_KEY, 0, 0);
    if (id < 0) return all;
    auto *h = static_cast<TRACE_HDR *>(shmat(id, nullptr, SHM_RDONLY));
    if (h == reinterpret_cast<void *>(-1)) return all;
    xtr::ringWalk(h->begin, h->end, h->pbuffer, XTR_RING_SIZE,
                  [&](const MSG &m, std::string_view t) { all.push_back({m.pid, std::string(t)}); });
    shmdt(h);
    return all;
}

using HostsTrace = HostsTest;

TEST_F(HostsTrace, SuccessfulRunsAsTheySitInTheSharedRing) {
    const std::string hosts = path("hosts");
    writeFile(hosts, "127.0.0.1 localhost\n");
    pid_t child = fork();
    if (child == 0) {
        if (const char *refused = xtr::testing::enterIpcNamespace()) {
            std::fprintf(stderr, "%s\n", refused);
            _exit(99);
        }
        if (runHere({"update", hosts, "myhost", "10.0.0.5"}) != 0) _exit(98);
        if (runHere({"remove", hosts, "myhost"}) != 0) _exit(97);
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
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int ws = 0;
    ASSERT_EQ(waitpid(child, &ws, 0), child);
    ASSERT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(WEXITSTATUS(ws), 0);
}

}  // namespace
}  // namespace blackbox
