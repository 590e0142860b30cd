// State of the trace facility shared by its pieces (arming, recording,
// guarded sections).  Internal.
#pragma once

#include <sys/types.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstring>

#include "kbvdtequ.h"
#include "kbvdtrac.h"

namespace xtr {

// --- messages (diagnostic.cpp) ---

// Prints one of the facility's messages on standard output without ever
// blocking or ending the caller (no SIGPIPE) and without touching its stdio
// stream; a message that cannot be written at once is dropped.  Preserves
// errno.
void diagnostic(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));

// --- arming (arming.cpp) ---

// Attaches the shared buffer, creating and initialising it when this is the
// first process of the machine.  0 when armed; otherwise the negated errno
// of the failed segment call, or -1 for a segment that is not a trace
// buffer.  Preserves errno.
int arm_trace() noexcept;

// Waits for a creator to finish initialising made by this process: at most
// one in its life (for tests).
unsigned initialisationWaits() noexcept;

// True once this process has armed; never cleared.
bool isArmed() noexcept;

// The attached header; meaningful only when armed.
TRACE_HDR *header() noexcept;

// --- the buffer lock and the event semaphore (lock.cpp) ---

// The set under a facility key (found, never created), or -1.
int semaphoreSetByKey(key_t key) noexcept;

// The sets this process operates on: found or created under the keys at
// arming.  Ids written in the header are never used.
void adoptSemaphoreSets(int lock, int event) noexcept;
int lockSetId() noexcept;
int eventSetId() noexcept;

// Takes the buffer lock, giving up after a bounded wait so that a process
// that holds it forever cannot hang a trace call.  A wait that ran out
// costs the process once: for a while after it, the lock is only tried
// without waiting, until it is found free.  On success *lockId is the set
// that must be released with unlockShared().  The caller holds
// xtr_mutex_sem.
bool lockShared(int *lockId) noexcept;
void unlockShared(int lockId) noexcept;

// Threads of one process hand the buffer lock on instead of releasing and
// taking it again: two system calls of the three a selected call makes.
// keepShared() keeps the lock lockShared() gave, for the section's end;
// there settleShared() keeps it once more while another thread of the
// process spins for xtr_mutex_sem (a sleeper would hold every other process
// up for its wake-up), at most kCarriedSections section ends in a row, and
// otherwise releases it.  The next lockShared() takes a kept lock over
// without a system call.  These callers hold xtr_mutex_sem.  A section end
// that kept the lock (settleShared() true) calls awaitTakeOver() once it
// has released the mutex: it waits, briefly, until another thread has taken
// the mutex, and otherwise releases the lock itself, so that a taker held
// up elsewhere never leaves it held.  A forked child does not hold its
// parent's lock (the kernel's undo record stays with the parent):
// forgetKeptShared() drops it there without releasing it.
constexpr int kCarriedSections = 16;
void keepShared() noexcept;
bool settleShared(unsigned *takesAtKeep) noexcept;
void awaitTakeOver(unsigned takesAtKeep) noexcept;
void forgetKeptShared() noexcept;

// Counts entries that were selected for the shared ring but not written
// because the lock could not be had; they are added to lost_msg (and
// count) once the lock is taken again.  The caller holds xtr_mutex_sem.
void noteMissedShared(uint32_t entries) noexcept;

// Bounded waits for the lock that ran out in this process (for tests).
unsigned lockWaitsRunOut() noexcept;

// --- selection (kbvdtrac.cpp) ---

// The criteria index of a criteria letter: T 0, F 1, D 2, L 3; -1 otherwise.
inline int criteriaIndex(char letter) noexcept {
    switch (letter) {
        case 'T':
            return 0;
        case 'F':
            return 1;
        case 'D':
            return 2;
        case 'L':
            return 3;
        default:
            return -1;
    }
}

// Selection of a trace point for the shared ring by the templates: 0
// selected, 1 not.  Stores strlen(text) in *length.  The text has at least
// 8 characters.
int pre_screen(const char *text, int *length) noexcept;

