// The trace call's contract: prefix checks and their reports, literal entry
// and exit texts, the length limits, errno, stamps and many threads at once.
#include "kbvdtrac.h"
#include "facility.h"
#include "ringwalk.h"

#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"
#include "trace_testing.h"

namespace {

using Texts = std::vector<std::string>;
using xtr::testing::clearPrivateRing;
using xtr::testing::privateRingTexts;

// Traces a format that the compiler cannot check (built at run time).
void traceRuntime(const std::string &fmt) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    xtr_trace(fmt.c_str());
#pragma GCC diagnostic pop
}

Texts traced(const std::string &fmt) {
    clearPrivateRing();
    traceRuntime(fmt);
    return privateRingTexts();
}

TEST(TraceCall, FormatLengthLimits) {
    EXPECT_EQ(traced("XREMHSTF"), Texts{"XREMHSTF"});
    EXPECT_EQ(traced("XREMHST"), Texts{"XTR    F:#### TRACE ENTRY [XREMHST] TOO short!!!!!!"});
    EXPECT_EQ(traced(""), Texts{"XTR    F:#### TRACE ENTRY [] TOO short!!!!!!"});

    std::string longest = "XREMHSTF:" + std::string(502, 'y');
    ASSERT_EQ(longest.size(), 511u);
    EXPECT_EQ(traced(longest), Texts{longest});
    EXPECT_EQ(traced(longest + "z"), Texts{"XTR    F:#### TRACE ENTRY [XREMHSTF:yyyyyyyyyyy] TOO LONG!!!!!!"});
}

TEST(TraceCall, CriteriaLetters) {
    EXPECT_EQ(traced("XREMHSTT: -> f %d %s"), Texts{"XREMHSTT: -> f %d %s"});  // never formatted
    EXPECT_EQ(traced("XREMHSTD: 100%%"), Texts{"XREMHSTD: 100%"});
    EXPECT_EQ(traced("XREMHSTL: x"), Texts{"XREMHSTL: x"});
    EXPECT_EQ(traced("XREMHSTt: -> f"), Texts{"XTR    F:#### INVALID TRACE CRITERIA [t] in [XREMHSTt: -> f]"});
    EXPECT_EQ(traced("XREMHST : x"), Texts{"XTR    F:#### INVALID TRACE CRITERIA [ ] in [XREMHST : x]"});

    clearPrivateRing();
    xtr_trace(nullptr);
    Texts t = privateRingTexts();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].rfind("XTR    F:#### BAD TRACE ENTRY POINTER [", 0), 0u) << t[0];
}

TEST(TraceCall, ArgumentsAreFormattedAndBounded) {
    clearPrivateRing();
    xtr_trace("XREMHSTF: rename() of %s to %s failed; errno=%d", "a", "b", 18);
    std::string huge(600, 'h');
    xtr_trace("XREMHSTF: argv[%d]=%s", 3, huge.c_str());
    Texts t = privateRingTexts();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], "XREMHSTF: rename() of a to b failed; errno=18");
    EXPECT_EQ(t[1], "XREMHSTF:#### TRACE DATA STRING TOO LONG!!!!!!");
}

TEST(TraceCall, PreservesErrnoOnEveryPath) {
    for (const char *fmt : {"XREMHSTF: ok", "XREMHSTT: -> x", "short", "XREMHSTq: bad"}) {
        errno = EXDEV;
        traceRuntime(fmt);
        EXPECT_EQ(errno, EXDEV) << fmt;
    }
}

