// How the trace call scales with the number of processes and threads that
// trace at once, on this machine.  Each configuration runs for a fixed time;
// all configurations are run in turn, round after round (interleaved), so a
// slow spell of the shared machine touches all of them alike, and the median
// of the rounds is reported; ratios are paired within a round.
//
//   p1 p2 p4 p8       1, 2, 4, 8 processes, one thread each, selected F calls
//   t2 t4             2, 4 threads of one process, selected F calls
//   d1                one process, unselected D calls (own ring only)
//   p1+follow         one process with `xtrctl follow` reading
//   p1+prio           one process with `xtrctl follow --priority`
//   p2+follow p2+prio the same with two processes
//   s1 s2 s4 s8       the floor: 1, 2, 4, 8 processes making only the system
//                     calls of a selected call (the trap's installation and
//                     the buffer lock, taken and released by the facility's
//                     own lock code), nothing else; how far this machine lets
//                     the protocol itself scale
//
// Per configuration: aggregate calls per second, its ratio to p1, CPU time
// (user + system) per call, context switches per call, the slowest
// participant's calls as a share of its fair share, and for the follower
// configurations the entries the follower reported lost.
//
// Isolation: main() moves into an IPC namespace of its own first.
//
//   trace_scale_bench [--seconds=S] [--rounds=N] [--xtrctl=PATH] [--only=p1,p2,...]
#include <sched.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "facility.h"
#include "kbvdtrac.h"

