// Recording: the step around a ring insertion that the trace call and the
// byte dump share (the buffer lock, the continuous reader's protocol).
#include "recording.h"

#include <time.h>

#include "facility.h"
#include "kbvdtrac.h"

namespace xtr {

namespace {

// What this process has seen of the registered continuous reader.  The
// reader shows that it keeps reading by moving its heartbeat
// (cont_running) or setting count back, which it does every time it takes
// entries.  Its process id is never looked up: another PID namespace may not
// see it, and anyone may have written it.  Guarded by the buffer lock.
struct ReaderWatch {
    int32_t pid = 0;
    uint16_t beat = 0;
    uint32_t countAfter = 0;  // count after this process's last insertion
    bool progressed = false;  // progress seen since the registration changed
    timespec at{};  // when progress was last seen
    bool posted = false;  // the event was posted since the reader's last progress
    bool pause = false;  // the last insertion's decision
    unsigned pauses = 0;  // decisions to pause, ever (for tests)
} watch;

long millisSince(const timespec &then, const timespec &now) {
    return (now.tv_sec - then.tv_sec) * 1000L + (now.tv_nsec - then.tv_nsec) / 1000000L;
}

// True when the registered reader has shown progress within the last
// kReaderStallMillis.  countBefore is count before this insertion.
bool readerKeepsReading(const TRACE_HDR *h, uint32_t countBefore) {
    const int32_t pid = h->pid;
    const uint16_t beat = h->cont_running;
    bool progress = false;
    if (pid != watch.pid) {
        watch.pid = pid;
        watch.progressed = false;  // a new registration proves itself first
        watch.posted = false;
    } else {
        progress = beat != watch.beat || countBefore < watch.countAfter;
    }
    watch.beat = beat;
    watch.countAfter = countBefore + 1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (progress) {
        watch.posted = false;
        watch.progressed = true;
        watch.at = now;
        return true;
    }
    return watch.progressed && millisSince(watch.at, now) < kReaderStallMillis;
}

}  // namespace

void xtr_add_entry(const char *msg, int txt_length, unsigned long ulPID, unsigned long ulTID, unsigned long ulTime,
                   unsigned long ulUsecs, TRACE_HDR *hdr) noexcept {
    RingRef ring{&hdr->begin, &hdr->end, hdr->pbuffer, XTR_RING_SIZE, hdr};
    ringInsert(ring, msg, txt_length, Stamp{ulPID, ulTID, ulTime, ulUsecs});
    const uint32_t before = hdr->count;
    hdr->count = before + 1;
    watch.pause = false;
    if (hdr->cont == 0) return;
    // A continuous reader is woken once it has something worth reading;
    // writers pause for it only while it keeps reading.
    const bool reading = readerKeepsReading(hdr, before);
    if (hdr->count > kWakeReaderAbove) {
        if (hdr->pid != 0) {
            // Posting costs a system call: once after the reader last took
            // entries is enough to wake it, and every kRepostEvery-th
            // insertion keeps a reader that shows no progress woken too.
            if (!watch.posted || hdr->count % kRepostEvery == 0) {
                (void)xtrPostEventSem();
                watch.posted = true;
            }
            watch.pause = reading && hdr->priority != 0 && hdr->count > kPauseWriterAbove;
            if (watch.pause) watch.pauses++;
        } else {
            hdr->cont = 0;
            hdr->cont_running = 0;
        }
    }
}

bool pauseForReader() noexcept { return watch.pause; }

unsigned readerPauses() noexcept { return watch.pauses; }

void record(SharedWrite &w, const char *text, int length, const Stamp &stamp, bool selected, TRACE_HDR *h) noexcept {
    xtr_add_entryP(text, length, stamp.pid, stamp.tid, stamp.time, stamp.usecs);
    if (!selected) return;
    int id;
    if (!lockShared(&id)) {
        noteMissedShared(1);
        return;
    }
    w.lockId = id;
    w.locked = 1;
    xtr_add_entry(text, length, stamp.pid, stamp.tid, stamp.time, stamp.usecs, h);
    w.pause = pauseForReader();
}

}  // namespace xtr
