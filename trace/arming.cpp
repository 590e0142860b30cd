// Arming: creating or attaching the machine-wide trace buffer and its two
// semaphore sets, the derivation of the selection fields from the
// templates, and the small calls on the lock and event semaphores.
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "facility.h"
#include "kbvdtrac.h"

namespace xtr {
namespace {

// Creating the segment and the semaphore sets, and opening the segment that
// exists, with the documented flag values.
constexpr int kCreateFlags = IPC_CREAT | IPC_EXCL | 0666;
constexpr int kOpenFlags = IPC_CREAT | 0666;
static_assert(kCreateFlags == 0x7B6 && kOpenFlags == 0x3B6, "the documented flag values");
constexpr size_t kSegmentSize = sizeof(TRACE_HDR);
constexpr char kEyecatcher[] = "TRACE BUFFER";
static_assert(sizeof kEyecatcher == 13);

// How long an attacher waits for the creator to finish initialising.
constexpr int kInitWaitMs = 500;
union my_semun {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
    struct seminfo *__buf;
};

pthread_mutex_t threadLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> armed{false};
std::atomic<TRACE_HDR *> pxtr_hdr{nullptr};
int xtr_TraceWasRunning = 0;
std::atomic<unsigned long> ulMyPID{0};

// Fork at any moment: both mutexes are taken around fork, in the locking
// order, so the child never inherits one held by a thread it does not have.
// The child starts them afresh (a recursive mutex records its owner's
// thread id, which is not the child's) and records under its own pid.
void prepareFork() {
    pthread_mutex_lock(&threadLock);
    pthread_mutex_lock(&xtr_mutex_sem);
}

void parentAfterFork() {
    pthread_mutex_unlock(&xtr_mutex_sem);
    pthread_mutex_unlock(&threadLock);
}

void childAfterFork() {
    // Released as taken (this also tells a thread checker), then started
    // afresh: the release of the recursive mutex may be refused, as its
    // recorded owner is the parent's thread id.
    pthread_mutex_unlock(&xtr_mutex_sem);
    pthread_mutex_unlock(&threadLock);
    const pthread_mutex_t recursive = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    const pthread_mutex_t plain = PTHREAD_MUTEX_INITIALIZER;
    std::memcpy(&xtr_mutex_sem, &recursive, sizeof recursive);
    std::memcpy(&threadLock, &plain, sizeof plain);
    traceMutexWaiters.store(0, std::memory_order_relaxed);  // the waiters stayed behind
    traceMutexSleepers.store(0, std::memory_order_relaxed);
    forgetKeptShared();  // the parent's lock, not the child's
    if (armed.load(std::memory_order_relaxed))
        ulMyPID.store(static_cast<unsigned long>(getpid()), std::memory_order_relaxed);
}

__attribute__((constructor)) void registerForkHandlers() {
    (void)pthread_atfork(prepareFork, parentAfterFork, childAfterFork);
}

// Creates one semaphore set exclusively.  A set that received the id 0 is
// removed and created again.  A set left under the key by an earlier
// buffer is taken over rather than left to make every lock fail.
uint32_t createSemaphoreSet(key_t key, bool event) {
    int id = semget(key, 1, kCreateFlags);
    if (id == 0) {
        my_semun arg{};
        if (semctl(0, 0, IPC_RMID, arg) != 0) {
            if (event) {
                diagnostic("Error deleting event semaphore (errno=%d %s)", errno, std::strerror(errno));
            } else {
                diagnostic("Error deleting semaphore (errno=%d %s)", errno, std::strerror(errno));
            }
        } else {
            id = semget(key, 1, kCreateFlags);
        }
    }
    if (id < 0 && errno == EEXIST) id = semget(key, 1, kOpenFlags);
    if (id < 0) {
        if (event) {
            diagnostic("Error obtaining event semaphore (errno=%d %s)", errno, std::strerror(errno));
        } else {
            diagnostic("Error obtaining semaphore (errno=%d %s)", errno, std::strerror(errno));
        }
    }
    return static_cast<uint32_t>(id);
}

void initialiseSegment(TRACE_HDR *h) {
    std::memset(h, 0, sizeof *h);
    std::memcpy(h->eyecatcher, kEyecatcher, sizeof kEyecatcher);
    h->uBufferLock = createSemaphoreSet(XTR_LOCK_SEM_KEY, false);
    h->uEventSem = createSemaphoreSet(XTR_EVENT_SEM_KEY, true);
    adoptSemaphoreSets(static_cast<int>(h->uBufferLock), static_cast<int>(h->uEventSem));
    for (TEMPLATE &t : h->template_) {
        std::memset(t.tc, ' ', sizeof t.tc);
        std::memset(t.criteria, ' ', sizeof t.criteria);
    }
    h->template_[0].tc[0] = '*';
    h->template_[0].criteria[0] = '+';
    h->template_[0].criteria[1] = '+';
    pxtr_hdr.store(h, std::memory_order_release);
    xtr_build_control_information();
    h->max_file_size = 0x800000;
    h->abs_max_file_size = 0x7ff00000;
    // Set last, so that a process attaching meanwhile waits for a complete header.
    __atomic_store_n(&h->bInitialized, 1, __ATOMIC_RELEASE);
}

// Start-up waits made by this process: at most one.
unsigned initWaits = 0;

// An attacher gives a creator that is still initialising a moment to finish,
// once per process: a header left uninitialised (or reset by anyone) must
// not cost every later arming attempt the same wait.
void waitForInitialisation(const TRACE_HDR *h) {
    if (__atomic_load_n(&h->bInitialized, __ATOMIC_ACQUIRE) != 0 || initWaits != 0) return;
    initWaits++;
    for (int i = 0; i < kInitWaitMs && __atomic_load_n(&h->bInitialized, __ATOMIC_ACQUIRE) == 0; i++) {
        usleep(1000);
    }
}

}  // namespace

int arm_trace() noexcept {
    const int iErrnoSave = errno;
    pthread_mutex_lock(&threadLock);
    int result = 0;
    if (!armed.load(std::memory_order_acquire)) {
        bool creator = false;
        int id = shmget(XTR_SHM_KEY, kSegmentSize, kCreateFlags);
        if (id >= 0) {
            creator = true;
        } else if (errno == EEXIST) {
            id = shmget(XTR_SHM_KEY, kSegmentSize, kOpenFlags);
            if (id >= 0) xtr_TraceWasRunning = 1;
        }
        if (id < 0) {
            result = -errno;
            diagnostic("Error retrieving message shared memory block (errno=%d %s)\n", errno, std::strerror(errno));
        } else {
            void *at = shmat(id, nullptr, 0);
            if (at == reinterpret_cast<void *>(-1)) {
                result = -errno;
                diagnostic("Error attaching to message shared memory block (errno=%d %s)\n", errno,
                           std::strerror(errno));
            } else {
                auto *h = static_cast<TRACE_HDR *>(at);
                if (creator) {
                    initialiseSegment(h);
                } else {
                    waitForInitialisation(h);
                    if (std::memcmp(h->eyecatcher, kEyecatcher, sizeof kEyecatcher) != 0) {
                        // Anyone may have written these bytes: they reach
                        // standard output escaped, never raw.
                        char shown[16 * 4 + 1];
                        size_t n = 0;
                        for (size_t i = 0; i < 16 && h->eyecatcher[i] != '\0'; i++) {
                            const auto c = static_cast<unsigned char>(h->eyecatcher[i]);
                            if (c >= 0x20 && c < 0x7F && c != '\\') {
                                shown[n++] = static_cast<char>(c);
                            } else {
                                n += static_cast<size_t>(std::snprintf(shown + n, sizeof shown - n, "\\x%02X", c));
                            }
                        }
                        shown[n] = '\0';
                        diagnostic("Opened an incorrect shared memory buffer: eycatcher=%16s", shown);
                        shmdt(at);
                        result = -1;
                    } else {
                        // The sets under the keys, whatever ids the header names.
                        adoptSemaphoreSets(semaphoreSetByKey(XTR_LOCK_SEM_KEY), semaphoreSetByKey(XTR_EVENT_SEM_KEY));
                    }
                }
                if (result == 0) pxtr_hdr.store(h, std::memory_order_release);
            }
        }
        if (result == 0) {
            ulMyPID.store(static_cast<unsigned long>(getpid()), std::memory_order_relaxed);
            armed.store(true, std::memory_order_release);
        }
    }
    pthread_mutex_unlock(&threadLock);
    errno = iErrnoSave;
    return result;
}

unsigned initialisationWaits() noexcept { return initWaits; }

bool isArmed() noexcept { return armed.load(std::memory_order_acquire); }

TRACE_HDR *header() noexcept { return pxtr_hdr.load(std::memory_order_acquire); }

}  // namespace xtr

