// Recording through real trace calls: which trace points reach the shared
// ring, the count and the continuous reader's event, the buffer lock under
// signals and dead or hostile holders, faulty trace calls and the signal
// actions around them, many writers at once, and a header full of garbage.
#include <pthread.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "facility.h"
#include "ipc_testing.h"
#include "recording.h"

namespace xtr::testing {
namespace {

using Texts = std::vector<std::string>;

uint32_t kernelTid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// Memory that stays shared with the processes forked after it.
template <class T>
T *sharedArray(size_t n) {
    void *p = mmap(nullptr, sizeof(T) * n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    return static_cast<T *>(p);
}

TEST(Selection, DefaultTemplatesShareTAndFPointsOnly) {
    isolated([] {
        xtr_trace("XSELTSTT: -> f");
        xtr_trace("XSELTSTF: event %d", 7);
        xtr_trace("XSELTSTD: detail");
        xtr_trace("XSELTSTL: fourth");
        EXPECT_EQ(privateRingTexts(),
                  (Texts{"XSELTSTT: -> f", "XSELTSTF: event 7", "XSELTSTD: detail", "XSELTSTL: fourth"}));
        auto e = sharedEntries();
        ASSERT_EQ(e.size(), 2u);
        EXPECT_EQ(e[0].text, "XSELTSTT: -> f");
        EXPECT_EQ(e[1].text, "XSELTSTF: event 7");
        for (const Entry &x : e) {
            EXPECT_EQ(x.head.length, x.text.size() + 24);
            EXPECT_EQ(x.head.pid, static_cast<uint32_t>(getpid()));
            EXPECT_EQ(x.head.tid, kernelTid());
        }
        EXPECT_EQ(xtr_get_hdr()->count, 2u);
    });
}

TEST(Selection, FirstMatchingTemplateDecides) {
    isolated([] {
        xtr_trace("XSELTSTD: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        const Texts points = {"XDFCTSTF: carved out", "XOTHERSF: selected", "XDFCABCF: carved out too"};
        auto sharedAfterTracing = [&](const std::vector<std::string> &texts) {
            xtr_build_control_information();
            h->begin = h->end = 0;
            for (const auto &p : texts) traceUnchecked(p.c_str());
            return sharedTexts();
        };
        clearTemplates();
        setTemplate(2, "XDFC   ", " -  ");
        setTemplate(5, "*      ", " +  ");
        EXPECT_EQ(sharedAfterTracing(points), Texts{"XOTHERSF: selected"});
        EXPECT_TRUE(sharedAfterTracing({"XOTHERST: -> f"}).empty());  // T is named by no template

        clearTemplates();
        setTemplate(2, "*      ", " +  ");
        setTemplate(5, "XDFC   ", " -  ");
        EXPECT_EQ(sharedAfterTracing(points), points);

        const auto self = static_cast<uint32_t>(getpid());
        clearTemplates();
        setTemplate(0, "XOTHERS", " +  ", self + 1);
        EXPECT_TRUE(sharedAfterTracing(points).empty());
        setTemplate(0, "XOTHERS", " +  ", self);
        EXPECT_EQ(sharedAfterTracing(points), Texts{"XOTHERSF: selected"});

        // A count beyond the row must not lead into the next criteria's row
        // (there, 1 would name template 1, blank, which matches everything).
        clearTemplates();
        setTemplate(0, "*      ", "  + ");
        setTemplate(9, "ZZZZ   ", " +  ");
        xtr_build_control_information();
        h->type[1][0] = 200;
        for (int j = 1; j <= 10; j++) h->type[1][j] = j % 2 ? 9 : 77;  // 77 names no template
        h->begin = h->end = 0;
        for (const auto &p : points) traceUnchecked(p.c_str());
        EXPECT_TRUE(sharedTexts().empty());
        EXPECT_EQ(privateRingTexts().back(), points.back());
    });
}

TEST(Selection, TemplateForOneThread) {
    isolated([] {
        xtr_trace("XSELTSTD: arm");
        EXPECT_EQ(xtr_gettid(), static_cast<unsigned long>(getpid()));  // the main thread
        Gate tidKnown, templateSet;
        std::atomic<uint32_t> other{0};
        std::thread t([&] {
            other = kernelTid();
            EXPECT_EQ(xtr_gettid(), other.load());
            tidKnown.open();
            templateSet.pass();
            xtr_trace("XSELTSTF: other thread");
        });
        tidKnown.pass();
        clearTemplates();
        setTemplate(0, "*      ", "++  ", 0, other);
        xtr_build_control_information();
        EXPECT_EQ(xtr_get_hdr()->trace_all[1], 0);
        templateSet.open();
        t.join();
        xtr_trace("XSELTSTF: main thread");
        auto e = sharedEntries();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].text, "XSELTSTF: other thread");
        EXPECT_EQ(e[0].head.tid, other.load());
        EXPECT_EQ(privateRingTexts(), (Texts{"XSELTSTD: arm", "XSELTSTF: other thread", "XSELTSTF: main thread"}));
    });
}

void countSignal(int) {}

TEST(Recording, CountAndTheContinuousReader) {
    isolated([] {
        xtr_trace("XRECTSTF: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->count, 1u);
        xtr_trace("XRECTSTD: not shared");
        EXPECT_EQ(h->count, 1u);

        // A reader that went away without unregistering: collection stops
        // once the count passes 100.
        h->cont = h->cont_running = 1;
        h->count = 99;
        xtr_trace("XRECTSTF: hundredth");
        EXPECT_EQ(h->cont, 1);
        xtr_trace("XRECTSTF: hundred and first");
        EXPECT_EQ(h->count, 101u);
        EXPECT_EQ(h->cont, 0);
        EXPECT_EQ(h->cont_running, 0);

        // A registered reader is woken by every insertion past 100.
        const unsigned event = h->uEventSem;
        h->cont = 1;
        h->count = 50;
        ASSERT_EQ(xtrResetEventSem(), 0);
        Gate interrupted;
        pid_t reader = spawn([&] {
            struct sigaction sa {};
            sa.sa_handler = countSignal;  // no SA_RESTART
            sigaction(SIGUSR1, &sa, nullptr);
            errno = 0;
            EXPECT_EQ(xtrWaitEventSem(), -1);  // a signal ends the wait
            EXPECT_EQ(errno, EINTR);
            interrupted.open();
            EXPECT_EQ(xtrWaitEventSem(), 0);
        });
        h->pid = reader;
        xtr_trace("XRECTSTF: not yet worth waking the reader");
        EXPECT_EQ(semValue(event), 1);
        ASSERT_TRUE(waitUntil([&] { return semZeroWaiters(event) == 1; }));
        kill(reader, SIGUSR1);
        interrupted.pass();
        ASSERT_TRUE(waitUntil([&] { return semZeroWaiters(event) == 1; }));
        h->count = 300;
        h->priority = 1;  // the writer paces itself; nothing here depends on how long
        xtr_trace("XRECTSTF: wakes the reader");
        EXPECT_EQ(semValue(event), 0);
        EXPECT_TRUE(exitedCleanly(reap(reader)));
        // Posted once until the reader takes entries, and every 64th insertion.
        ASSERT_EQ(xtrResetEventSem(), 0);
        h->count = 310;
        xtr_trace("XRECTSTF: already posted");
        EXPECT_EQ(semValue(event), 1);
        h->count = 150;  // the reader took entries and set count back
        xtr_trace("XRECTSTF: posts again");
        EXPECT_EQ(semValue(event), 0);
        ASSERT_EQ(xtrResetEventSem(), 0);
        h->count = 191;
        xtr_trace("XRECTSTF: 192nd");
        EXPECT_EQ(semValue(event), 0);
        EXPECT_EQ(h->cont, 1);
        EXPECT_EQ(sharedTexts().back(), "XRECTSTF: 192nd");
    });
}

std::atomic<int> *alarms;
void onAlarm(int) { alarms->fetch_add(1); }

TEST(Recording, BufferLockUnderSignalsAndAHostileHolder) {
    isolated([] {
        xtr_trace("XRECTSTF: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        alarms = sharedArray<std::atomic<int>>(1);
        struct sigaction sa {};
        sa.sa_handler = onAlarm;  // no SA_RESTART
        ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);

        LockHolder holder;
        // A trace call gives up on a lock held for too long: the entry goes
        // to the process's own ring only.
        clearPrivateRing();
        const uint32_t count = h->count, lost = h->lost_msg;
        errno = EXDEV;
        xtr_trace("XRECTSTF: while the lock is held");
        EXPECT_EQ(errno, EXDEV);
        EXPECT_EQ(privateRingTexts(), Texts{"XRECTSTF: while the lock is held"});
        EXPECT_EQ(h->count, count);
        EXPECT_EQ(lockWaitsRunOut(), 1u);

#ifdef XTR_UNDER_TSAN
        // The thread sanitizer runs a handler only once the thread leaves the
        // blocking call, so no handler can run while the lock is awaited.
        holder.letGo();
        EXPECT_EQ(xtr_lock_buf(), 0);
        EXPECT_EQ(xtr_unlock_buf(), 0);
#else
        // xtr_lock_buf waits on through interruptions until it holds the lock.
        const pid_t self = getpid();
        const unsigned lock = h->uBufferLock;
        pid_t interrupter = spawn([&] {
            for (int i = 1; i <= 3; i++) {
                ASSERT_TRUE(waitUntil([&] { return semZeroWaiters(lock) == 1; }));
                kill(self, SIGALRM);
                ASSERT_TRUE(waitUntil([&] { return alarms->load() == i; }));
            }
            holder.letGo();
        });
        EXPECT_EQ(xtr_lock_buf(), 0);
        EXPECT_EQ(alarms->load(), 3);
        EXPECT_EQ(semValue(lock), 1);
        EXPECT_EQ(xtr_unlock_buf(), 0);
        EXPECT_TRUE(exitedCleanly(reap(interrupter)));
#endif
        EXPECT_TRUE(holder.endedCleanly());
        xtr_trace("XRECTSTF: after the holder let go");
        EXPECT_EQ(privateRingTexts(), (Texts{"XRECTSTF: while the lock is held", "XRECTSTF: after the holder let go"}));
        EXPECT_EQ(sharedTexts().back(), "XRECTSTF: after the holder let go");
        EXPECT_EQ(h->lost_msg, lost + 1);  // the missed entry, counted once the lock was back
        EXPECT_EQ(h->count, count + 2);
    });
}

// Another program's private semaphore, named in the header by a local user:
// neither the trace calls nor the lock and event calls operate on it.
TEST(HostileUser, ForeignSemaphoreIdsInTheHeaderAreNeverUsed) {
    isolated([] {
        xtr_trace("XHOSTILF: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        const unsigned lock = h->uBufferLock, event = h->uEventSem;
        const int foreign = semget(IPC_PRIVATE, 1, 0600);  // root's own, held
        ASSERT_GE(foreign, 0);
        ASSERT_EQ(semctl(foreign, 0, SETVAL, 1), 0);
        asNobodyOnHeader([&](TRACE_HDR *w) {
            w->uBufferLock = static_cast<uint32_t>(foreign);
            w->uEventSem = static_cast<uint32_t>(foreign);
            w->pid = getpid();  // a reader to post for
            w->cont = 1;
            w->count = 500;
        });
        for (int i = 0; i < 5; i++) xtr_trace("XHOSTILF: call %d", i);
        EXPECT_EQ(sharedTexts().back(), "XHOSTILF: call 4");  // the real lock was taken
        EXPECT_EQ(semValue(event), 0);  // and the real event posted
        EXPECT_EQ(xtrResetEventSem(), 0);
        EXPECT_EQ(semValue(event), 1);
        EXPECT_EQ(xtr_lock_buf(), 0);
        EXPECT_EQ(semValue(lock), 1);
        EXPECT_EQ(xtr_unlock_buf(), 0);
        xtr_dump_bytes("XHOSTILF:", "abcd", 4);
        EXPECT_EQ(semValue(foreign), 1);
        EXPECT_EQ(semValue(lock), 0);
        EXPECT_EQ(h->uBufferLock, static_cast<uint32_t>(foreign));  // left as written, only reported
        semctl(foreign, 0, IPC_RMID);
    });
}

// A local user holds the buffer lock for good.  A process pays one bounded
// wait; its later trace calls and dumps go to its own ring without waiting,
// count what the shared ring missed, and share again once the lock is free.
TEST(HostileUser, AHeldLockCostsOneBoundedWait) {
    isolated([] {
        xtr_trace("XHOSTILF: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        LockHolder holder(true);
        clearPrivateRing();
        const uint32_t count = h->count, lost = h->lost_msg;
        for (int i = 0; i < 20; i++) xtr_trace("XHOSTILF: call %d", i);
        xtr_dump_bytes("XHOSTILF:", "0123456789abcdef0123456789abcdef0123", 36);  // two lines
        xtr_trace("XHOSTILD: unselected");
        EXPECT_EQ(lockWaitsRunOut(), 1u);  // the first call only
        EXPECT_EQ(privateRingTexts().size(), 23u);
        EXPECT_EQ(h->count, count);
        char buf[4096];
        SPRET rc = 0;
        EXPECT_EQ(xtr_fetch_pid(buf, sizeof buf, &rc), 0);  // the own ring needs no shared lock
        EXPECT_EQ(std::string(buf).substr(36), "XHOSTILF: call 0");

        holder.letGo();
        EXPECT_TRUE(holder.endedCleanly());
        xtr_trace("XHOSTILF: lock free again");
        EXPECT_EQ(sharedTexts().back(), "XHOSTILF: lock free again");
        EXPECT_EQ(h->lost_msg, lost + 22);
        EXPECT_EQ(h->count, count + 23);
        EXPECT_EQ(lockWaitsRunOut(), 1u);
    });
}

// The pause fields written by a local user cost nothing without a reader
// that keeps reading; a header left uninitialised costs one start-up wait
// per process, not one per call.
TEST(HostileUser, HeaderFieldsNeitherPauseNorStallCallers) {
    isolated([] {
        // An uninitialised segment with a wrong eyecatcher under the key.
        const pid_t planter =
            spawnAsNobody([] { ASSERT_GE(shmget(XTR_SHM_KEY, sizeof(TRACE_HDR), IPC_CREAT | IPC_EXCL | 0666), 0); });
        ASSERT_TRUE(exitedCleanly(reap(planter)));
        const pid_t victim = spawn([] {
            StdoutCapture out;
            for (int i = 0; i < 5; i++) xtr_trace("XHOSTILF: call %d", i);
            const std::string said = out.take();
            EXPECT_EQ(initialisationWaits(), 1u);
            size_t messages = 0;
            for (size_t at = 0; (at = said.find("Opened an incorrect shared memory buffer", at)) != std::string::npos;
                 at++) {
                messages++;
            }
            EXPECT_EQ(messages, 5u);  // every call still tries to arm
        });
        EXPECT_TRUE(exitedCleanly(reap(victim)));
        ASSERT_EQ(shmctl(shmget(XTR_SHM_KEY, 0, 0), IPC_RMID, nullptr), 0);

        xtr_trace("XHOSTILF: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        asNobodyOnHeader([](TRACE_HDR *w) {
            w->pid = 1;  // a process that exists, and never reads
            w->cont = 1;
            w->priority = 1;
            w->count = 5000;
        });
        const unsigned pauses = readerPauses();
        for (int i = 0; i < 300; i++) xtr_trace("XHOSTILF: call %d", i);
        EXPECT_EQ(readerPauses(), pauses);
        EXPECT_EQ(h->cont, 1);  // still posted for; only a reader's own tools unregister it
        // The same fields with a reader that takes entries now and then.
        for (int i = 0; i < 100; i++) {
            if (i % 20 == 0) {
                h->count = 300;
                h->cont_running++;
            }
            xtr_trace("XHOSTILF: read %d", i);
        }
        EXPECT_GT(readerPauses(), pauses);
    });
}

// Damage written by a local user makes the facility print its repair
// messages.  With standard output a closed pipe or a pipe nobody reads, the
// tracing program neither dies of SIGPIPE nor blocks, and its stream shows
// no error.
TEST(HostileUser, DiagnosticsNeverKillOrBlockTheCaller) {
    isolated([] {
        xtr_trace("XHOSTILF: arm");
        ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
        int closed[2], full[2];
        ASSERT_EQ(pipe(closed), 0);
        ASSERT_EQ(pipe(full), 0);
        close(closed[0]);
        ASSERT_EQ(fcntl(full[1], F_SETFL, O_NONBLOCK), 0);
        while (write(full[1], "0123456789abcdef", 16) > 0) {
        }
        ASSERT_EQ(fcntl(full[1], F_SETFL, 0), 0);  // a program's own, blocking
        std::fflush(stdout);
        const int saved = dup(1);
        for (int out : {closed[1], full[1]}) {
            dup2(out, 1);
            for (int i = 0; i < 3; i++) {
                asNobodyOnHeader([](TRACE_HDR *w) { w->end = 70000; });
                errno = EXDEV;
                xtr_trace("XHOSTILF: after damage %d", i);
                EXPECT_EQ(errno, EXDEV);
            }
            EXPECT_EQ(sharedTexts().back(), "XHOSTILF: after damage 2");
            EXPECT_EQ(std::ferror(stdout), 0);
            sigset_t pending;
            sigpending(&pending);
            EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
        }
        dup2(saved, 1);
        close(saved);
    });
}

TEST(Recording, HolderKilledWithTheLockReleasesIt) {
    isolated([] {
        xtr_trace("XRECTSTF: arm");
        const unsigned lock = xtr_get_hdr()->uBufferLock;
        LockHolder holder;
        EXPECT_EQ(semValue(lock), 1);
        EXPECT_TRUE(holder.killed());
        EXPECT_EQ(semValue(lock), 0);
        xtr_trace("XRECTSTF: after the holder died");
        EXPECT_EQ(sharedTexts().back(), "XRECTSTF: after the holder died");
    });
}

// The application's own fault handlers, which recover by jumping back.
sigjmp_buf appJump;
volatile sig_atomic_t appFaults = 0, appSignal = 0;
void *volatile appAddress = nullptr;
void appHandler(int sig) {
    appFaults = appFaults + 1;
    appSignal = sig;
    siglongjmp(appJump, 1);
}
void appInfoHandler(int sig, siginfo_t *info, void *) {
    appAddress = info->si_addr;
    appHandler(sig);
}

void install(int sig, bool withInfo) {
    struct sigaction sa {};
    if (withInfo) {
        sa.sa_sigaction = appInfoHandler;
        sa.sa_flags = SA_SIGINFO;
    } else {
        sa.sa_handler = appHandler;
    }
    ASSERT_EQ(sigaction(sig, &sa, nullptr), 0);
}

void *currentAction(int sig) {
    struct sigaction sa {};
    sigaction(sig, nullptr, &sa);
    return reinterpret_cast<void *>(sa.sa_handler);
}

// Reads an address that faults: true when the application's handler took it.
bool faultReachesTheApplication(const void *addr) {
    const int before = appFaults;
    if (sigsetjmp(appJump, 1) == 0) {
        (void)*static_cast<const volatile char *>(addr);
        return false;
    }
    return appFaults == before + 1;
}

// A page that cannot be read (SIGSEGV) and one beyond the end of its file (SIGBUS).
struct BadPages {
    void *none = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void *bus = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, memfd_create("empty", 0), 0);
};

std::string hex16(const void *p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016lX", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

TEST(Recording, BadPointersAreReportedAndTheApplicationHandlersComeBack) {
#ifdef XTR_UNDER_TSAN
    // The sanitizer delivers a fault through a handler of its own that blocks
    // every signal; the trace call's jump back unblocks only the one that
    // trapped, so the next fault of another kind would end the process.
    GTEST_SKIP() << "a trapped fault leaves other signals blocked under the thread sanitizer";
#endif
    isolated([] {
        BadPages bad;
        ASSERT_NE(bad.none, MAP_FAILED);
        ASSERT_NE(bad.bus, MAP_FAILED);
        install(SIGSEGV, false);
        install(SIGBUS, false);
        errno = EXDEV;
        traceUnchecked(reinterpret_cast<const char *>(1));
        traceUnchecked(static_cast<const char *>(bad.none));
        xtr_trace("XRECTSTF: name=%s", static_cast<const char *>(bad.none));
        xtr_trace("XRECTSTF: name=%s", static_cast<const char *>(bad.bus));  // SIGBUS, trapped alike
        xtr_trace("XRECTSTT: -> %s", static_cast<const char *>(bad.none));  // never formatted
        EXPECT_EQ(errno, EXDEV);
        const Texts reports = {
            "XTR    F:#### BAD TRACE ENTRY POINTER [0000000000000001] !!!!!",
            "XTR    F:#### BAD TRACE ENTRY POINTER [" + hex16(bad.none) + "] !!!!!",
            "XTR    F:#### INVALID POINTER PASSED TO xtr_trace",
            "XTR    F:#### INVALID POINTER PASSED TO xtr_trace",
            "XRECTSTT: -> %s",
        };
        EXPECT_EQ(privateRingTexts(), reports);
        EXPECT_EQ(sharedTexts(), reports);

        // Outside a trace call, faults are the application's again.
        EXPECT_EQ(currentAction(SIGSEGV), reinterpret_cast<void *>(appHandler));
        EXPECT_TRUE(faultReachesTheApplication(bad.none));
        EXPECT_EQ(appSignal, SIGSEGV);
        EXPECT_TRUE(faultReachesTheApplication(bad.bus));
        EXPECT_EQ(appSignal, SIGBUS);

        // A SIGSEGV action installed between trace calls does not stop a
        // trace call from trapping its own faults.  (The SIGBUS trap stays in
        // place from the first call on; an action installed later takes it over.)
        signal(SIGSEGV, SIG_DFL);
        clearPrivateRing();
        xtr_trace("XRECTSTF: name=%s", static_cast<const char *>(bad.none));
        EXPECT_EQ(privateRingTexts(), Texts{"XTR    F:#### INVALID POINTER PASSED TO xtr_trace"});
    });
}

// Runs fault() on a second thread while the main thread sits inside a trace
// call, blocked on the buffer lock that the second thread holds, so that the
// trap handler is in force for the whole process.
void faultWhileTheMainThreadTraces(int sig, void *previous, const std::function<void()> &fault) {
    const unsigned lock = xtr_get_hdr()->uBufferLock;
    std::atomic<bool> locked{false}, done{false};
    std::thread faulter([&] {
        EXPECT_EQ(xtr_lock_buf(), 0);
        locked = true;
        EXPECT_TRUE(waitUntil([&] { return semZeroWaiters(lock) == 1 && currentAction(sig) != previous; }));
        fault();
        done = true;
        EXPECT_EQ(xtr_unlock_buf(), 0);
    });
    EXPECT_TRUE(waitUntil([&] { return locked.load(); }));
    while (!done) xtr_trace("XRECTSTF: waiting for the lock");
    faulter.join();
}

TEST(Recording, AnotherThreadsFaultGoesToThePreviousAction) {
    isolated([] {
        BadPages bad;
        install(SIGBUS, true);
        xtr_trace("XRECTSTF: arm");
        faultWhileTheMainThreadTraces(SIGBUS, reinterpret_cast<void *>(appInfoHandler), [&] {
            EXPECT_TRUE(faultReachesTheApplication(bad.bus));
            EXPECT_EQ(appSignal, SIGBUS);
            EXPECT_EQ(appAddress, bad.bus);
        });

        // An ignored fault ends the process as the default action does.
        pid_t victim = spawn([&] {
            rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            signal(SIGSEGV, SIG_IGN);
            faultWhileTheMainThreadTraces(SIGSEGV, reinterpret_cast<void *>(SIG_IGN),
                                          [&] { (void)*static_cast<const volatile char *>(bad.none); });
            ADD_FAILURE() << "survived its own fault";
        });
        const int ws = reap(victim);
        EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGSEGV) << "wait status " << ws;
        xtr_trace("XRECTSTF: after the victim");  // its lock went with it
        EXPECT_EQ(sharedTexts().back(), "XRECTSTF: after the victim");
    });
}

TEST(Recording, ManyProcessesAndThreadsAtOnce) {
    isolated([] {
        constexpr int kProcs = 4, kThreads = 4, kCalls = 400;
        int *wasRunning = sharedArray<int>(kProcs);
        const std::vector<pid_t> pids = startWriters(
            kProcs, kThreads,
            [](int p, int t) {
                for (int i = 0; i < kCalls; i++) xtr_trace("XMANYPRF: p%d t%d i%d end", p, t, i);
            },
            [&](int p) {
                wasRunning[p] = xtr_was_trace_running();
                for (const Entry &e : checkedEntries(xtr_hdrP.begin, xtr_hdrP.end, xtr_hdrP.pbuffer, XTR_P_RING_SIZE)) {
                    EXPECT_EQ(e.head.pid, static_cast<uint32_t>(getpid()));
                    EXPECT_EQ(e.text.find("XMANYPRF: p" + std::to_string(p) + " "), 0u) << e.text;
                }
            });
        for (pid_t pid : pids) EXPECT_TRUE(exitedCleanly(reap(pid)));
        int creators = 0;
        for (int p = 0; p < kProcs; p++) creators += wasRunning[p] == 0;
        EXPECT_EQ(creators, 1);

        xtr_trace("XMANYPRF: reader");
        auto all = sharedEntries();
        ASSERT_GT(all.size(), 1000u);
        EXPECT_EQ(all.back().text, "XMANYPRF: reader");
        all.pop_back();
        std::map<std::pair<int, int>, int> lastCall;
        std::map<std::pair<int, int>, uint32_t> tidOf;
        for (const Entry &e : all) {
            int p = -1, t = -1, i = -1;
            char tail[4] = {};
            ASSERT_EQ(std::sscanf(e.text.c_str(), "XMANYPRF: p%d t%d i%d %3s", &p, &t, &i, tail), 4) << e.text;
            EXPECT_STREQ(tail, "end");
            ASSERT_TRUE(p >= 0 && p < kProcs && t >= 0 && t < kThreads) << e.text;
            EXPECT_EQ(e.head.pid, static_cast<uint32_t>(pids[p]));
            EXPECT_NE(e.head.tid, e.head.pid);  // stamped by a thread of its own
            auto key = std::make_pair(p, t);
            auto [it, fresh] = tidOf.emplace(key, e.head.tid);
            EXPECT_EQ(it->second, e.head.tid);
            if (!fresh) {
                EXPECT_GT(i, lastCall[key]) << e.text;  // each thread's entries in order
            }
            lastCall[key] = i;
        }
        EXPECT_EQ(xtr_get_hdr()->count, static_cast<uint32_t>(kProcs * kThreads * kCalls + 1));
    });
}

TEST(Recording, GarbageInTheHeaderNeverCrashesOrHangs) {
    isolated([] {
        xtr_trace("XGARBAGD: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        constexpr uint32_t R = XTR_RING_SIZE;
        std::mt19937 rng(0x96728001u);
        auto offset = [&] { return rng() % 4 == 0 ? static_cast<uint32_t>(rng()) : rng() % (R + 1); };
        auto scribble = [&](void *p, size_t n) {
            for (size_t i = 0; i < n; i++) static_cast<unsigned char *>(p)[i] = static_cast<unsigned char>(rng());
        };
        auto newestIs = [](const unsigned char *buf, uint32_t end, const std::string &text) {
            const auto L = static_cast<uint32_t>(text.size() + XTR_MSG_OVERHEAD);
            if (end < L) return false;
            uint16_t length;
            std::memcpy(&length, buf + end - L, 2);
            return length == L && text == reinterpret_cast<const char *>(buf + end - L + XTR_MSG_HDR_LEN);
        };
        StdoutCapture out;  // the repairs are reported
        for (int i = 0; i < 5000; i++) {
            const unsigned what = rng();
            if (what & 1) {
                h->begin = offset();
                h->end = offset();
                h->oldest = rng();
            }
            if (what & 2) scribble(h->type, sizeof h->type);
            if (what & 4) scribble(h->template_length, sizeof h->template_length);
            if (what & 8) scribble(h->template_, sizeof h->template_);
            if (what & 16) {
                for (auto &all : h->trace_all) all = rng() % 2;
            }
            for (int k = 0; (what & 32) && k < 16; k++) {
                const auto v = static_cast<uint16_t>(rng());
                std::memcpy(h->pbuffer + rng() % (R + 1), &v, 2);
            }
            if ((what & 64) && h->begin <= R) {
                const auto v = static_cast<uint16_t>(rng());
                std::memcpy(h->pbuffer + h->begin, &v, 2);
            }
            if (what & 128) {
                h->cont = static_cast<uint16_t>(rng());
                h->pid = rng() % 2 ? 0 : getpid();
                h->count = rng();
                h->priority = static_cast<char>(rng() % 2);
            }
            const uint32_t count = h->count;
            const std::string text = "XGARBAGF: iteration " + std::to_string(i);
            xtr_trace("XGARBAGF: iteration %d", i);
            ASSERT_TRUE(newestIs(xtr_hdrP.pbuffer, xtr_hdrP.end, text)) << i;
            if (h->count != count) {  // it went to the shared ring too
                ASSERT_LE(h->begin, R) << i;
                ASSERT_LE(h->end, R) << i;
                ASSERT_NE(h->begin, h->end) << i;
                ASSERT_TRUE(newestIs(h->pbuffer, h->end, text)) << i;
            }
        }
        std::istringstream lines(out.take());
        int ends = 0, begins = 0, lengths = 0;
        for (std::string line; std::getline(lines, line);) {
            int a, b;
            char more;
            if (std::sscanf(line.c_str(), "Invalid pxtr_hdr->begin=%d + p->length=%d%c", &a, &b, &more) == 2) {
                lengths++;
            } else if (std::sscanf(line.c_str(), "Invalid pxtr_hdr->begin=%d%c", &a, &more) == 1) {
                begins++;
            } else if (std::sscanf(line.c_str(), "Invalid pxtr_hdr->end=%d%c", &a, &more) == 1) {
                ends++;
            } else {
                ADD_FAILURE() << "unexpected output: " << line;
            }
        }
        EXPECT_GT(ends, 0);
        EXPECT_GT(begins, 0);
        EXPECT_GT(lengths, 0);
    });
}

// Threads hand the buffer lock on between their sections, and the lock
// stays held while xtr_mutex_sem is free between them.  A program that
// takes the mutex then, and the buffer lock after it (the locking order),
// must still get it: a wait that never ends is cut short by the alarm.
TEST(Recording, ProgramTakingTheBufferLockUnderTheTraceMutexWhileThreadsTrace) {
    isolated([] {
        xtr_trace("XRECTSTF: arm");
        std::atomic<bool> stop{false};
        auto write = [&] {
            while (!stop.load()) xtr_trace("XRECTSTF: writer");
        };
        std::thread a(write), b(write);
        alarm(30);
        // Until the mutex was found free with the lock kept a few times (a
        // race the writers usually lose within some thousand rounds).
        for (int i = 0, kept = 0; i < 200000 && kept < 5; i++) {
            pthread_mutex_lock(&xtr_mutex_sem);
            kept += semValue(static_cast<unsigned>(lockSetId())) == 1;
            EXPECT_EQ(xtr_lock_buf(), 0);
            EXPECT_EQ(xtr_unlock_buf(), 0);
            pthread_mutex_unlock(&xtr_mutex_sem);
        }
        alarm(0);
        stop = true;
        a.join();
        b.join();
        EXPECT_EQ(semValue(static_cast<unsigned>(lockSetId())), 0);
    });
}

}  // namespace
}  // namespace xtr::testing
