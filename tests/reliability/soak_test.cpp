// Soak of the trace facility: 8 processes of 4 threads trace as fast as
// they can while another process interrupts them with signals (EINTR on
// the lock semaphore) and lock holders are killed with the lock held.
// Afterwards every entry of the shared ring is well formed, each thread's
// surviving entries have no gap, the count equals the trace calls made,
// and the count is the entries still in the ring plus the lost ones.
// Unselected trace points, made without the machine-wide lock, reach each
// process's own ring in their place and never the shared ring.
//
// VORQ_SOAK_SECONDS sets the duration (default 5);
// tests/reliability/soak.sh runs the long soak.
#include <sys/syscall.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <thread>

#include "ipc_testing.h"

namespace xtr::testing {
namespace {

constexpr int kProcs = 8, kThreads = 4;

struct Board {
    std::atomic<long> calls[kProcs][kThreads];  // completed trace calls per thread
    std::atomic<int> stop;
    std::atomic<long> signalsTaken;
};

Board *board;
void onSignal(int) { board->signalsTaken.fetch_add(1); }

long totalCalls() {
    long n = 0;
    for (auto &proc : board->calls) {
        for (auto &c : proc) n += c.load();
    }
    return n;
}

// Checks that each thread's entries in `entries` are consecutive calls.
void expectNoGaps(const std::vector<Entry> &entries, const std::vector<pid_t> &pids, const char *ring) {
    std::map<std::pair<int, int>, long> last;
    for (const Entry &e : entries) {
        int p = -1, t = -1;
        long i = -1;
        char tail[4] = {};
        if (std::sscanf(e.text.c_str(), "XSOAKTSF: p%d t%d i%ld %3s", &p, &t, &i, tail) != 4) continue;
        ASSERT_TRUE(p >= 0 && p < kProcs && t >= 0 && t < kThreads) << e.text;
        EXPECT_STREQ(tail, "end") << e.text;
        EXPECT_EQ(e.head.pid, static_cast<uint32_t>(pids[p])) << e.text;
        EXPECT_NE(e.head.tid, e.head.pid) << e.text;  // stamped by a thread of its own
        EXPECT_EQ(e.head.length, e.text.size() + XTR_MSG_OVERHEAD);
        auto [it, fresh] = last.emplace(std::make_pair(p, t), i);
        if (!fresh) {
            EXPECT_EQ(i, it->second + 1) << ring << " ring: a call of p" << p << " t" << t << " is missing";
            it->second = i;
        }
    }
}

TEST(TraceSoak, WritersUnderSignalsAndKilledLockHolders) {
    const char *env = std::getenv("VORQ_SOAK_SECONDS");
    const int seconds = env ? std::atoi(env) : 5;
    ASSERT_GT(seconds, 0);
    isolated([seconds] {
        xtr_trace("XSOAKTSF: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        void *mem = mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(mem, MAP_FAILED);
        board = new (mem) Board{};

        // Installed before the writers are forked, so that no signal can
        // reach one before it has the handler (the default action would end it).
        struct sigaction sa {};
        sa.sa_handler = onSignal;  // no SA_RESTART: the semaphore wait sees EINTR
        sigaction(SIGUSR1, &sa, nullptr);
        const std::vector<pid_t> writers = startWriters(
            kProcs, kThreads,
            [](int p, int t) {
                for (long i = 0; !board->stop.load(); i++) {
                    xtr_trace("XSOAKTSF: p%d t%d i%ld end", p, t, i);
                    board->calls[p][t].store(i + 1);
                    // Unselected: the own ring only, without the machine-wide lock.
                    if (i % 4 == 0) xtr_trace("XSOAKTSD: p%d t%d i%ld end", p, t, i);
                }
            },
            [](int p) {
                const auto own = checkedEntries(xtr_hdrP.begin, xtr_hdrP.end, xtr_hdrP.pbuffer, XTR_P_RING_SIZE);
                EXPECT_FALSE(own.empty());
                // Each thread's unselected entries follow its selected ones.
                // (The own ring keeps only the newest entries, possibly of one thread.)
                std::map<int, long> lastF, lastD;
                for (const Entry &e : own) {
                    int pp = -1, t = -1;
                    long i = -1;
                    char c = 0;
                    if (std::sscanf(e.text.c_str(), "XSOAKTS%c: p%d t%d i%ld", &c, &pp, &t, &i) != 4) continue;
                    if (c == 'F') {
                        lastF[t] = i;
                    } else if (lastF.count(t) != 0) {
                        EXPECT_EQ(i, lastF[t]) << "own ring: D entry out of place: " << e.text;
                        lastD[t] = i;
                    }
                }
                EXPECT_FALSE(lastD.empty()) << "unselected entries missing from the own ring";
                std::vector<pid_t> self(kProcs, 0);
                self[p] = getpid();
                expectNoGaps(own, self, "own");
            });

        pid_t signaller = spawn([&] {
            unsigned n = 0;
            while (!board->stop.load()) {
                kill(writers[n++ % kProcs], SIGUSR1);
                usleep(200);
            }
        });

        // Lock holders killed with the lock held, until the time is up.
        long holdersKilled = 0;
        const time_t deadline = time(nullptr) + seconds;
        while (time(nullptr) < deadline) {
            EXPECT_TRUE(LockHolder().killed());
            holdersKilled++;
            usleep(20000);
        }
        // After the last killed holder, every thread still gets through.
        long after[kProcs][kThreads];
        for (int p = 0; p < kProcs; p++) {
            for (int t = 0; t < kThreads; t++) after[p][t] = board->calls[p][t].load();
        }
        EXPECT_TRUE(waitUntil([&] {
            for (int p = 0; p < kProcs; p++) {
                for (int t = 0; t < kThreads; t++) {
                    if (board->calls[p][t].load() <= after[p][t]) return false;
                }
            }
            return true;
        })) << "a writer made no progress after the last killed lock holder";
        board->stop.store(1);
        for (pid_t pid : writers) EXPECT_TRUE(exitedCleanly(reap(pid)));
        EXPECT_TRUE(exitedCleanly(reap(signaller)));

        const long calls = totalCalls();
        const auto entries = sharedEntries();
        expectNoGaps(entries, writers, "shared");
        for (const Entry &e : entries) ASSERT_NE(e.text.rfind("XSOAKTSD", 0), 0u) << "unselected entry shared";
        EXPECT_EQ(h->count, static_cast<uint32_t>(calls + 1)) << "trace calls recorded nothing";
        EXPECT_EQ(h->count, entries.size() + h->lost_msg) << "count and lost_msg do not add up";
        EXPECT_GT(board->signalsTaken.load(), 0);
        std::printf(
            "soak: %d s, %d processes x %d threads; %ld trace calls, count %u, %zu entries in the "
            "ring, lost_msg %u; %ld signals taken, %ld lock holders killed\n",
            seconds, kProcs, kThreads, calls, h->count, entries.size(), h->lost_msg, board->signalsTaken.load(),
            holdersKilled);
    });
}

}  // namespace
}  // namespace xtr::testing
