// The continuous reader.  It registers in the header (pid, cont, priority),
// takes the entries from `oldest` up to `end` under the buffer lock, moves
// `oldest` to `end` and sets `count` back to a base (0 for short entries),
// so that `count` says how many entries wait for it: writers wake it once
// more than xtr::kWakeReaderAbove wait and, with priority, pause after each
// trace point while more than xtr::kPauseWriterAbove do (the reader's
// protocol, ringwalk.h).  Each round also moves a heartbeat
// (cont_running): writers pause, and `status` keeps the registration, only
// for a reader whose heartbeat moves.
//
// A watchdog process clears the registration when the reader dies without
// doing so itself (SIGKILL, a crash), so no writer goes on pausing for a
// reader that is gone.
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "kbvdtrac.h"
#include "xtrctl.h"

namespace xtrctl {
namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t ticks = 0;

constexpr long kTickMicros = 100000;  // wake at least this often without a post

void onStop(int sig) {
    if (stopRequested) {  // a second request: leave at once, the watchdog cleans up
        signal(sig, SIG_DFL);
        raise(sig);
    }
    stopRequested = 1;
}

void onTick(int) { ticks = ticks + 1; }

void install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a signal ends the event wait
    sigaction(sig, &sa, nullptr);
}

void setTimer(long micros) {
    itimerval t{};
    t.it_interval.tv_usec = micros;
    t.it_value.tv_usec = micros;
    setitimer(ITIMER_REAL, &t, nullptr);
}

// Clears the registration of `reader` if it is still the registered one.
bool unregister(TRACE_HDR *h, pid_t reader) {
    BufferLock lock;
    if (!lock.held()) {
        lock.report();
        return false;
    }
    if (h->pid != reader) return false;
    h->pid = 0;
    h->cont = 0;
    h->cont_running = 0;
    h->priority = 0;
    return true;
}

// Forks the watchdog: it waits for the reader's end of a pipe to close,
// which happens however the reader ends, then clears a registration the
// reader left behind.  Its own session keeps it out of the reader's process
// group signals.  Returns the write end the reader keeps open, or -1.
int startWatchdog(TRACE_HDR *h, pid_t reader, pid_t *child) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        close(fds[1]);
        setsid();
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) signal(sig, SIG_IGN);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            close(null);
        }
        char c;
        while (read(fds[0], &c, 1) < 0 && errno == EINTR) {
        }
        // The reader has ended: from here on the watchdog can be ended too,
        // and its one lock wait is bounded.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_DFL);
        if (unregister(h, reader)) {
            std::fprintf(stderr, "xtrctl: follower %d ended without unregistering; its registration was cleared\n",
                         static_cast<int>(reader));
        }
        _exit(0);
    }
    close(fds[0]);
    *child = pid;
    return fds[1];
}

struct Progress {
    unsigned long shown = 0;
    unsigned long lost = 0;
    uint32_t lostSeen = 0;  // lost_msg when last looked at
    uint32_t meanLength = kMaxEntry;  // of recent entries, in bytes; the worst case at first
    SyslogSink *sink = nullptr;  // forwarding instead of printing
};

// What `count` is set back to after taking.  Writers post once count is
// above kWakeReaderAbove and pause (with priority) above kPauseWriterAbove:
// fixed numbers of entries.
// The ring holds 65536 bytes, that is about 1000 short entries but only
// about 120 of the longest, so for long entries the reader starts `count`
// higher, to keep the wake-up at a quarter of the ring and the pause at half
// of it.
uint32_t countBase(const Progress &p, bool priority) {
    const int capacity = static_cast<int>(kRingSize / (p.meanLength ? p.meanLength : 1));
    int base = static_cast<int>(xtr::kWakeReaderAbove) - capacity / 4;
    if (priority) base = std::max(base, static_cast<int>(xtr::kPauseWriterAbove) - capacity / 2);
    return base > 0 ? static_cast<uint32_t>(base) : 0;
}

enum class Drain { Ok, SlotLost, LockHeld, OutputGone };

// Takes what waits for the reader and prints it.  The part of the ring to
// take is copied under the lock and walked after it is released, so writers
// wait only for a copy.
Drain drain(TRACE_HDR *h, pid_t self, const FollowOptions &o, Progress &p) {
    static unsigned char ring[kRingSize + 2];
    uint32_t from, end, lostNow;
    {
        BufferLock lock;
        if (!lock.held()) {
            lock.report();
            return Drain::LockHeld;
        }
        if (h->pid != self) return Drain::SlotLost;
        from = h->oldest;
        end = h->end;
        if (from > kRingSize) from = h->begin;  // garbage: start at the oldest entry held
        // Only the part to take; bytes outside it are never part of an entry
        // the walk accepts from an intact ring.
        if (from <= kRingSize && end <= kRingSize) {
            if (from <= end) {
                std::memcpy(ring + from, h->pbuffer + from, end - from + 2);
            } else {
                std::memcpy(ring + from, h->pbuffer + from, kRingSize + 2 - from);
                std::memcpy(ring, h->pbuffer, end);
            }
        }
        if (end <= kRingSize) h->oldest = end;
        h->count = countBase(p, o.priority);
        // The heartbeat by which writers and `status` see that the reader
        // keeps reading; and the flags, in case they were cleared meanwhile.
        h->cont_running = static_cast<uint16_t>(h->cont_running % 65535 + 1);
        h->cont = 1;
        h->priority = o.priority ? 1 : 0;
        lostNow = h->lost_msg;
    }
    if (lostNow != p.lostSeen) {
        const uint32_t n = lostNow - p.lostSeen;
        p.lost += n;
        p.lostSeen = lostNow;
        std::fprintf(stderr, "xtrctl: %u entries were discarded before they were read\n", n);
        if (p.sink) p.sink->discarded(n);
    }
    std::string out;
    const Walk w = xtr::walkRing(ring, kRingSize, from, end, [&](const MSG &m, std::string_view text) {
        const Entry e{m.time, m.usecs, m.pid, m.tid, std::string(text)};
        if (!o.filter.matches(e)) return;
        p.shown++;
        if (p.sink) {
            p.sink->send(e);
            return;
        }
        out += o.json ? jsonLine(e) : fetchedLine(e);
        out += '\n';
    });
    if (w.entries > 0) p.meanLength = (3 * p.meanLength + w.bytes / w.entries) / 4;
    if (w.damaged) {
        std::fprintf(stderr, "xtrctl: damaged ring at offset %u; skipped on to offset %u\n", w.damageAt, end);
    }
    if (!out.empty()) {
        if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
            return Drain::OutputGone;
        }
    }
    return Drain::Ok;
}

