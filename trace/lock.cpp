// The buffer lock and the event semaphore.  The ids of both sets are the
// ones found under the facility's keys when the process armed, never the
// ids written in the header: the segment is writable by every local user,
// and an id read from it could name another program's private semaphore.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "facility.h"
#include "kbvdtrac.h"

namespace xtr {
namespace {

// How long a trace call waits for the buffer lock before it gives up.
constexpr time_t kLockWaitSeconds = 2;

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

bool lockShared(int *lockId) noexcept {
    *lockId = lockSetId();
    sembuf ops[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    timespec wait{kLockWaitSeconds, 0};
    int rc;
    do {
        rc = semtimedop(*lockId, ops, 2, &wait);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

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