using namespace xtr;

extern "C" {

void xtr_build_control_information(void) {
    TRACE_HDR *h = header();
    if (h == nullptr) return;
    std::memset(h->type, 0, sizeof h->type);
    std::memset(h->template_length, 0, sizeof h->template_length);
    for (int k = 0; k < XTR_CRITERIA; k++) {
        h->trace_all[k] = 0;
        h->trace_none[k] = 1;
    }
    bool anyActive = false;
    unsigned char named[XTR_CRITERIA] = {};  // counted here: the header may be written by anyone
    for (int i = 0; i < XTR_TEMPLATES; i++) {
        TEMPLATE &t = h->template_[i];
        if (t.tc[0] == ' ') continue;
        anyActive = true;
        int len = 0;
        while (len < 7) {
            unsigned char c = t.tc[len];
            if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
            if (c < '0' || c > 'Z') break;
            t.tc[len++] = c;
        }
        h->template_length[i] = static_cast<unsigned char>(len);
        for (int k = 0; k < XTR_CRITERIA; k++) {
            unsigned char &c = t.criteria[k];
            if (c == '+' || c == '1' || c == 'Y' || c == 'y') {
                c = '+';
            } else if (c == '-' || c == '!' || c == 'N' || c == 'n') {
                c = '-';
            } else {
                c = ' ';
                continue;
            }
            h->trace_none[k] = 0;
            unsigned char n = ++named[k];
            h->type[k][0] = n;
            h->type[k][n] = static_cast<unsigned char>(i);
            if (len == 0 && c == '+' && t.pid == 0 && t.tid == 0) h->trace_all[k] = 1;
        }
    }
    for (int k = 0; k < XTR_CRITERIA; k++) {
        if (named[k] > 1) h->trace_all[k] = h->trace_none[k] = 0;
    }
    h->active = anyActive ? 1 : 0;
}

PTRACE_HDR xtr_get_hdr(void) { return header(); }

int xtr_was_trace_running(void) { return xtr_TraceWasRunning; }

unsigned long xtr_getpid(void) { return ulMyPID.load(std::memory_order_relaxed); }

unsigned long xtr_gettid(void) { return static_cast<unsigned long>(currentTid()); }

}  // extern "C"
