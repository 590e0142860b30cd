// Recording one entry: the step the trace call and the byte dump share.
// Every entry goes into the process's own ring; a selected one also into the
// shared ring, under the buffer lock, where it steps the continuous reader's
// protocol (ringwalk.h): the reader is woken once enough entries wait for
// it, and a writer that a lagging reader asked for priority pauses once it
// has left its guarded section.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include "facility.h"
#include "kbvdtequ.h"
#include "ring.h"
#include "ringwalk.h"

namespace xtr {

// The time of day, stamped with a process and thread id.
inline Stamp stampNow(unsigned long pid, unsigned long tid) noexcept {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return Stamp{pid, tid, static_cast<unsigned long>(tv.tv_sec), static_cast<unsigned long>(tv.tv_usec)};
}

// What one recording leaves to be done after its guarded section.  Volatile:
// a fault jumps back to the section's start, past the code that set it.
struct SharedWrite {
    volatile int locked = 0;  // the buffer lock is held, in set lockId
    volatile int lockId = -1;
    volatile int pause = 0;  // pause for the reader once out of the section
};

// Records `length` characters of text with the stamp into the process's own
// ring and, when selected, into the shared ring of h.  Runs inside a guarded
// section, so under xtr_mutex_sem, which guards the own ring; only the
// shared ring needs the buffer lock.  The lock stays held for
// releaseShared() in the section's cleanup; a lock that cannot be had
// costs the shared ring the entry, counted as missed.
void record(SharedWrite &w, const char *text, int length, const Stamp &stamp, bool selected, TRACE_HDR *h) noexcept;

// The guarded section's cleanup: hands the buffer lock record() took to the
// section's end (see keepShared()), or releases it at once when the writer
// is to pause for a lagging reader, which needs the lock meanwhile.
inline void releaseShared(const SharedWrite &w) noexcept {
    if (!w.locked) return;
    if (w.pause) unlockShared(w.lockId);
    else keepShared();
}

// After the guarded section: the pause record() decided on for a lagging
// reader.
inline void paceForReader(const SharedWrite &w) noexcept {
    if (w.pause) usleep(kWriterPauseMicros);
}

// Inserts one entry into the shared ring of hdr and steps the reader's
// protocol: counts the entry, wakes a registered reader and decides whether
// the writer pauses (pauseForReader).  The caller holds the buffer lock.
void xtr_add_entry(const char *msg, int txt_length, unsigned long ulPID, unsigned long ulTID, unsigned long ulTime,
                   unsigned long ulUsecs, TRACE_HDR *hdr) noexcept;

// Whether the caller should pause after its last shared insertion: a reader
// asked for priority, lags more than kPauseWriterAbove entries behind and
// has shown within kReaderStallMillis that it keeps reading.  Read under the
// buffer lock.
bool pauseForReader() noexcept;

// Pauses decided in this process (for tests).
unsigned readerPauses() noexcept;

}  // namespace xtr
