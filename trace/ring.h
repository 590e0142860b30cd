// Insertion into a trace ring: the shared ring of the trace header or the
// per-process ring.  Both hold MSG entries packed at any byte offset; an
// entry length of 0 is a wrap marker (the next entry is at offset 0).  The
// format is ringwalk.h's; what a recording does around an insertion (the
// buffer lock, the continuous reader) is recording.h's.
#pragma once

#include <cstdint>

#include "kbvdtequ.h"
#include "ringwalk.h"

namespace xtr {

// The fields one insertion works on.  The offsets are copied in, bounded,
// worked on as locals and written back, so a ring header that another
// process scribbles on can never steer a write outside the ring.
struct RingRef {
    uint32_t *begin;
    uint32_t *end;
    unsigned char *buffer;  // size + 2 bytes: room for a wrap marker at `size`
    uint32_t size;
    TRACE_HDR *shared;  // the shared header, or null for a private ring
};

// The time, process and thread stamp of one entry.
struct Stamp {
    unsigned long pid;
    unsigned long tid;
    unsigned long time;
    unsigned long usecs;
};

// Appends the text (txt_length characters and a NUL) as one entry,
// discarding the oldest entries as needed.  A text longer than the entry
// limit is cut.  The caller holds the ring's lock.
void ringInsert(const RingRef &ring, const char *text, int txt_length, const Stamp &stamp) noexcept;

// The process's own ring.
extern TRACE_P_HDR xtr_hdrP;

// Inserts one entry into the process's own ring.  The caller holds
// xtr_mutex_sem, which guards the own ring (no machine-wide lock needed).
void xtr_add_entryP(const char *msg, int txt_length, unsigned long ulPID, unsigned long ulTID, unsigned long ulTime,
                    unsigned long ulUsecs) noexcept;

}  // namespace xtr
