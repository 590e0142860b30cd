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

// The buffer lock kept from one section for the next.  Guarded by
// xtr_mutex_sem.
struct Kept {
    bool held = false;
    int id = -1;
    int sectionEnds = 0;  // section ends the current hold has outlived
} kept;

}  // namespace

void keepShared(int lockId) noexcept {
    kept.held = true;
    kept.id = lockId;
}

void settleShared() noexcept {
    if (!kept.held) return;
    // Kept only for a waiter that the coming unlock lets in: not while the
    // program itself goes on holding xtr_mutex_sem around the call.
    const bool freesMutex = xtr_mutex_sem.__data.__count == 1;
    const bool spinning =
        traceMutexWaiters.load(std::memory_order_relaxed) > traceMutexSleepers.load(std::memory_order_relaxed);
    if (freesMutex && spinning && ++kept.sectionEnds < kCarriedSections) return;
    kept.held = false;
    unlockShared(kept.id);
}

void forgetKeptShared() noexcept { kept = Kept{}; }

bool lockShared(int *lockId) noexcept {
    if (kept.held) {
        kept.held = false;
        *lockId = kept.id;
        return true;
    }
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
    kept.sectionEnds = 0;
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
