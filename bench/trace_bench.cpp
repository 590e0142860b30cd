// Cost of one trace call, through the shared library as a user links it.
//
// The three trace points and the baseline are each measured single-threaded,
// on two threads of one process, and with a second process making the same
// call in a loop beside the measuring one; the rest single-threaded only:
//   trace_F_selected    an F point with arguments, selected for the shared ring
//   trace_T_selected    a T point (recorded as written), selected
//   trace_D_unselected  a D point with arguments that the default templates
//                       leave out of the shared ring (it still goes to the
//                       process's own ring)
//   part_*              pieces of the baseline alone (a null system call,
//                       the SIGSEGV install and restore, the semaphore pair)
//   baseline            by hand, the least system work a selected call needs:
//                       a recursive mutex lock and unlock, installing and
//                       restoring the SIGSEGV action, the buffer semaphore's
//                       lock and unlock (same operation lists), gettimeofday
//                       and two copies of the entry text into ring buffers
//   paired_F_baseline_x64  blocks of 64 F calls and 64 baseline calls in
//                       turn, each block timed (wall and thread CPU clock),
//                       single-threaded
// The ratio trace_F_selected / baseline is printed at the end of the run,
// from the separate benchmarks and from the paired one; the verdict against
// the 1.25 target uses the paired one.
//
// Allocations are counted by replacing the C allocator's entry points in this
// binary (operator new goes through them too); every benchmark reports
// allocs/call, and the first trace call (which arms the facility) is counted
// on its own before the benchmarks start.
//
// Isolation: main() moves the process into an IPC namespace of its own before
// anything else (as root; otherwise inside a new user namespace too), so the
// trace buffer and semaphore sets it creates vanish with it and the machine's
// own are never touched.
//
//   trace_bench [benchmark flags]     the benchmarks
//   trace_bench --loop=WHAT:N         one warm-up call, then N calls, then exit
//                                     (WHAT = F, T, D or baseline), for strace
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "kbvdtrac.h"

// ---------------------------------------------------------------------------
// Allocation counting: the allocator's entry points of this executable take
// precedence over the C library's for the whole process, the trace library
// included.  Each forwards to the C library's own implementation.

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {
__attribute__((tls_model("initial-exec"))) thread_local uint64_t tAllocs = 0;  // this thread's
inline void counted() { ++tAllocs; }
}  // namespace

// Exported despite the project's hidden default, so they take the place of
// the C library's.
#define BENCH_EXPORT __attribute__((visibility("default")))

