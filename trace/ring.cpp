#include "ring.h"

#include <cstring>

#include "facility.h"

namespace xtr {

TRACE_P_HDR xtr_hdrP;

void ringInsert(const RingRef &ring, const char *text, int txt_length, const Stamp &stamp) noexcept {
    const uint32_t R = ring.size;
    unsigned char *buf = ring.buffer;
    TRACE_HDR *shared = ring.shared;
    uint32_t textLen = txt_length < 0 ? 0u : static_cast<uint32_t>(txt_length);
    if (textLen > kMaxEntryText) textLen = kMaxEntryText;
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
            setEntryLength(buf + end, 0);
            end = 0;
        }
        // Discard the oldest entries until the gap before `begin` is wider
        // than the new entry, so `end` never catches up with `begin`.
        while (begin - t <= L) {
            bool wasOldest = shared && begin == shared->oldest;
            uint32_t len = entryLength(buf + begin);
            // Anything but a wrap marker or an entry a writer could have
            // left is damage, by the rule every walk of the ring follows.
            if (len != 0 && !entryFits(len, begin, R)) {
                if (shared) {
                    diagnostic("Invalid pxtr_hdr->begin=%d + p->length=%d\n", static_cast<int>(begin),
                               static_cast<int>(len));
                    shared->oldest = begin;
                }
                setEntryLength(buf + begin, 0);
                len = 0;
            }
            bool last = false;
            if (len == 0) {
                begin = 0;
                if (L < R - end) {
                    last = true;
                } else {
                    setEntryLength(buf + end, 0);
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
    setEntryLength(entry, static_cast<uint16_t>(L));
    setEntryField(entry, kEntryTimeAt, static_cast<uint32_t>(stamp.time));
    setEntryField(entry, kEntryUsecsAt, static_cast<uint32_t>(stamp.usecs));
    setEntryField(entry, kEntryPidAt, static_cast<uint32_t>(stamp.pid));
    setEntryField(entry, kEntryTidAt, static_cast<uint32_t>(stamp.tid));
    std::memcpy(entry + kEntryTextAt, text, textLen);
    entry[kEntryTextAt + textLen] = '\0';
    end += L;

    *ring.begin = begin;
    *ring.end = end;
}

void xtr_add_entryP(const char *msg, int txt_length, unsigned long ulPID, unsigned long ulTID, unsigned long ulTime,
                    unsigned long ulUsecs) noexcept {
    RingRef ring{&xtr_hdrP.begin, &xtr_hdrP.end, xtr_hdrP.pbuffer, XTR_P_RING_SIZE, nullptr};
    ringInsert(ring, msg, txt_length, Stamp{ulPID, ulTID, ulTime, ulUsecs});
}

}  // namespace xtr
