// Crash campaign: updates of a 150 000-line hosts file, each killed with
// SIGKILL at a random moment.  After every run the hosts file holds the old
// or the new content byte for byte, never a torn or empty file.  Temporary
// files left by a killed run are allowed; they are counted and reported.
//
// VORQ_CRASH_RUNS sets the number of runs (default 25);
// tests/reliability/crash_campaign.sh runs the long campaign.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "blackbox_support.h"
#include "ipc_testing.h"

namespace blackbox {
namespace {

// Starts the command in an IPC namespace of its own; returns its pid.
pid_t startCommand(const std::vector<std::string> &operands) {
    std::vector<std::string> args{VORQ_HOSTS_CMD};
    args.insert(args.end(), operands.begin(), operands.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (const char *refused = testsupport::enterIpcNamespace()) {
            std::fprintf(stderr, "%s\n", refused);
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid) { return testsupport::statusOf(testsupport::reap(pid)); }

class CrashCampaign : public HostsTest {
protected:
    void TearDown() override {
        // Leftovers of killed runs are expected here; they were counted.
        for (const auto &name : tempFilesIn(dir_)) std::remove(path(name).c_str());
        HostsTest::TearDown();
    }
};

TEST_F(CrashCampaign, UpdateKilledAtRandomMomentsLeavesOldOrNewContent) {
    const char *env = std::getenv("VORQ_CRASH_RUNS");
    const int runs = env ? std::atoi(env) : 25;
    ASSERT_GT(runs, 0);

    const std::string hosts = path("hosts");
    std::string old;
    old.reserve(150000 * 40);
    for (int i = 0; i < 150000; i++) {
        old += "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) +
               " node" + std::to_string(i) + ".example alias" + std::to_string(i) + "\n";
    }
    const std::vector<std::string> operands{"update", hosts, "node149999.example", "192.0.2.1"};

    // Runs to the end give the new content and how long a run lasts (the
    // shortest of three); the kills are spread over a little more than that.
    std::chrono::microseconds fullRun = std::chrono::hours(1);
    for (int i = 0; i < 3; i++) {
        writeFile(hosts, old);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(waitFor(startCommand(operands)), 0);
        fullRun = std::min(
            fullRun, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0));
    }
    const std::string fresh = readFile(hosts);
    ASSERT_NE(fresh, old);

    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<long> delay(0, fullRun.count() * 11 / 10);
    int killedOld = 0, killedNew = 0, finished = 0, leftovers = 0, runsWithLeftovers = 0;
    for (int run = 0; run < runs; run++) {
        writeFile(hosts, old);
        const pid_t pid = startCommand(operands);
        ASSERT_GT(pid, 0);
        usleep(static_cast<useconds_t>(delay(rng)));
        kill(pid, SIGKILL);
        const int status = waitFor(pid);
        const std::string now = readFile(hosts);
        const bool isOld = now == old, isNew = now == fresh;
        ASSERT_TRUE(isOld || isNew) << "run " << run << " (status " << status << ") left " << now.size()
                                    << " bytes that are neither the old nor the new content";
        if (status == 128 + SIGKILL) {
            (isOld ? killedOld : killedNew)++;
        } else {
            ASSERT_EQ(status, 0) << "run " << run;
            EXPECT_TRUE(isNew) << "run " << run << " succeeded without installing the new content";
            finished++;
        }
        const auto temps = tempFilesIn(dir_);
        leftovers += static_cast<int>(temps.size());
        runsWithLeftovers += !temps.empty();
        for (const auto &name : temps) std::remove(path(name).c_str());
    }
    std::printf(
        "crash campaign: %d runs, full run %lld us; killed with old content %d, killed with new "
        "content %d, finished before the kill %d; temporary files left %d (in %d runs)\n",
        runs, static_cast<long long>(fullRun.count()), killedOld, killedNew, finished, leftovers, runsWithLeftovers);
    RecordProperty("leftover_temporary_files", leftovers);
}

}  // namespace
}  // namespace blackbox
