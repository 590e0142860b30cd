// The facility's messages about itself.  They go to standard output, as
// documented, but they must never end or block the program that traces: it
// may run with standard output a closed pipe (SIGPIPE would kill it), a
// pipe nobody reads (a write would block), or a stream whose state it
// checks itself.  So a message is formatted here and written straight to
// descriptor 1, once, only when that cannot block, with SIGPIPE held off;
// the caller's stdio stream is never touched.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "facility.h"

namespace xtr {

void diagnostic(const char *format, ...) noexcept {
    const int savedErrno = errno;
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    if (n > 0 && poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 &&
        (out.revents & POLLOUT) != 0) {
        const size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
        // A SIGPIPE raised by this write goes to this thread: held off, and
        // taken back unless one was already pending for the program.
        sigset_t pipeSignal, saved, pending;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &saved);
        sigpending(&pending);
        const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
        if (write(STDOUT_FILENO, text, length) < 0 && errno == EPIPE && !wasPending) {
            const timespec none{0, 0};
            while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    errno = savedErrno;
}

}  // namespace xtr
