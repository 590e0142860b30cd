// Retrieval: trace entries copied out of a ring as text lines, oldest
// first.  Readers hold the buffer lock across all passes so that what is
// counted is what is delivered; damage found on the way is repaired in the
// ring itself and reported on standard output.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "facility.h"
#include "formatter.h"
#include "kbvdtrac.h"
#include "probe.h"
#include "ring.h"
#include "ringwalk.h"

namespace xtr {
namespace {

constexpr uint32_t kHeadLength = 36;  // "SSSSSSSSSS.UUUUUU PPPPPPPP:TTTTTTTT "
constexpr uint32_t kLineExtra = 13;  // fetched line = entry length + 13

enum class Reader { Fetch, FetchPidTid };

// One ring as a reader sees it.
struct Ring {
    uint32_t *begin;
    uint32_t *end;
    uint32_t *oldest;  // shared ring only
    unsigned char *buffer;
    uint32_t size;
    Reader reader;
};

// Validation and repair messages go to standard output, flushed each time.
// An offset beyond the ring is reported (each call in its own words) and
// set back to 0.
void validate(const Ring &r) {
    const auto beyond = [&r](uint32_t offset, const char *fetchName, const char *pidTidName) {
        if (offset <= r.size) return false;
        if (r.reader == Reader::Fetch) {
            diagnostic("fetch: Invalid pxtr_hdr->%s=%d\n", fetchName, static_cast<int>(offset));
        } else {
            diagnostic("fetch_pid_tid: Invalid *%s=%d > uBufLen=%d\n", pidTidName, static_cast<int>(offset),
                       static_cast<int>(r.size));
        }
        return true;
    };
    if (beyond(*r.end, "end", "puEnd")) {
        *r.end = 0;
        if (r.oldest) *r.oldest = *r.begin;
    }
    if (beyond(*r.begin, "begin", "puBegin")) {
        *r.begin = 0;
        if (r.oldest) *r.oldest = 0;
    }
}

// Truncates the ring at a damaged entry: from here on the entries are lost.
void repairAt(const Ring &r, uint32_t pos, uint32_t length) {
    if (r.reader == Reader::Fetch) {
        diagnostic("fetch: Invalid p->length=%d + i=%d\n", static_cast<int>(length), static_cast<int>(pos));
    } else {
        diagnostic("fetch_pid_tid: Invalid p->length=%d + i=%d\n", static_cast<int>(length), static_cast<int>(pos));
    }
    const uint16_t zero = 0;
    std::memcpy(r.buffer + pos, &zero, sizeof zero);
    *r.end = pos;
    if (r.oldest) *r.oldest = *r.begin;
}

// Visits the entries from `begin` to `end` with the one ring walk:
// visit(pos, header, length) returns false to stop.  With `repair`, the ring
// is cut where the walk found damage.
template <class Visit>
void walk(const Ring &r, bool repair, Visit &&visit) {
    const RingWalk w =
        walkRing(r.buffer, r.size, *r.begin, *r.end, [&](uint32_t pos, const MSG &m, std::string_view text) {
            return visit(pos, m, static_cast<uint32_t>(text.size()) + XTR_MSG_OVERHEAD);
        });
    if (w.damaged && repair && w.damageAt <= r.size) repairAt(r, w.damageAt, w.damageLength);
}

// Room for one fetched line (at most kMaxRingEntry + kLineExtra bytes with
// its NUL), built in place by the formatter.
using LineBuffer = char[kFormatDestSize];
static_assert(kMaxRingEntry + kLineExtra <= sizeof(LineBuffer));

// Builds the fetched line of one entry (length + 13 bytes with its NUL).
uint32_t buildLine(LineBuffer &work, const Ring &r, uint32_t pos, const MSG &m, uint32_t length) {
    char number[kFormatDestSize];
    char secs[11] = "0000000000", usecs[11] = "0000000000";
    int n = mysprintf(number, "%lu", static_cast<unsigned long>(m.time));
    std::memcpy(secs + 10 - n, number, static_cast<size_t>(n));
    n = mysprintf(number, "%lu", static_cast<unsigned long>(m.usecs));
    std::memcpy(usecs + 10 - n, number, static_cast<size_t>(n));
    mysprintf(work, "0000000000.000000 %08lX:%08lX ", static_cast<unsigned long>(m.pid),
              static_cast<unsigned long>(m.tid));
    const uint32_t textLength = length - XTR_MSG_OVERHEAD;
    std::memcpy(work + kHeadLength, r.buffer + pos + kEntryTextAt, textLength);
    // A NUL inside the text would end the line for its reader, and the
    // rest would read as a line of its own: it is given as a blank.
    for (uint32_t i = kHeadLength; i < kHeadLength + textLength; i++) {
        if (work[i] == '\0') work[i] = ' ';
    }
    work[kHeadLength + textLength] = '\0';
    std::memcpy(work, secs, 10);
    std::memcpy(work + 11, usecs + 4, 6);
    return length + kLineExtra;
}

bool matches(const MSG &m, unsigned long pid, unsigned long tid) {
    return (pid == 0 || m.pid == pid) && (tid == 0 || m.tid == tid);
}

// Skips `excess` bytes of matching entries from the oldest side (whole
// entries), then copies `count` matching entries into out.  Returns the
// number of lines written.
unsigned deliver(const Ring &r, char *out, size_t outSize, uint32_t count, size_t excess, unsigned long pid,
                 unsigned long tid) {
    unsigned written = 0;
    size_t at = 0;
    LineBuffer work;
    walk(r, false, [&](uint32_t pos, const MSG &m, uint32_t length) {
        if (!matches(m, pid, tid)) return true;
        const uint32_t lineSize = length + kLineExtra;
        if (excess > 0) {
            count--;
            excess = excess < lineSize ? 0 : excess - lineSize;
            return count > 0;
        }
        if (count == 0 || at + lineSize > outSize) return false;
        buildLine(work, r, pos, m, length);
        std::memcpy(out + at, work, lineSize);
        at += lineSize;
        written++;
        return --count > 0;
    });
    return written;
}

// The fetch body shared by both calls, run with the buffer lock held when it
// could be taken.  With lastOfPid set, the range ends at that process's
// newest entry (all entries when it has none).
unsigned fetchRing(const Ring &r, char *out, size_t outSize, unsigned long pid, unsigned long tid,
                   unsigned long lastOfPid) {
    validate(r);
    uint32_t count = 0, rangeCount = 0;
    size_t total = 0, rangeTotal = 0;
    walk(r, true, [&](uint32_t, const MSG &m, uint32_t length) {
        if (!matches(m, pid, tid)) return true;
        count++;
        total += length + kLineExtra;
        if (lastOfPid != 0 && m.pid == lastOfPid) {
            rangeCount = count;
            rangeTotal = total;
        }
        return true;
    });
    if (lastOfPid == 0 || rangeCount == 0) {
        rangeCount = count;
        rangeTotal = total;
    }
    if (rangeCount == 0) return 0;
    const size_t excess = rangeTotal > outSize ? rangeTotal - outSize : 0;
    return deliver(r, out, outSize, rangeCount, excess, pid, tid);
}

// Clears the caller's buffer and runs body() under the buffer lock, all in
// a guarded section: a buffer that faults while it is written is refused
// like one that fails the access check.  Returns the lock result, or 2.
// The own ring needs no machine-wide lock: xtr_mutex_sem, held by the
// guarded section, keeps its writers out.
template <class Body>
SPRET guardedFetch(char *out, size_t outSize, SPRET *fun_rc_ptr, bool sharedRing, Body &&body) {
    volatile int locked = 0, lockId = -1;
    volatile SPRET lockResult = sharedRing ? -1 : 0;
    const GuardResult g = runGuarded(
        [&] {
            if (outSize != 0) std::memset(out, 0, outSize);
            int id;
            if (sharedRing && lockShared(&id)) {
                lockId = id;
                locked = 1;
                lockResult = 0;
            }
            body();
        },
        [&] {
            if (locked) unlockShared(lockId);
        });
    if (g != GuardResult::Done) {
        *fun_rc_ptr = 1;
        return 2;
    }
    return lockResult;
}

Ring sharedRing(TRACE_HDR *h, Reader reader) {
    return Ring{&h->begin, &h->end, &h->oldest, h->pbuffer, XTR_RING_SIZE, reader};
}

}  // namespace
}  // namespace xtr

