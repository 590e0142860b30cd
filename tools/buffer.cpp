// Access to the machine's trace buffer: whether it exists, attaching through
// the facility, the buffer lock, and the registered reader's liveness.
#include <signal.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kbvdtrac.h"
#include "xtrctl.h"

namespace xtrctl {

int existingSegment() { return shmget(static_cast<key_t>(XTR_SHM_KEY), 0, 0); }

StdoutToStderr::StdoutToStderr() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
}

StdoutToStderr::~StdoutToStderr() {
    std::fflush(stdout);
    if (saved_ >= 0) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
}

TRACE_HDR *attach() {
    if (TRACE_HDR *h = xtr_get_hdr()) return h;
    StdoutToStderr quiet;
    return xtr::armWithoutTracing();
}

BufferLock::BufferLock() : id_(semget(static_cast<key_t>(XTR_LOCK_SEM_KEY), 1, 0)) {
    if (id_ < 0) {
        error_ = errno;
        return;
    }
    // Signals (the follower's tick) interrupt the wait; the deadline holds.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kLockWaitSeconds;
    sembuf ops[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    for (;;) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        const long long left = (deadline.tv_sec - t.tv_sec) * 1000000000LL + (deadline.tv_nsec - t.tv_nsec);
        if (left <= 0) {
            error_ = EAGAIN;
            return;
        }
        timespec wait{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
        if (semtimedop(id_, ops, 2, &wait) == 0) {
            held_ = true;
            return;
        }
        if (errno != EINTR) {
            error_ = errno;
            return;
        }
    }
}

BufferLock::~BufferLock() {
    if (!held_) return;
    sembuf op = {0, -1, SEM_UNDO | IPC_NOWAIT};
    while (semop(id_, &op, 1) != 0 && errno == EINTR) {
    }
}

void BufferLock::report() const {
    if (error_ != EAGAIN) {
        std::fprintf(stderr, "xtrctl: cannot take the trace buffer lock: %s\n", std::strerror(error_));
        return;
    }
    const int last = semctl(id_, 0, GETPID);
    std::fprintf(stderr,
                 "xtrctl: the trace buffer lock has been held for %d s; the last process to operate on it was pid %d\n",
                 kLockWaitSeconds, last);
}

namespace {
template <class T>
T current(const T &field) {
    return __atomic_load_n(&field, __ATOMIC_RELAXED);  // written by other processes meanwhile
}
}  // namespace

ReaderSample sampleReader(const TRACE_HDR *h) {
    ReaderSample s;
    s.pid = current(h->pid);
    s.beat = current(h->cont_running);
    if (s.pid == 0) return s;
    const uint32_t count = current(h->count);
    for (int waited = 0; waited <= kReaderSampleMillis; waited += 10) {
        if (current(h->pid) != s.pid || current(h->cont_running) != s.beat || current(h->count) < count) {
            s.state = Reader::Alive;
            return s;
        }
        usleep(10000);
    }
    s.state = Reader::Gone;
    return s;
}

int32_t clearGoneReader(TRACE_HDR *h, const ReaderSample &sample) {
    if (sample.state != Reader::Gone || h->pid != sample.pid || h->cont_running != sample.beat) return 0;
    h->pid = 0;
    h->cont = 0;
    h->cont_running = 0;
    h->priority = 0;
    return sample.pid;
}

void reportCleared(int32_t pid) {
    std::fprintf(stderr, "xtrctl: the registered reader (pid %d) no longer reads; its registration was cleared\n",
                 static_cast<int>(pid));
}

}  // namespace xtrctl
