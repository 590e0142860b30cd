// The buffer lock and the event semaphore.  The ids of both sets are the
// ones found under the facility's keys when the process armed, never the
// ids written in the header: the segment is writable by every local user,
// and an id read from it could name another program's private semaphore.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "facility.h"
#include "kbvdtrac.h"

namespace xtr {
namespace {

// How long a trace call waits for the buffer lock before it gives up.
constexpr time_t kLockWaitSeconds = 2;
// After a wait that ran out, how long the process only tries the lock
// without waiting, unless it finds the lock free sooner.
constexpr time_t kStuckSeconds = 60;

// The process's view of the buffer lock.  Guarded by xtr_mutex_sem: every
// caller of lockShared() holds it.
struct LockHealth {
    bool stuck = false;  // a wait ran out; only try without waiting
    timespec since{};  // when it ran out
    uint32_t missed = 0;  // selected entries the shared ring did not get meanwhile
    unsigned waitsRunOut = 0;  // bounded waits that ran out, ever
} health;

timespec now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return t;
}

// Contention: a holder keeps the lock for about a microsecond.  Blocking in
// the kernel at once would hand the lock over on every release (the kernel
// completes the sleeper's operation and wakes it), so every call would pay a
// sleep and a wake-up.  A waiter first tries a bounded number of times
// without waiting, then yields the processor between tries (the holder may
// be waiting for it), and only then blocks.
constexpr int kTries = 40;
constexpr int kYieldingTries = 20;

// One attempt that never waits.
bool tryOnce(int id) {
    sembuf ops[2] = {{0, 0, IPC_NOWAIT}, {0, 1, SEM_UNDO | IPC_NOWAIT}};
    int rc;
    do {
        rc = semop(id, ops, 2);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Tries, then yields, then waits for the lock up to kLockWaitSeconds in
// all, signals or not.  False with errno EAGAIN when the wait ran out.
bool waitBounded(int id) {
    for (int i = 0; i < kTries + kYieldingTries; i++) {
        if (tryOnce(id)) return true;
        if (errno != EAGAIN) return false;
        if (i >= kTries) sched_yield();
    }
    sembuf ops[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kLockWaitSeconds;
    for (;;) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        timespec left{deadline.tv_sec - t.tv_sec, deadline.tv_nsec - t.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_sec--;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec < 0) {
            errno = EAGAIN;
            return false;
        }
        if (semtimedop(id, ops, 2, &left) == 0) return true;
        if (errno != EINTR) return false;
    }
}

std::atomic<int> lockSet{-1};
std::atomic<int> eventSet{-1};

union my_semun {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
    struct seminfo *__buf;
};

constexpr int kSemPosted = 0;  // event values
constexpr int kSemReset = 1;

int semopRetrying(int id, sembuf *ops, size_t n) {
    int rc;
    do {
        rc = semop(id, ops, n);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// The lock and event calls need an armed process.
int notArmed() {
    errno = EINVAL;
    return -1;
}

int setEvent(int value) {
    if (header() == nullptr) return notArmed();
    my_semun arg{};
    arg.val = value;
    return semctl(eventSet.load(std::memory_order_relaxed), 0, SETVAL, arg);
}

}  // namespace

int semaphoreSetByKey(key_t key) noexcept { return semget(key, 1, 0); }

void adoptSemaphoreSets(int lock, int event) noexcept {
    lockSet.store(lock, std::memory_order_relaxed);
    eventSet.store(event, std::memory_order_relaxed);
}

int lockSetId() noexcept { return lockSet.load(std::memory_order_relaxed); }

int eventSetId() noexcept { return eventSet.load(std::memory_order_relaxed); }

namespace {

// The buffer lock kept from one section for the next.  `keptHeld` is
// cleared by exactly one party: the section that takes the lock over, the
// section end that releases it, or the keeper that waited in vain for a
// taker (an exchange decides).  The rest is guarded by xtr_mutex_sem.
std::atomic<bool> keptHeld{false};
int sectionEnds = 0;  // section ends the current hold has outlived
// Section ends that keep nothing, after a keeper waited in vain.
std::atomic<int> keepingPaused{0};

// How long a keeper waits for another thread to take xtr_mutex_sem: about
// 35 us of looks, with a yield now and then for a taker without a processor.
constexpr int kTakeOverLooks = 2048, kTakeOverYieldEvery = 256, kPauseAfterVainWait = 64;

}  // namespace

void keepShared() noexcept { keptHeld.store(true, std::memory_order_relaxed); }

bool settleShared(unsigned *takesAtKeep) noexcept {
    if (!keptHeld.load(std::memory_order_relaxed)) return false;
    // Kept only for a waiter that the coming unlock lets in: not while the
    // program itself goes on holding xtr_mutex_sem around the call, nor for
    // a waiter asleep in the kernel.
    const bool freesMutex = xtr_mutex_sem.__data.__count == 1;
    const bool spinning =
        traceMutexWaiters.load(std::memory_order_relaxed) > traceMutexSleepers.load(std::memory_order_relaxed);
    const int paused = keepingPaused.load(std::memory_order_relaxed);
    if (paused > 0) keepingPaused.store(paused - 1, std::memory_order_relaxed);
    if (freesMutex && spinning && paused == 0 && ++sectionEnds < kCarriedSections) {
        *takesAtKeep = traceMutexTakes.load(std::memory_order_relaxed);
        return true;
    }
    if (keptHeld.exchange(false, std::memory_order_relaxed)) unlockShared(lockSetId());
    return false;
}

void awaitTakeOver(unsigned takesAtKeep) noexcept {
    for (int i = 1; i <= kTakeOverLooks; i++) {
        // Another thread took the mutex: its section's end settles the lock.
        if (traceMutexTakes.load(std::memory_order_relaxed) != takesAtKeep) return;
        if (i % kTakeOverYieldEvery == 0 || (i % 16 == 0 && traceMutexWaiters.load(std::memory_order_relaxed) >=
                                                                onlineProcessors.load(std::memory_order_relaxed)))
            sched_yield();
        else __builtin_ia32_pause();
    }
    // The waiter did not come (held up in a signal handler, say, or the
    // program took the mutex itself): release, and keep nothing for a while.
    if (keptHeld.exchange(false, std::memory_order_relaxed)) {
        unlockShared(lockSetId());
        keepingPaused.store(kPauseAfterVainWait, std::memory_order_relaxed);
    }
}

void forgetKeptShared() noexcept {
    keptHeld.store(false, std::memory_order_relaxed);
    sectionEnds = 0;
}

bool lockShared(int *lockId) noexcept {
    if (keptHeld.exchange(false, std::memory_order_relaxed)) {
        *lockId = lockSetId();
        return true;
    }
    sectionEnds = 0;
    const int id = lockSetId();
    *lockId = id;
    bool locked;
    if (health.stuck && now().tv_sec - health.since.tv_sec < kStuckSeconds) {
        locked = tryOnce(id);
    } else {
        locked = waitBounded(id);
        if (!locked && errno == EAGAIN) {
            health.waitsRunOut++;
            health.stuck = true;
            health.since = now();
        }
    }
    if (!locked) return false;
    health.stuck = false;
    if (health.missed != 0) {
        // What the shared ring missed counts as lost, and as written, so
        // that count stays the entries held plus lost_msg.
        TRACE_HDR *h = header();
        h->lost_msg += health.missed;
        h->count += health.missed;
        health.missed = 0;
    }
    return true;
}

void noteMissedShared(uint32_t entries) noexcept { health.missed += entries; }

unsigned lockWaitsRunOut() noexcept { return health.waitsRunOut; }

void unlockShared(int lockId) noexcept {
    // Never waits: a lock value that someone else already set back to 0
    // must not block the release.
    sembuf op = {0, -1, SEM_UNDO | IPC_NOWAIT};
    (void)semopRetrying(lockId, &op, 1);
}

}  // namespace xtr

using namespace xtr;

extern "C" {

int xtr_lock_buf(void) {
    if (header() == nullptr) return notArmed();
    sembuf ops[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    return semopRetrying(lockSetId(), ops, 2) == 0 ? 0 : -1;
}

int xtr_unlock_buf(void) {
    if (header() == nullptr) return notArmed();
    sembuf op = {0, -1, SEM_UNDO | IPC_NOWAIT};  // releasing a free lock fails at once, never blocks
    return semopRetrying(lockSetId(), &op, 1) == 0 ? 0 : -1;
}

int xtrPostEventSem(void) { return setEvent(kSemPosted); }

int xtrResetEventSem(void) { return setEvent(kSemReset); }

int xtrWaitEventSem(void) {
    if (header() == nullptr) return notArmed();
    sembuf op = {0, 0, 0};
    return semop(eventSetId(), &op, 1) == 0 ? 0 : -1;
}

}  // extern "C"