extern "C" {
BENCH_EXPORT void *malloc(size_t n) noexcept {
    counted();
    return __libc_malloc(n);
}
BENCH_EXPORT void *calloc(size_t n, size_t m) noexcept {
    counted();
    return __libc_calloc(n, m);
}
BENCH_EXPORT void *realloc(void *p, size_t n) noexcept {
    counted();
    return __libc_realloc(p, n);
}
BENCH_EXPORT void free(void *p) noexcept { __libc_free(p); }
BENCH_EXPORT void *memalign(size_t a, size_t n) noexcept {
    counted();
    return __libc_memalign(a, n);
}
BENCH_EXPORT void *aligned_alloc(size_t a, size_t n) noexcept {
    counted();
    return __libc_memalign(a, n);
}
BENCH_EXPORT int posix_memalign(void **out, size_t a, size_t n) noexcept {
    if (a < sizeof(void *) || (a & (a - 1)) != 0) return EINVAL;
    counted();
    void *p = __libc_memalign(a, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}  // extern "C"

namespace {

// ---------------------------------------------------------------------------
// The trace points.

const char *volatile kOldName = "/etc/hosts.tmp";
const char *volatile kNewName = "/etc/hosts";
volatile int kErrno = 18;
volatile int kLine = 42;

void traceF() { xtr_trace("XREMHSTF: rename() of %s to %s failed; errno=%d", kOldName, kNewName, kErrno); }
void traceT() { xtr_trace("XREMHSTT: -> updateHostsFile"); }
void traceD() { xtr_trace("XREMHSTD: line %d of %s kept", kLine, kNewName); }

// Entries in the shared ring so far (wraps at 2^32; deltas stay right).
uint32_t sharedCount() {
    const TRACE_HDR *h = xtr_get_hdr();
    return h == nullptr ? 0 : reinterpret_cast<const volatile uint32_t &>(h->count);
}

// ---------------------------------------------------------------------------
// The baseline: what one selected call cannot do without, done by hand.

struct BaselineRings {
    unsigned char shared[XTR_RING_SIZE + 2];  // in memory shared with a forked peer
    uint32_t sharedEnd;
};

pthread_mutex_t baselineMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
int baselineSem = -1;
BaselineRings *baselineRings = nullptr;
unsigned char baselinePrivate[XTR_P_RING_SIZE + 2];
uint32_t baselinePrivateEnd = 0;
char baselineText[128];
size_t baselineTextLen = 0;  // the formatted F text and its NUL, as the call copies

void baselineTrap(int, siginfo_t *, void *) {}

void ringCopy(unsigned char *ring, uint32_t size, uint32_t &end) {
    const size_t n = baselineTextLen;
    if (end + n > size) end = 0;
    std::memcpy(ring + end, baselineText, n);
    end += static_cast<uint32_t>(n);
}

void baselineCall() {
    pthread_mutex_lock(&baselineMutex);
    struct sigaction act, old;
    std::memset(&act, 0, sizeof act);
    act.sa_sigaction = baselineTrap;
    act.sa_flags = SA_SIGINFO;
    sigemptyset(&act.sa_mask);
    sigaction(SIGSEGV, &act, &old);
    timeval tv;
    gettimeofday(&tv, nullptr);
    benchmark::DoNotOptimize(tv);
    sembuf lockOps[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    (void)semop(baselineSem, lockOps, 2);
    ringCopy(baselinePrivate, XTR_P_RING_SIZE, baselinePrivateEnd);
    ringCopy(baselineRings->shared, XTR_RING_SIZE, baselineRings->sharedEnd);
    benchmark::ClobberMemory();
    sembuf unlockOp = {0, -1, SEM_UNDO};
    (void)semop(baselineSem, &unlockOp, 1);
    sigaction(SIGSEGV, &old, nullptr);
    pthread_mutex_unlock(&baselineMutex);
}

// Pieces of the baseline on their own, to price one system call here.
void partNullSyscall() { benchmark::DoNotOptimize(syscall(SYS_getppid)); }

void partSigactionPair() {
    struct sigaction act, old;
    std::memset(&act, 0, sizeof act);
    act.sa_sigaction = baselineTrap;
    act.sa_flags = SA_SIGINFO;
    sigemptyset(&act.sa_mask);
    sigaction(SIGSEGV, &act, &old);
    sigaction(SIGSEGV, &old, nullptr);
}

void partSemLockUnlock() {
    sembuf lockOps[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    (void)semop(baselineSem, lockOps, 2);
    sembuf unlockOp = {0, -1, SEM_UNDO};
    (void)semop(baselineSem, &unlockOp, 1);
}

bool baselineInit() {
    baselineSem = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);  // inside our own IPC namespace
    if (baselineSem < 0) {
        std::perror("trace_bench: semget");
        return false;
    }
    void *m = mmap(nullptr, sizeof(BaselineRings), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
        std::perror("trace_bench: mmap");
        return false;
    }
    baselineRings = static_cast<BaselineRings *>(m);
    const int n = std::snprintf(baselineText, sizeof baselineText, "XREMHSTF: rename() of %s to %s failed; errno=%d",
                                kOldName, kNewName, kErrno);
    baselineTextLen = static_cast<size_t>(n) + 1;
    return true;
}

// ---------------------------------------------------------------------------
// The measuring loops.

using Call = void (*)();

void measure(benchmark::State &st, Call call, bool countShared) {
    const uint64_t a0 = tAllocs;
    const uint32_t c0 = sharedCount();
    for (auto _ : st) call();
    const uint32_t c1 = sharedCount();
    st.counters["allocs/call"] =
        benchmark::Counter(static_cast<double>(tAllocs - a0), benchmark::Counter::kAvgIterations);
    if (countShared && st.threads() == 1) {
        st.counters["shared/call"] =
            benchmark::Counter(static_cast<double>(static_cast<uint32_t>(c1 - c0)), benchmark::Counter::kAvgIterations);
    }
}

// A peer process: forked before the timed loop, it makes the same call in a
// loop until told to stop, for at most kPeerSeconds, and dies with us.
struct PeerControl {
    std::atomic<int> stop;
    std::atomic<uint64_t> calls;
};
PeerControl *peer = nullptr;
constexpr int kPeerSeconds = 120;

double monotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void peerLoop(Call call, int readyFd, pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(3);
    call();
    const char one = 1;
    if (write(readyFd, &one, 1) != 1) _exit(4);
    close(readyFd);
    const double deadline = monotonicSeconds() + kPeerSeconds;
    for (uint64_t n = 1;; n++) {
        call();
        peer->calls.fetch_add(1, std::memory_order_relaxed);
        if (peer->stop.load(std::memory_order_relaxed) != 0) break;
        if ((n & 4095) == 0 && monotonicSeconds() > deadline) break;
    }
    _exit(0);
}

void measureWithPeer(benchmark::State &st, Call call) {
    peer->stop.store(0);
    peer->calls.store(0);
    int fds[2];
    if (pipe(fds) != 0) {
        st.SkipWithError("pipe failed");
        return;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        st.SkipWithError("fork failed");
        return;
    }
    if (child == 0) {
        close(fds[0]);
        peerLoop(call, fds[1], parent);
    }
    close(fds[1]);
    char ready = 0;
    const bool started = read(fds[0], &ready, 1) == 1;
    close(fds[0]);

    auto reap = [child] {
        peer->stop.store(1);
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    if (!started) {
        reap();
        st.SkipWithError("the peer process did not start");
        return;
    }

    const uint64_t a0 = tAllocs;
    const uint64_t p0 = peer->calls.load();
    for (auto _ : st) call();
    const uint64_t p1 = peer->calls.load();
    if (!reap()) {
        st.SkipWithError("the peer process failed");
        return;
    }
    st.counters["allocs/call"] =
        benchmark::Counter(static_cast<double>(tAllocs - a0), benchmark::Counter::kAvgIterations);
    st.counters["peer_calls/call"] =
        benchmark::Counter(static_cast<double>(p1 - p0), benchmark::Counter::kAvgIterations);
}

// The paired measurement: blocks of kPairBlock F calls and kPairBlock
// baseline calls alternate (the order swapped every iteration), each block
// timed on its own on the wall clock and on the thread's CPU clock (user and
// system time, not the time the thread waited for a processor), so both
// halves of the ratio see the same machine state: a slow spell (other load,
// frequency changes) moves both halves instead of only one.
constexpr int kPairBlock = 64;

double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void measurePaired(benchmark::State &st) {
    struct Sums {
        double wall = 0, cpu = 0;
    } f, b;
    auto block = [](Call call, Sums &sums) {
        const double w0 = monotonicSeconds(), c0 = threadCpuSeconds();
        for (int i = 0; i < kPairBlock; i++) call();
        sums.cpu += (threadCpuSeconds() - c0) * 1e9;
        sums.wall += (monotonicSeconds() - w0) * 1e9;
    };
    bool fFirst = true;
    for (auto _ : st) {
        if (fFirst) {
            block(traceF, f);
            block(baselineCall, b);
        } else {
            block(baselineCall, b);
            block(traceF, f);
        }
        fFirst = !fFirst;
    }
    const double calls = static_cast<double>(st.iterations()) * kPairBlock;
    st.counters["F_ns"] = f.wall / calls;
    st.counters["baseline_ns"] = b.wall / calls;
    st.counters["ratio"] = b.wall > 0 ? f.wall / b.wall : 0;
    st.counters["F_cpu_ns"] = f.cpu / calls;
    st.counters["baseline_cpu_ns"] = b.cpu / calls;
    st.counters["cpu_ratio"] = b.cpu > 0 ? f.cpu / b.cpu : 0;
}

// ---------------------------------------------------------------------------
// The display: the usual console output, then the ratios of the F point to
// the baseline: from the separate benchmarks (median and minimum of the
// repetitions) and from the paired one.

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : benchmark::ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.error_occurred) continue;
            const std::string name = r.run_name.str();
            const std::string kind = r.run_type == Run::RT_Aggregate ? r.aggregate_name : "single";
            if (kind != "single" && kind != "median" && kind != "min") continue;
            times_[kind][name] = r.GetAdjustedRealTime();
            for (const char *counter : {"ratio", "cpu_ratio"}) {
                auto it = r.counters.find(counter);
                if (it != r.counters.end()) paired_[kind][counter] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        const bool repeated = times_.count("median") != 0;
        std::printf("\nRatio trace_F_selected / baseline (real time):\n");
        for (const char *kind : {"median", "min", "single"}) {
            if ((std::strcmp(kind, "single") == 0) == repeated) continue;
            const auto &times = times_[kind];
            for (const char *suffix : {"/real_time", "/real_time/threads:2", "/2procs/real_time"}) {
                auto f = times.find(std::string("trace_F_selected") + suffix);
                auto b = times.find(std::string("baseline") + suffix);
                if (f == times.end() || b == times.end() || b->second <= 0) continue;
                std::printf("  separate, %-6s %-22s %8.1f ns / %8.1f ns = %.3f\n", kind, suffix + 1, f->second,
                            b->second, f->second / b->second);
            }
        }
        const char *kind = repeated ? "median" : "single";
        auto p = paired_.find(kind);
        if (p != paired_.end()) {
            for (const auto &[counter, ratio] : p->second) {
                std::printf("  paired,   %-6s %-10s single-threaded                     = %.3f   target <= 1.25: %s\n",
                            kind, counter.c_str(), ratio, ratio <= 1.25 ? "PASS" : "FAIL");
            }
        }
        std::fflush(stdout);
    }

private:
    std::map<std::string, std::map<std::string, double>> times_;  // kind -> name -> ns
    std::map<std::string, std::map<std::string, double>> paired_;  // kind -> counter -> ratio
};

// ---------------------------------------------------------------------------

void isolate() {
    char before[64] = {}, after[64] = {};
    (void)!readlink("/proc/self/ns/ipc", before, sizeof before - 1);
    const int flags = geteuid() == 0 ? CLONE_NEWIPC : CLONE_NEWUSER | CLONE_NEWIPC;
    if (unshare(flags) != 0) {
        std::perror("trace_bench: unshare of the IPC namespace");
        std::exit(2);
    }
    (void)!readlink("/proc/self/ns/ipc", after, sizeof after - 1);
    std::printf("IPC namespace: %s -> %s (own)\n", before, after);
}

Call callNamed(const std::string &what) {
    if (what == "F") return traceF;
    if (what == "T") return traceT;
    if (what == "D") return traceD;
    if (what == "baseline") return baselineCall;
    return nullptr;
}

// --loop=WHAT:N: one warm-up call, then N more, then exit.
int loopMode(const std::string &arg) {
    const size_t colon = arg.find(':');
    Call call = callNamed(arg.substr(0, colon));
    if (call == nullptr || colon == std::string::npos) {
        std::fprintf(stderr, "trace_bench: --loop=F|T|D|baseline:N\n");
        return 2;
    }
    const long n = std::strtol(arg.c_str() + colon + 1, nullptr, 10);
    call();
    const uint64_t a0 = tAllocs;
    for (long i = 0; i < n; i++) call();
    std::printf("loop %s: %ld calls after the warm-up call, %llu allocations\n", arg.c_str(), n,
                static_cast<unsigned long long>(tAllocs - a0));
    return 0;
}

double smallest(const std::vector<double> &v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }
double largest(const std::vector<double> &v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// Every benchmark is timed on the wall clock, in ns, and with repetitions
// reports the minimum and maximum besides the library's statistics.
void common(benchmark::internal::Benchmark *b) {
    b->UseRealTime()
        ->Unit(benchmark::kNanosecond)
        ->ComputeStatistics("min", smallest)
        ->ComputeStatistics("max", largest);
}

void registerAll() {
    struct Case {
        const char *name;
        Call call;
        bool shared;
    };
    static const Case cases[] = {
        {"baseline", baselineCall, false},
        {"trace_F_selected", traceF, true},
        {"trace_T_selected", traceT, true},
        {"trace_D_unselected", traceD, true},
    };
    // One process, on one thread or on `threads` threads.
    const auto add = [](const Case &c, int threads) {
        auto *b = benchmark::RegisterBenchmark(c.name, [c](benchmark::State &st) { measure(st, c.call, c.shared); });
        if (threads > 1) b->Threads(threads);
        b->Apply(common);
    };
    for (const Case &c : cases) add(c, 1);
    benchmark::RegisterBenchmark("paired_F_baseline_x64", measurePaired)->Apply(common);
    static const Case parts[] = {
        {"part_null_syscall", partNullSyscall, false},
        {"part_sigaction_pair", partSigactionPair, false},
        {"part_sem_lock_unlock", partSemLockUnlock, false},
    };
    for (const Case &c : parts) add(c, 1);
    for (const Case &c : cases) add(c, 2);
    for (const Case &c : cases) {
        benchmark::RegisterBenchmark((std::string(c.name) + "/2procs").c_str(), [c](benchmark::State &st) {
            measureWithPeer(st, c.call);
        })->Apply(common);
    }
}

}  // namespace

int main(int argc, char **argv) {
    isolate();
    if (!baselineInit()) return 2;
    void *pm = mmap(nullptr, sizeof(PeerControl), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (pm == MAP_FAILED) {
        std::perror("trace_bench: mmap");
        return 2;
    }
    peer = new (pm) PeerControl{};

    // Our own flags are taken out before the benchmark library sees the rest.
    std::string loop;
    int kept = 1;
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--loop=", 7) == 0) {
            loop = argv[i] + 7;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;

    if (!loop.empty()) return loopMode(loop);

    // The counter sees the allocations of the C++ library too.
    uint64_t a0 = tAllocs;
    {
        std::vector<char> probe(1000);
        benchmark::DoNotOptimize(probe.data());
    }
    std::printf("allocation counter check: a 1000-byte std::vector counted %llu allocation(s)\n",
                static_cast<unsigned long long>(tAllocs - a0));

    // The first call arms the facility (creates the buffer in our namespace).
    a0 = tAllocs;
    traceF();
    const uint64_t first = tAllocs - a0;
    std::printf("first trace call: %llu allocations; buffer found already running: %s\n",
                static_cast<unsigned long long>(first), xtr_was_trace_running() ? "yes" : "no");
    a0 = tAllocs;
    for (int i = 0; i < 10000; i++) {
        traceF();
        traceT();
        traceD();
    }
    std::printf("next 30000 trace calls (F, T, D): %llu allocations\n", static_cast<unsigned long long>(tAllocs - a0));
    std::fflush(stdout);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    registerAll();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