// --- guarded sections (guard.cpp) ---

// The fault-trap state.  Guarded by xtr_mutex_sem.
struct GuardState {
    volatile sig_atomic_t iTrap = 0;
    std::atomic<pid_t> pidThis{0};  // kernel id of the thread inside the section, 0 outside
    volatile sig_atomic_t trapSignal = 0;  // the signal that ended the section
    sigjmp_buf sigjmpenv;
    struct sigaction ck_sig;
    struct sigaction ck_oldsig;  // SIGSEGV before the section
    struct sigaction ck_oldbus;  // SIGBUS before the facility first trapped it
};
extern GuardState guard;
static_assert(std::atomic<pid_t>::is_always_lock_free, "the trap handler reads pidThis");

// Installs the trap handler for SIGSEGV (SIGBUS stays trapped once the first
// section has trapped it) and marks the calling
// thread as the one inside the section.  False when the handler could not be
// installed (nothing is then installed).  The caller holds xtr_mutex_sem and
// saves guard.sigjmpenv with sigsetjmp(..., 0) right after; the signal mask
// is not saved on every call, instead recoverFromTrap() unblocks the one
// signal that the handler's delivery blocked.
bool enterGuard() noexcept;

// Called once back at the jump point after a fault (guard.trapSignal set).
void recoverFromTrap() noexcept;

// Puts the previous actions back and clears the section's thread.
void leaveGuard() noexcept;

// The kernel id of the calling thread (async-signal-safe).
pid_t currentTid() noexcept;

enum class GuardResult { Done, Trapped, NotStarted };

// Threads of this process currently waiting in lockTraceMutex(), and those
// of them asleep in the kernel.
inline std::atomic<int> traceMutexWaiters{0};
inline std::atomic<int> traceMutexSleepers{0};
// How many times xtr_mutex_sem was taken through lockTraceMutex().
inline std::atomic<unsigned> traceMutexTakes{0};
inline std::atomic<long> onlineProcessors{0};

// Locks xtr_mutex_sem.  Threads of one process queue on it for every trace
// call, and a trace call is nearly all held time, so what matters is the
// cost of a hand-over:
// - A waiter asleep in the kernel costs the holder a wake-up on release and
//   itself a sleep: that halved what two threads record.  A waiter watches
//   the lock word instead, without writing it (no system call, no cache-line
//   traffic for the holder), and blocks only after about a third of a
//   millisecond.
// - Every hand-over moves the process's trace state to another processor.
//   A thread may therefore take the mutex again up to kStreak times in a row
//   while others wait; then it lets another thread take it first (waiting
//   at most as long as a waiter spins), so that nobody starves.
// - With more waiters than processors, the holder may be the one without a
//   processor: waiters then yield often instead of spinning.
// The holding thread itself (a nested section) never waits.
inline bool lockTraceMutex() noexcept {
    constexpr int kStreak = 8, kSpins = 16384, kYieldEvery = 1024, kCrowdedYieldEvery = 16;
    static thread_local int streak = 0;
    static thread_local unsigned lastTake = 0;
    if (__atomic_load_n(&xtr_mutex_sem.__data.__owner, __ATOMIC_RELAXED) == currentTid())
        return pthread_mutex_lock(&xtr_mutex_sem) == 0;
    auto took = [] {
        lastTake = traceMutexTakes.load(std::memory_order_relaxed) + 1;
        traceMutexTakes.store(lastTake, std::memory_order_relaxed);
        streak = traceMutexWaiters.load(std::memory_order_relaxed) == 0 ? 0 : streak + 1;
        return true;
    };
    // Not a function-local static: a fork while another thread initialises
    // one would leave the child waiting for that initialisation for ever.
    long processors = onlineProcessors.load(std::memory_order_relaxed);
    if (processors == 0) {
        processors = sysconf(_SC_NPROCESSORS_ONLN);
        onlineProcessors.store(processors, std::memory_order_relaxed);
    }
    auto pauseOrYield = [processors](int i) {
        if (i % kYieldEvery == 0 ||
            (i % kCrowdedYieldEvery == 0 && traceMutexWaiters.load(std::memory_order_relaxed) >= processors))
            sched_yield();
        else __builtin_ia32_pause();
    };
    if (traceMutexWaiters.load(std::memory_order_relaxed) == 0 || streak < kStreak) {
        if (pthread_mutex_trylock(&xtr_mutex_sem) == 0) return took();
    } else {
        for (int i = 1; i <= kSpins && traceMutexTakes.load(std::memory_order_relaxed) == lastTake &&
                        traceMutexWaiters.load(std::memory_order_relaxed) != 0;
             i++)
            pauseOrYield(i);
    }
    streak = 0;
    traceMutexWaiters.fetch_add(1, std::memory_order_relaxed);
    bool locked = false;
    for (int i = 1; i <= kSpins && !locked; i++) {
        if (__atomic_load_n(&xtr_mutex_sem.__data.__lock, __ATOMIC_RELAXED) == 0 &&
            pthread_mutex_trylock(&xtr_mutex_sem) == 0)
            locked = true;
        else pauseOrYield(i);
    }
    // A waiter asleep in the kernel still counts, so that others let it in.
    if (!locked) {
        traceMutexSleepers.fetch_add(1, std::memory_order_relaxed);
        locked = pthread_mutex_lock(&xtr_mutex_sem) == 0;
        traceMutexSleepers.fetch_sub(1, std::memory_order_relaxed);
    }
    traceMutexWaiters.fetch_sub(1, std::memory_order_relaxed);
    return locked && took();
}

