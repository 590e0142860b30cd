#include "ring.h"

#include "facility.h"
#include "kbvdtrac.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace xtr {

TRACE_P_HDR xtr_hdrP;

namespace {

// Longest text an entry carries: the formatter's 512-character limit.
constexpr uint32_t kMaxText = 512;

uint16_t readLength(const unsigned char *buffer, uint32_t at) {
    uint16_t v;
    std::memcpy(&v, buffer + at, sizeof v);
    return v;
}

void writeLength(unsigned char *buffer, uint32_t at, uint16_t v) {
    std::memcpy(buffer + at, &v, sizeof v);
}

void putField(unsigned char *at, unsigned long v) {
    auto w = static_cast<uint32_t>(v);
    std::memcpy(at, &w, sizeof w);
}

// How long a registered reader may go without showing progress and still
// make writers pause for it.
constexpr long kReaderStallMillis = 1000;

// What this process has seen of the registered continuous reader.  The
// reader shows that it keeps reading by moving its heartbeat
// (cont_running) or setting count back, which it does every time it takes
// entries.  Its process id is never looked up: another PID namespace may not
// see it, and anyone may have written it.  Guarded by the buffer lock.
struct ReaderWatch {
    int32_t pid = 0;
    uint16_t beat = 0;
    uint32_t countAfter = 0;   // count after this process's last insertion
    bool progressed = false;   // progress seen since the registration changed
    timespec at{};             // when progress was last seen
    bool posted = false;       // the event was posted since the reader's last progress
    bool pause = false;        // the last insertion's decision
    unsigned pauses = 0;       // decisions to pause, ever (for tests)
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

void ringInsert(const RingRef &ring, const char *text, int txt_length, const Stamp &stamp) noexcept {
    const uint32_t R = ring.size;
    unsigned char *buf = ring.buffer;
    TRACE_HDR *shared = ring.shared;
    uint32_t textLen = txt_length < 0 ? 0u : static_cast<uint32_t>(txt_length);
    if (textLen > kMaxText) textLen = kMaxText;
    const uint32_t L = textLen + XTR_MSG_OVERHEAD;

    uint32_t begin = *ring.begin;
    uint32_t end = *ring.end;

    // Offsets beyond the ring are repaired before anything is read at them.
    if (end > R) {
        if (shared) {
            diagnostic("Invalid pxtr_hdr->end=%d\n", static_cast<int>(end));
            shared->oldest = begin;
        }
        end = 0;
    }
    if (begin > R) {
        if (shared) {
            diagnostic("Invalid pxtr_hdr->begin=%d\n", static_cast<int>(begin));
            shared->oldest = 0;
        }
        begin = 0;
    }

    uint32_t t = end < begin ? end : 0;
    bool room = end < begin ? L < begin - end : L < R - end;
    if (!room) {
        if (t == 0) {
            writeLength(buf, end, 0);
            end = 0;
        }
        // Discard the oldest entries until the gap before `begin` is wider
        // than the new entry, so `end` never catches up with `begin`.
        while (begin - t <= L) {
            bool wasOldest = shared && begin == shared->oldest;
            uint32_t len = readLength(buf, begin);
            // Anything but a wrap marker or an entry a writer could have
            // left is damage, by the rule every walk of the ring follows.
            if (len != 0 && !entryFits(len, begin, R)) {
                if (shared) {
                    diagnostic("Invalid pxtr_hdr->begin=%d + p->length=%d\n", static_cast<int>(begin),
                                static_cast<int>(len));
                    shared->oldest = begin;
                }
                writeLength(buf, begin, 0);
                len = 0;
            }
            bool last = false;
            if (len == 0) {
                begin = 0;
                if (L < R - end) {
                    last = true;
                } else {
                    writeLength(buf, end, 0);
                    end = 0;
                    t = 0;
                }
            } else {
                begin += len;
            }
            if (wasOldest) {
                // A wrap marker (or a length repaired to one) held no entry:
                // only entries the reader never took count as lost.
                if (len != 0) shared->lost_msg++;
                shared->oldest = begin;
            }
            if (last) break;
        }
    }

    if (end + L > R) {  // cannot happen with the bounds above; never write past the ring
        begin = end = 0;
    }
    unsigned char *entry = buf + end;
    writeLength(entry, 0, static_cast<uint16_t>(L));
    putField(entry + 12, stamp.time);
    putField(entry + 16, stamp.usecs);
    putField(entry + 4, stamp.pid);
    putField(entry + 8, stamp.tid);
    std::memcpy(entry + XTR_MSG_HDR_LEN, text, textLen);
    entry[XTR_MSG_HDR_LEN + textLen] = '\0';
    end += L;

    *ring.begin = begin;
    *ring.end = end;
}

void xtr_add_entry(const char *msg, int txt_length, unsigned long ulPID, unsigned long ulTID,
                   unsigned long ulTime, unsigned long ulUsecs, TRACE_HDR *hdr) noexcept {
    RingRef ring{&hdr->begin, &hdr->end, hdr->pbuffer, XTR_RING_SIZE, hdr};
    ringInsert(ring, msg, txt_length, Stamp{ulPID, ulTID, ulTime, ulUsecs});
    const uint32_t before = hdr->count;
    hdr->count = before + 1;
    watch.pause = false;
    if (hdr->cont == 0) return;
    // A continuous reader is woken once it has something worth reading;
    // writers pause for it only while it keeps reading.
    const bool reading = readerKeepsReading(hdr, before);
    if (hdr->count > 100) {
        if (hdr->pid != 0) {
            // Posting costs a system call: once after the reader last took
            // entries is enough to wake it, and every 64th insertion keeps a
            // reader that shows no progress woken too.
            if (!watch.posted || hdr->count % 64 == 0) {
                (void)xtrPostEventSem();
                watch.posted = true;
            }
            watch.pause = reading && hdr->priority != 0 && hdr->count > 200;
            if (watch.pause) watch.pauses++;
        } else {
            hdr->cont = 0;
            hdr->cont_running = 0;
        }
    }
}

bool pauseForReader() noexcept { return watch.pause; }

unsigned readerPauses() noexcept { return watch.pauses; }

void xtr_add_entryP(const char *msg, int txt_length, unsigned long ulPID, unsigned long ulTID,
                    unsigned long ulTime, unsigned long ulUsecs) noexcept {
    RingRef ring{&xtr_hdrP.begin, &xtr_hdrP.end, xtr_hdrP.pbuffer, XTR_P_RING_SIZE, nullptr};
    ringInsert(ring, msg, txt_length, Stamp{ulPID, ulTID, ulTime, ulUsecs});
}

}  // namespace xtr