TEST(TraceCall, EntriesCarryProcessAndThreadStamps) {
    clearPrivateRing();
    xtr_trace("XREMHSTF: main");
    unsigned long mainTid = xtr_gettid();
    unsigned long otherTid = 0;
    std::thread([&] {
        otherTid = xtr_gettid();
        xtr_trace("XREMHSTF: other");
    }).join();
    std::vector<MSG> headers;
    xtr::walkRing(xtr::xtr_hdrP.pbuffer, XTR_P_RING_SIZE, xtr::xtr_hdrP.begin, xtr::xtr_hdrP.end,
                  [&](const MSG &m, std::string_view) { headers.push_back(m); });
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(xtr_getpid(), static_cast<unsigned long>(getpid()));
    EXPECT_EQ(headers[0].pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(headers[1].pid, headers[0].pid);
    EXPECT_EQ(headers[0].tid, static_cast<uint32_t>(mainTid));
    EXPECT_EQ(headers[1].tid, static_cast<uint32_t>(otherTid));
    EXPECT_NE(mainTid, otherTid);
    EXPECT_GT(headers[0].time, 1700000000u);
    EXPECT_LT(headers[0].usecs, 1000000u);
}

TEST(TraceCall, ForkedChildStampsItsOwnPid) {
    xtr_trace("XREMHSTF: parent");
    pid_t child = fork();
    if (child == 0) {
        clearPrivateRing();
        xtr_trace("XREMHSTF: child");
        uint32_t pid = 0;
        xtr::walkRing(xtr::xtr_hdrP.pbuffer, XTR_P_RING_SIZE, xtr::xtr_hdrP.begin, xtr::xtr_hdrP.end,
                      [&](const MSG &m, std::string_view) { pid = m.pid; });
        _exit(pid == static_cast<uint32_t>(getpid()) && xtr_getpid() == static_cast<unsigned long>(getpid()) ? 0 : 1);
    }
    int ws = 0;
    ASSERT_EQ(waitpid(child, &ws, 0), child);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
}

// Children forked while other threads trace: none inherits a trace mutex
// held by a thread it does not have, and each records under its own ids at
// once.
TEST(TraceCall, ForkWhileOtherThreadsTraceIsSafe) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&stop, t] {
            while (!stop.load()) {
                xtr_trace("XREMHSTF: thread %d busy", t);
                xtr_trace("XREMHSTD: thread %d detail", t);
            }
        });
    }
    std::vector<pid_t> children;
    for (int c = 0; c < 40; c++) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(20);  // a child that hangs dies, and fails the test
            xtr_trace("XREMHSTF: child %d", c);
            xtr_dump_bytes("XREMHSTF:", "abcd", 4);
            uint32_t pid = 0, tid = 0;
            std::string text;
            xtr::walkRing(xtr::xtr_hdrP.pbuffer, XTR_P_RING_SIZE, xtr::xtr_hdrP.begin, xtr::xtr_hdrP.end,
                          [&](const MSG &m, std::string_view t) {
                              if (t.substr(0, 16) == "XREMHSTF: child ") {
                                  pid = m.pid;
                                  tid = m.tid;
                                  text = t;
                              }
                          });
            const auto self = static_cast<uint32_t>(getpid());
            _exit(pid == self && tid == self && text == "XREMHSTF: child " + std::to_string(c) ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        children.push_back(child);
    }
    stop = true;
    for (auto &th : threads) th.join();
    for (pid_t child : children) {
        int ws = 0;
        ASSERT_EQ(waitpid(child, &ws, 0), child);
        EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << "child wait status " << ws;
    }
    // The threads hand the buffer lock on while others wait: once they are
    // done it is free, and no child released (or kept) the parent's hold.
    EXPECT_EQ(semctl(xtr::lockSetId(), 0, GETVAL), 0);
}

TEST(TraceCall, ProgramHoldingTheTraceMutexNeverKeepsTheBufferLock) {
    xtr_trace("XREMHSTF: armed");
    ASSERT_EQ(pthread_mutex_lock(&xtr_mutex_sem), 0);
    std::thread waiter([] { xtr_trace("XREMHSTF: waiter"); });
    // Caught while it still spins (it sleeps after a third of a millisecond).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (xtr::traceMutexWaiters.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    }
    // Another thread waits, but the program goes on holding the mutex after
    // the call: the buffer lock must not stay held meanwhile.
    xtr_trace("XREMHSTF: holder");
    EXPECT_EQ(semctl(xtr::lockSetId(), 0, GETVAL), 0);
    pthread_mutex_unlock(&xtr_mutex_sem);
    waiter.join();
    EXPECT_EQ(semctl(xtr::lockSetId(), 0, GETVAL), 0);
}

TEST(TraceCall, ConcurrentCallersNeverTearAnEntry) {
    clearPrivateRing();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; i++) xtr_trace("XREMHSTF: thread %d entry %d end", t, i);
        });
    }
    for (auto &th : threads) th.join();
    Texts texts = privateRingTexts();
    ASSERT_GT(texts.size(), 500u);  // the ring keeps only the newest
    for (const auto &s : texts) {
        int t = -1, i = -1;
        char tail[4] = {};
        ASSERT_EQ(std::sscanf(s.c_str(), "XREMHSTF: thread %d entry %d %3s", &t, &i, tail), 3) << s;
        EXPECT_STREQ(tail, "end");
    }
}

}  // namespace
