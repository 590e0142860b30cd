// The trace ring as every writer and reader sees it: the format of an
// entry, the numbers of the continuous reader's protocol, and the one walk
// over a ring (used by the facility's retrieval, its insertion to tell a
// damaged entry from a good one, the tests and xtrctl).  A ring holds MSG
// entries packed at any byte offset; a length of 0 is a wrap marker (the
// next entry is at offset 0).  Internal, header-only so that xtrctl reads a
// copy of the ring by the same rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "kbvdtequ.h"
#include "kbvdtrac.h"

namespace xtr {

// --- the entry format ---
//
//   offset 0 length (u16)  2 pad  4 pid  8 tid  12 time  16 usecs  20 text, NUL
//
// length = text length + 24; 0 marks a wrap.  Fields are read and written
// with memcpy through these offsets, never through a MSG pointer.

// The longest text an entry carries (the formatter's limit), and so the
// longest entry a writer makes.
inline constexpr uint32_t kMaxEntryText = 512;
inline constexpr uint32_t kMaxRingEntry = XTR_MSG_OVERHEAD + kMaxEntryText;

inline constexpr size_t kEntryLengthAt = offsetof(MSG, length);
inline constexpr size_t kEntryPidAt = offsetof(MSG, pid);
inline constexpr size_t kEntryTidAt = offsetof(MSG, tid);
inline constexpr size_t kEntryTimeAt = offsetof(MSG, time);
inline constexpr size_t kEntryUsecsAt = offsetof(MSG, usecs);
inline constexpr size_t kEntryTextAt = XTR_MSG_HDR_LEN;
static_assert(kEntryLengthAt == 0 && kEntryPidAt == 4 && kEntryTidAt == 8 && kEntryTimeAt == 12 &&
                  kEntryUsecsAt == 16 && kEntryTextAt == sizeof(MSG) && kEntryTextAt == 20,
              "the documented entry layout");
static_assert(kMaxRingEntry == 536 && kMaxRingEntry <= UINT16_MAX, "an entry length fits its field");

// The length of the entry at `entry` (0 for a wrap marker).
inline uint16_t entryLength(const unsigned char *entry) {
    uint16_t v;
    std::memcpy(&v, entry + kEntryLengthAt, sizeof v);
    return v;
}

inline void setEntryLength(unsigned char *entry, uint16_t length) {
    std::memcpy(entry + kEntryLengthAt, &length, sizeof length);
}

// Writes one of the entry's 32-bit fields (kEntryPidAt ... kEntryUsecsAt).
inline void setEntryField(unsigned char *entry, size_t at, uint32_t v) { std::memcpy(entry + at, &v, sizeof v); }

// True when an entry of `length` at `pos` is one a writer could have left:
// a length from 24 to 536 that ends inside a ring of `size` bytes.
constexpr bool entryFits(uint32_t length, uint32_t pos, uint32_t size) {
    return length >= XTR_MSG_OVERHEAD && length <= kMaxRingEntry && pos <= size && length <= size - pos;
}

// --- the continuous reader's protocol ---
//
// `count` in the header says how many entries wait for the registered
// reader: every insertion into the shared ring adds one, and the reader
// sets it back whenever it takes entries.  A writer posts the event
// semaphore once more than kWakeReaderAbove entries wait (then again every
// kRepostEvery insertions while the reader shows no progress); with
// priority asked for, it pauses kWriterPauseMicros after its trace point
// while more than kPauseWriterAbove wait, as long as the reader has shown
// progress within kReaderStallMillis.
inline constexpr uint32_t kWakeReaderAbove = 100;
inline constexpr uint32_t kRepostEvery = 64;
inline constexpr uint32_t kPauseWriterAbove = 200;
inline constexpr unsigned kWriterPauseMicros = 1000;
inline constexpr long kReaderStallMillis = 1000;

// Arms the calling process (attaching the trace buffer, creating it when
// there is none) without recording anything; the attached header, or null
// when the facility cannot arm.  For programs that read or steer the buffer
// through the exported calls: a retrieval call arms before it looks at its
// arguments, and with a buffer id other than 0 it then returns at once,
// having read nothing and recorded nothing.
inline TRACE_HDR *armWithoutTracing() noexcept {
    if (TRACE_HDR *h = xtr_get_hdr()) return h;
    char none[4] = {};
    SPRET rc = 0;
    (void)xtr_fetch_pid_tid(none, 0, 0, 0, 1, &rc);
    return xtr_get_hdr();
}

// --- the walk ---

// What a walk found.
struct RingWalk {
    uint32_t entries = 0;
    uint32_t bytes = 0;  // sum of the entries' lengths
    bool damaged = false;  // stopped at something no writer leaves
    uint32_t damageAt = 0;  // the offset where it stopped
    uint32_t damageLength = 0;  // the length read there (0 for an offset beyond the ring)
};

// Visits the entries from `from` up to `end` in ring order.  The walk moves
// by each entry's length only, so no byte inside an entry (a NUL in its
// text, say) can end it.  It follows a wrap marker only when the range
// wraps (from > end), only once, and never at offset 0.  Damage ends it: an
// offset beyond the ring, a length no writer makes (entryFits), a marker
// where the range does not wrap, or a walk that runs past `end` without
// meeting it.  Each step advances by at least 24 bytes or wraps once, so a
// walk always ends, whatever the ring holds.
//
// visit(pos, header, text) or visit(header, text) sees each entry; `text` is
// its length - 24 bytes as stored (without the terminating NUL).  A visit
// that returns bool ends the walk by returning false.
template <class Visit>
RingWalk walkRing(const unsigned char *buffer, uint32_t size, uint32_t from, uint32_t end, Visit &&visit) {
    RingWalk w;
    const auto damage = [&w](uint32_t at, uint32_t length) {
        w.damaged = true;
        w.damageAt = at;
        w.damageLength = length;
        return w;
    };
    if (from > size) return damage(from, 0);
    if (end > size) return damage(end, 0);
    const bool wraps = from > end;
    bool wrapped = false;
    uint32_t pos = from;
    while (pos != end) {
        const uint16_t length = entryLength(buffer + pos);  // pos <= size: the ring has 2 bytes to spare
        if ((wrapped || !wraps) && pos > end) return damage(pos, length);
        if (length == 0 && wraps && !wrapped && pos != 0) {
            wrapped = true;
            pos = 0;
            continue;
        }
        if (!entryFits(length, pos, size)) return damage(pos, length);
        MSG header;
        std::memcpy(&header, buffer + pos, sizeof header);
        const std::string_view text(reinterpret_cast<const char *>(buffer + pos + kEntryTextAt),
                                    length - XTR_MSG_OVERHEAD);
        w.entries++;
        w.bytes += length;
        if constexpr (std::is_invocable_v<Visit, uint32_t, const MSG &, std::string_view>) {
            using R = std::invoke_result_t<Visit, uint32_t, const MSG &, std::string_view>;
            if constexpr (std::is_same_v<R, bool>) {
                if (!visit(pos, static_cast<const MSG &>(header), text)) return w;
            } else {
                visit(pos, static_cast<const MSG &>(header), text);
            }
        } else {
            visit(static_cast<const MSG &>(header), text);
        }
        pos += length;
    }
    return w;
}

}  // namespace xtr
