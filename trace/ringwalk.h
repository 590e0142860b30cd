// The one walk over a trace ring, used by every reader: the facility's
// retrieval, its insertion (to tell a damaged entry from a good one), the
// tests and xtrctl.  A ring holds MSG entries packed at any byte offset; a
// length of 0 is a wrap marker (the next entry is at offset 0).  Internal,
// header-only so that xtrctl walks a copy of the ring by the same rule.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "kbvdtequ.h"

namespace xtr {

// The longest entry a writer makes: 512 characters of text.
constexpr uint32_t kMaxRingEntry = XTR_MSG_OVERHEAD + 512;

// True when an entry of `length` at `pos` is one a writer could have left:
// a length from 24 to 536 that ends inside a ring of `size` bytes.
constexpr bool entryFits(uint32_t length, uint32_t pos, uint32_t size) {
    return length >= XTR_MSG_OVERHEAD && length <= kMaxRingEntry && pos <= size && length <= size - pos;
}

// What a walk found.
struct RingWalk {
    uint32_t entries = 0;
    uint32_t bytes = 0;         // sum of the entries' lengths
    bool damaged = false;       // stopped at something no writer leaves
    uint32_t damageAt = 0;      // the offset where it stopped
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
        uint16_t length;
        std::memcpy(&length, buffer + pos, sizeof length);  // pos <= size: the ring has 2 bytes to spare
        if ((wrapped || !wraps) && pos > end) return damage(pos, length);
        if (length == 0 && wraps && !wrapped && pos != 0) {
            wrapped = true;
            pos = 0;
            continue;
        }
        if (!entryFits(length, pos, size)) return damage(pos, length);
        MSG header;
        std::memcpy(&header, buffer + pos, sizeof header);
        const std::string_view text(reinterpret_cast<const char *>(buffer + pos + XTR_MSG_HDR_LEN),
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