namespace {

const char *volatile kName = "process";

struct Shared {
    std::atomic<int> go;
    std::atomic<int> stop;
    std::atomic<unsigned long> calls[64];
};
Shared *shared = nullptr;

struct Config {
    std::string name;
    int procs = 1;
    int threads = 1;
    bool selected = true;
    const char *follow = nullptr;  // nullptr, "" or "--priority"
    bool floor = false;  // only the system calls of a selected call
};

struct Result {
    double rate = 0, cpuPerCall = 0, switchesPerCall = 0, slowestShare = 0;
    long lost = -1;
};

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void trapNothing(int, siginfo_t *, void *) {}

// The system calls of one selected call with the default SIGSEGV action
// (the trap is installed, and left), under the trace mutex as the call has it.
void floorCall() {
    struct sigaction act = {};
    struct sigaction old = {};
    act.sa_sigaction = trapNothing;
    act.sa_flags = SA_SIGINFO;
    pthread_mutex_lock(&xtr_mutex_sem);
    sigaction(SIGSEGV, &act, &old);
    int id;
    if (xtr::lockShared(&id)) xtr::unlockShared(id);
    pthread_mutex_unlock(&xtr_mutex_sem);
}

void participant(int slot, bool selected, bool floor) {
    while (shared->go.load() == 0) sched_yield();
    unsigned long n = 0;
    if (floor) {
        while (shared->stop.load(std::memory_order_relaxed) == 0) {
            for (int i = 0; i < 64; i++) floorCall();
            n += 64;
        }
    } else if (selected) {
        while (shared->stop.load(std::memory_order_relaxed) == 0) {
            for (int i = 0; i < 64; i++) xtr_trace("BENCHMKF: call %d of %s", static_cast<int>(n + i), kName);
            n += 64;
        }
    } else {
        while (shared->stop.load(std::memory_order_relaxed) == 0) {
            for (int i = 0; i < 64; i++) xtr_trace("BENCHMKD: call %d of %s", static_cast<int>(n + i), kName);
            n += 64;
        }
    }
    shared->calls[slot].store(n);
}

bool registered(pid_t pid) {
    const TRACE_HDR *h = xtr_get_hdr();
    return h != nullptr && __atomic_load_n(&h->pid, __ATOMIC_RELAXED) == pid;
}

Result runOnce(const Config &c, double seconds, const std::string &xtrctl) {
    Result r;
    shared->go = 0;
    shared->stop = 0;
    for (auto &x : shared->calls) x = 0;
    pid_t follower = -1;
    int errFd = -1;
    if (c.follow != nullptr) {
        errFd = memfd_create("follow", 0);
        follower = fork();
        if (follower == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(errFd, 2);
            if (c.follow[0] != '\0') {
                execl(xtrctl.c_str(), "xtrctl", "follow", c.follow, static_cast<char *>(nullptr));
            } else {
                execl(xtrctl.c_str(), "xtrctl", "follow", static_cast<char *>(nullptr));
            }
            _exit(127);
        }
        for (int i = 0; i < 5000 && !registered(follower); i++) usleep(1000);
    }
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    std::vector<pid_t> pids;
    int slot = 0;
    for (int p = 0; p < c.procs; p++) {
        const int first = slot;
        slot += c.threads;
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<std::thread> ts;
            for (int t = 1; t < c.threads; t++) ts.emplace_back(participant, first + t, c.selected, c.floor);
            participant(first, c.selected, c.floor);
            for (auto &t : ts) t.join();
            _exit(0);
        }
        pids.push_back(pid);
    }
    usleep(50000);  // all started
    const double t0 = now();
    shared->go = 1;
    usleep(static_cast<useconds_t>(seconds * 1e6));
    shared->stop = 1;
    for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    const double t1 = now();
    getrusage(RUSAGE_CHILDREN, &after);
    if (follower > 0) {
        usleep(300000);  // let it take the rest
        kill(follower, SIGINT);
        waitpid(follower, nullptr, 0);
        char text[4096] = {};
        (void)!pread(errFd, text, sizeof text - 1, 0);
        close(errFd);
        const char *at = std::strstr(text, " entries shown, ");
        if (at != nullptr) r.lost = std::atol(at + std::strlen(" entries shown, "));
    }
    unsigned long total = 0, slowest = ~0ul;
    for (int i = 0; i < slot; i++) {
        total += shared->calls[i];
        slowest = std::min(slowest, shared->calls[i].load());
    }
    const auto secs = [](const timeval &tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec * 1e-6; };
    const double cpu = secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
    const double switches = static_cast<double>(after.ru_nvcsw - before.ru_nvcsw + after.ru_nivcsw - before.ru_nivcsw);
    r.rate = static_cast<double>(total) / (t1 - t0);
    r.cpuPerCall = total ? cpu / static_cast<double>(total) * 1e9 : 0;
    r.switchesPerCall = total ? switches / static_cast<double>(total) : 0;
    r.slowestShare = total ? static_cast<double>(slowest) * slot / static_cast<double>(total) : 0;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = 1.0;
    int rounds = 3;
    std::string xtrctl = XTRCTL_PATH;
    std::string only;  // comma-separated config names; p1 is always run
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0) seconds = std::atof(argv[i] + 10);
        else if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
        else if (std::strncmp(argv[i], "--xtrctl=", 9) == 0) xtrctl = argv[i] + 9;
        else if (std::strncmp(argv[i], "--only=", 7) == 0) only = "," + std::string(argv[i] + 7) + ",";
        else {
            std::fprintf(stderr,
                         "usage: trace_scale_bench [--seconds=S] [--rounds=N] [--xtrctl=PATH] [--only=p1,p2,...]\n");
            return 2;
        }
    }
    if (unshare(geteuid() == 0 ? CLONE_NEWIPC : CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        std::perror("trace_scale_bench: unshare");
        return 2;
    }
    void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return 2;
    shared = new (m) Shared{};
    xtr_trace("BENCHMKD: create the buffer");  // not selected: nothing in the shared ring

    std::vector<Config> configs = {
        {"p1", 1, 1, true, nullptr},       {"p2", 2, 1, true, nullptr},           {"p4", 4, 1, true, nullptr},
        {"p8", 8, 1, true, nullptr},       {"t2", 1, 2, true, nullptr},           {"t4", 1, 4, true, nullptr},
        {"d1", 1, 1, false, nullptr},      {"p1+follow", 1, 1, true, ""},         {"p1+prio", 1, 1, true, "--priority"},
        {"p2+follow", 2, 1, true, ""},     {"p2+prio", 2, 1, true, "--priority"}, {"s1", 1, 1, true, nullptr, true},
        {"s2", 2, 1, true, nullptr, true}, {"s4", 4, 1, true, nullptr, true},     {"s8", 8, 1, true, nullptr, true},
    };
    if (!only.empty())
        configs.erase(std::remove_if(configs.begin(), configs.end(),
                                     [&](const Config &c) {
                                         const bool base =
                                             c.name == "p1" || (c.name == "s1" && only.find(",s") != std::string::npos);
                                         return !base && only.find("," + c.name + ",") == std::string::npos;
                                     }),
                      configs.end());
    const auto present = [&](const std::string &name) {
        return only.empty() || only.find("," + name + ",") != std::string::npos;
    };
    std::map<std::string, std::vector<Result>> all;
    for (int round = 0; round < rounds; round++) {
        for (const Config &c : configs) all[c.name].push_back(runOnce(c, seconds, xtrctl));
    }
    // Ratios are taken within a round, against the p1 of the same round, and
    // then their median: a slow spell of the machine moves both sides alike.
    const auto pairedMedian = [&](const std::string &name, double Result::*field, const std::string &base) {
        std::vector<double> ratios;
        for (int r = 0; r < rounds; r++) ratios.push_back(all[name][r].*field / all[base][r].*field);
        return median(ratios);
    };
    std::printf("%d rounds of %.1f s per configuration, interleaved; medians (ratios paired within a round)\n", rounds,
                seconds);
    std::printf("%-10s %12s %7s %10s %7s %10s %9s %8s\n", "config", "calls/s", "x 1", "cpu ns/call", "cpu x1",
                "csw/call", "slowest", "lost");
    for (const Config &c : configs) {
        std::vector<double> rates, cpu, csw, slow, lost;
        for (const Result &r : all[c.name]) {
            rates.push_back(r.rate);
            cpu.push_back(r.cpuPerCall);
            csw.push_back(r.switchesPerCall);
            slow.push_back(r.slowestShare);
            lost.push_back(static_cast<double>(r.lost));
        }
        const std::string base = c.floor ? "s1" : "p1";  // the floor against its own single process
        char lostText[32] = "-";
        if (c.follow != nullptr) std::snprintf(lostText, sizeof lostText, "%.0f", median(lost));
        std::printf("%-10s %12.0f %7.2f %10.0f %7.2f %10.4f %9.2f %8s\n", c.name.c_str(), median(rates),
                    pairedMedian(c.name, &Result::rate, base), median(cpu),
                    pairedMedian(c.name, &Result::cpuPerCall, base), median(csw), median(slow), lostText);
    }
    if (present("d1"))
        std::printf("unselected D / selected F cost per call: %.2f (cpu), %.2f (rate)\n",
                    pairedMedian("d1", &Result::cpuPerCall, "p1"), 1 / pairedMedian("d1", &Result::rate, "p1"));
    if (present("p1+follow") && present("p1+prio"))
        std::printf(
            "follower cost to one writer: %.2fx (cpu), %.2fx (rate); with priority %.2fx (cpu), %.2fx (rate)\n",
            pairedMedian("p1+follow", &Result::cpuPerCall, "p1"), 1 / pairedMedian("p1+follow", &Result::rate, "p1"),
            pairedMedian("p1+prio", &Result::cpuPerCall, "p1"), 1 / pairedMedian("p1+prio", &Result::rate, "p1"));
    return 0;
}