// Runs work() in a guarded section under xtr_mutex_sem, then cleanup()
// (still inside, whether or not work() finished).  work() may end the
// section early as a fault does by setting guard.iTrap and returning.
// work() must not itself trace.  A section opened while the same thread is
// already inside one (a signal handler that traces, say) keeps the outer
// section's state intact.
//
// A fault inside work() returns to the section's start with siglongjmp,
// which skips the destructors of everything work() and its callees had
// built: hold nothing there that needs one (no owning types, no scoped
// locks), and keep what cleanup() and the caller read afterwards in
// volatile variables of the caller's frame (SharedWrite, say).
template <class Work, class Cleanup>
GuardResult runGuarded(Work &&work, Cleanup &&cleanup) noexcept {
    if (!lockTraceMutex()) return GuardResult::NotStarted;
    const bool nested = guard.pidThis != 0 && guard.pidThis == currentTid();
    struct Saved {
        sig_atomic_t iTrap, trapSignal;
        sigjmp_buf sigjmpenv;
        struct sigaction ck_oldsig;
    } outer;  // only filled when nested
    if (nested) {
        outer.iTrap = guard.iTrap;
        outer.trapSignal = guard.trapSignal;
        std::memcpy(outer.sigjmpenv, guard.sigjmpenv, sizeof outer.sigjmpenv);
        outer.ck_oldsig = guard.ck_oldsig;
    }
    GuardResult result = GuardResult::NotStarted;
    if (enterGuard()) {
        if (sigsetjmp(guard.sigjmpenv, 0) == 0) {
            work();
        } else {
            recoverFromTrap();
        }
        cleanup();
        leaveGuard();
        result = guard.iTrap ? GuardResult::Trapped : GuardResult::Done;
    }
    if (nested) {
        guard.iTrap = outer.iTrap;
        guard.trapSignal = outer.trapSignal;
        std::memcpy(guard.sigjmpenv, outer.sigjmpenv, sizeof outer.sigjmpenv);
        guard.ck_oldsig = outer.ck_oldsig;
        guard.pidThis = currentTid();
    }
    unsigned takesAtKeep = 0;
    const bool kept = !nested && settleShared(&takesAtKeep);
    pthread_mutex_unlock(&xtr_mutex_sem);
    if (kept) awaitTakeOver(takesAtKeep);
    return result;
}

}  // namespace xtr