// Registers this process as the reader, clearing a registration whose
// reader is gone; refuses when a live reader holds the slot.
int registerReader(TRACE_HDR *h, pid_t self, const FollowOptions &o, Progress &p) {
    const ReaderSample sample = sampleReader(h);  // before the lock: it takes a moment
    BufferLock lock;
    if (!lock.held()) {
        lock.report();
        return kUnavailable;
    }
    if (const int32_t gone = clearGoneReader(h, sample)) reportCleared(gone);
    if (h->pid != 0) {
        std::fprintf(stderr, "xtrctl: pid %d already follows the trace buffer; one reader at a time\n",
                     static_cast<int>(h->pid));
        return kUnavailable;
    }
    h->pid = self;
    h->oldest = h->end <= kRingSize ? h->end : 0;  // from now on
    h->count = 0;
    h->priority = o.priority ? 1 : 0;
    h->cont_running = 1;
    h->cont = 1;
    p.lostSeen = h->lost_msg;
    return kDone;
}

}  // namespace

int follow(const FollowOptions &o) {
    const int segment = existingSegment();
    if (segment < 0 && !o.create) {
        std::fprintf(stderr, "xtrctl: no trace buffer on this machine (use --create to make one)\n");
        return kUnavailable;
    }
    TRACE_HDR *h = attach();
    if (h == nullptr) {
        std::fprintf(stderr, "xtrctl: the trace buffer cannot be attached\n");
        return kUnavailable;
    }
    const int mySegment = existingSegment();
    const pid_t self = getpid();
    signal(SIGPIPE, SIG_IGN);
    install(SIGINT, onStop);
    install(SIGTERM, onStop);
    install(SIGHUP, onStop);
    install(SIGALRM, onTick);

    // The watchdog comes first, so that no moment exists in which this
    // process is registered and nobody would clear the registration.
    pid_t watchdog = -1;
    const int watch = startWatchdog(h, self, &watchdog);
    if (watch < 0) {
        std::fprintf(stderr, "xtrctl: no watchdog (%s); a crash would leave the registration\n", std::strerror(errno));
    }
    const auto endWatchdog = [&] {
        if (watch < 0) return;
        close(watch);
        waitpid(watchdog, nullptr, 0);
    };
    Progress p;
    SyslogSink sink;
    if (o.syslog) {
        std::string error;
        if (!sink.configure(o.syslogDest, error)) {  // checked by the caller already
            std::fprintf(stderr, "xtrctl: %s\n", error.c_str());
            endWatchdog();
            return kUsage;
        }
        p.sink = &sink;
    }
    if (const int rc = registerReader(h, self, o, p); rc != kDone) {
        endWatchdog();
        return rc;
    }
    setTimer(kTickMicros);

    int status = kDone;
    int seenTicks = 0;
    while (!stopRequested) {
        (void)xtrResetEventSem();  // before taking: a post after this wakes the wait below
        const Drain d = drain(h, self, o, p);
        if (d == Drain::OutputGone) break;
        if (d == Drain::LockHeld) {
            status = kUnavailable;
            break;
        }
        if (d == Drain::SlotLost) {
            std::fprintf(stderr, "xtrctl: the reader registration was taken over or the lock failed\n");
            status = kUnavailable;
            break;
        }
        if (ticks - seenTicks >= 10) {  // about once a second: is the buffer still there?
            seenTicks = ticks;
            if (existingSegment() != mySegment) {
                std::fprintf(stderr, "xtrctl: the trace buffer was removed\n");
                status = kUnavailable;
                break;
            }
        }
        if (stopRequested) break;
        (void)xtrWaitEventSem();  // a post, the tick or a stop request ends it
    }
    if (status == kDone) (void)drain(h, self, o, p);  // what came with the stop request
    setTimer(0);
    unregister(h, self);
    endWatchdog();
    if (o.syslog) {
        std::fprintf(stderr, "xtrctl: %llu entries forwarded, %llu not forwarded, %lu lost\n",
                     static_cast<unsigned long long>(sink.forwarded), static_cast<unsigned long long>(sink.lost),
                     p.lost);
    } else {
        std::fprintf(stderr, "xtrctl: %lu entries shown, %lu lost\n", p.shown, p.lost);
    }
    return status;
}

}  // namespace xtrctl