using namespace xtr;

extern "C" {

SPRET xtr_fetch(char *pbuffer, unsigned int num_traces, unsigned int line_length, unsigned int *num_fetched,
                SPRET *fun_rc_ptr) {
    if (!isArmed() && arm_trace() != 0) return 2;
    const size_t size = static_cast<size_t>(num_traces) * line_length;  // never wraps
    if (!probeWord(pbuffer, size)) {
        *fun_rc_ptr = 1;
        return 2;
    }
    *fun_rc_ptr = 0;
    volatile unsigned fetched = 0;
    const SPRET rc = guardedFetch(pbuffer, size, fun_rc_ptr, true, [&] {
        fetched = fetchRing(sharedRing(header(), Reader::Fetch), pbuffer, size, 0, 0, xtr_getpid());
    });
    if (rc != 2) *num_fetched = fetched;
    return rc;
}

SPRET xtr_fetch_pid_tid(char *pbuffer, unsigned long ulBufferSize, unsigned long ulPid, unsigned long ulTid,
                        int iBufferID, SPRET *fun_rc_ptr) {
    if (!isArmed() && arm_trace() != 0) return 2;
    if (iBufferID != 0) {
        *fun_rc_ptr = 2;
        return 2;
    }
    if (!probeWord(pbuffer, ulBufferSize)) {
        *fun_rc_ptr = 1;
        return 2;
    }
    *fun_rc_ptr = 0;
    const bool own = ulPid == xtr_getpid();
    return guardedFetch(pbuffer, ulBufferSize, fun_rc_ptr, !own, [&] {
        const Ring r =
            own ? Ring{&xtr_hdrP.begin, &xtr_hdrP.end, nullptr, xtr_hdrP.pbuffer, XTR_P_RING_SIZE, Reader::FetchPidTid}
                : sharedRing(header(), Reader::FetchPidTid);
        fetchRing(r, pbuffer, ulBufferSize, ulPid, ulTid, 0);
    });
}

SPRET xtr_fetch_pid(char *pbuffer, unsigned long ulBufferSize, SPRET *fun_rc_ptr) {
    if (!isArmed() && arm_trace() != 0) return 2;
    return xtr_fetch_pid_tid(pbuffer, ulBufferSize, xtr_getpid(), 0, 0, fun_rc_ptr);
}

SPRET xtr_fetch_tid(char *pbuffer, unsigned long ulBufferSize, SPRET *fun_rc_ptr) {
    if (!isArmed() && arm_trace() != 0) return 2;
    return xtr_fetch_pid_tid(pbuffer, ulBufferSize, xtr_getpid(), xtr_gettid(), 0, fun_rc_ptr);
}

}  // extern "C"
