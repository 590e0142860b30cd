// The trace call: checks the trace-point prefix, formats the text with the
// facility's own formatter and records the entry, stamped with time,
// process and thread, in the process's own ring.  A trace call never fails
// its caller and leaves errno as it found it.
#include "kbvdtrac.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "formatter.h"
#include "ring.h"

extern "C" {
// Serialises trace calls of the process and guards the statics below.
// Recursive, so code that already holds it may trace.
XTR_EXPORT pthread_mutex_t xtr_mutex_sem = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
}

namespace xtr {
namespace {

// The formatted text of the current trace call: the most the formatter
// writes, 512 characters plus one string directive of 512 and a NUL.
char msg[1025];

constexpr int kMinFormat = 8;    // identifier and criteria letter at least
constexpr int kMaxFormat = 511;

std::atomic<unsigned long> ulMyPID{0};
bool forkHandlerSet = false;

void childAfterFork() { ulMyPID.store(static_cast<unsigned long>(getpid()), std::memory_order_relaxed); }

// Records the process id once; a forked child records its own.
void notePid() {
    if (ulMyPID.load(std::memory_order_relaxed) == 0) {
        ulMyPID.store(static_cast<unsigned long>(getpid()), std::memory_order_relaxed);
        if (!forkHandlerSet) {
            forkHandlerSet = pthread_atfork(nullptr, nullptr, childAfterFork) == 0;
        }
    }
}

enum class Reject { None, NullPointer, TooShort, TooLong, BadCriteria };

int criteriaIndex(char letter) {
    switch (letter) {
        case 'T': return 0;
        case 'F': return 1;
        case 'D': return 2;
        case 'L': return 3;
        default: return -1;
    }
}

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t &m) : m_(m), held_(pthread_mutex_lock(&m) == 0) {}
    ~MutexGuard() {
        if (held_) pthread_mutex_unlock(&m_);
    }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;
    [[nodiscard]] bool held() const { return held_; }

private:
    pthread_mutex_t &m_;
    bool held_;
};

void record(const char *text, int length) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    xtr_add_entryP(text, length, xtr_getpid(), xtr_gettid(), static_cast<unsigned long>(tv.tv_sec),
                   static_cast<unsigned long>(tv.tv_usec));
}

// Reports a rejected trace call as a trace point of the facility's own.
void reportReject(Reject why, const char *text) {
    switch (why) {
        case Reject::NullPointer:
            xtr_trace("XTR    F:#### BAD TRACE ENTRY POINTER [%p] !!!!!", static_cast<const void *>(text));
            break;
        case Reject::TooShort:
            xtr_trace("XTR    F:#### TRACE ENTRY [%s] TOO short!!!!!!", text);
            break;
        case Reject::TooLong: {
            char first[21];
            std::memcpy(first, text, 20);
            first[20] = '\0';
            xtr_trace("XTR    F:#### TRACE ENTRY [%s] TOO LONG!!!!!!", first);
            break;
        }
        case Reject::BadCriteria:
            xtr_trace("XTR    F:#### INVALID TRACE CRITERIA [%c] in [%s]", text[7], text);
            break;
        case Reject::None:
            break;
    }
}

}  // namespace
}  // namespace xtr

using namespace xtr;

extern "C" void xtr_trace(const char *text, ...) {
    const int iErrnoSave = errno;
    Reject why = Reject::None;
    {
        MutexGuard lock(xtr_mutex_sem);
        if (!lock.held()) {
            errno = iErrnoSave;
            return;
        }
        notePid();
        if (text == nullptr) {
            why = Reject::NullPointer;
        } else {
            const size_t len = std::strlen(text);
            if (len < static_cast<size_t>(kMinFormat)) {
                why = Reject::TooShort;
            } else if (len > static_cast<size_t>(kMaxFormat)) {
                why = Reject::TooLong;
            } else if (criteriaIndex(text[7]) < 0) {
                why = Reject::BadCriteria;
            } else if (text[7] == 'T') {
                record(text, static_cast<int>(len));  // entry and exit texts are never formatted
            } else {
                va_list args;
                va_start(args, text);
                const int n = myvsprintf(msg, text, args);
                va_end(args);
                record(msg, n);
            }
        }
    }
    if (why != Reject::None) reportReject(why, text);
    errno = iErrnoSave;
}

extern "C" unsigned long xtr_getpid(void) { return ulMyPID.load(std::memory_order_relaxed); }

extern "C" unsigned long xtr_gettid(void) { return static_cast<unsigned long>(syscall(SYS_gettid)); }
