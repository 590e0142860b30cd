// Fuzzes the trace facility against a shared header full of garbage, as any
// process of the machine may leave it (the segment is mode 0666).
//
// The facility is armed once in a fresh IPC namespace.  Each input then
// overwrites the header: its first 342 bytes (every field before the ring:
// eyecatcher, flags, ids, begin, end, oldest, count, the templates, their
// lengths, the per-criteria lists) and chosen stretches of the ring, and
// then calls xtr_trace (formatted and unformatted), xtr_dump_bytes,
// xtr_fetch and xtr_fetch_pid_tid.  None may crash, hang or touch memory
// outside the 65880-byte segment.
//
// How accesses outside the segment are caught: the address checker does not
// watch shared memory, so the rest of the segment's last page (bytes 65880
// to the page end, 3752 bytes) is poisoned by hand: any read or write there
// is reported.  An access further out either lands in that poisoned tail
// first (every walk moves forward in steps of at most one entry, 536 bytes)
// or faults; a fault inside the facility is caught by its own trap, so the
// trap's traces and results are checked too: with valid arguments a trap
// means the facility itself touched bad memory.  After the calls begin and
// end must lie within 0..65536.
//
// One field is kept sane: a lock id that names the event semaphore set
// (the only other set in the namespace) makes every call wait out the
// documented two-second lock timeout, which is behaviour, not a fault.
#include <sanitizer/asan_interface.h>
#include <sched.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "kbvdtrac.h"
#include "ring.h"

namespace {

TRACE_HDR *gHdr = nullptr;
uint32_t gLockId = 0, gEventId = 0;
bool gKeepEventId = false;
constexpr size_t kSegment = sizeof(TRACE_HDR);  // 65880
constexpr size_t kFieldsBeforeRing = offsetof(TRACE_HDR, pbuffer);  // 342

bool ownRingHasTrap() {
    bool trap = false;
    xtr::walkRing(xtr::xtr_hdrP.pbuffer, XTR_P_RING_SIZE, xtr::xtr_hdrP.begin, xtr::xtr_hdrP.end,
                  [&](const MSG &, std::string_view text) {
                      if (text.find("UNEXPECTED TRAP") != text.npos ||
                          text.find("INVALID POINTER PASSED") != text.npos || text.find("BAD POINTER") != text.npos)
                          trap = true;
                  });
    return trap;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (unshare(CLONE_NEWIPC) != 0) {
        std::perror("unshare(CLONE_NEWIPC)");
        std::abort();
    }
    xtr_trace("FUZZHDRF: arming");
    gHdr = xtr_get_hdr();
    if (gHdr == nullptr) std::abort();
    gLockId = gHdr->uBufferLock;
    gKeepEventId = std::getenv("FUZZ_KEEP_EVENT_ID") != nullptr;
    gEventId = gHdr->uEventSem;
    const long page = sysconf(_SC_PAGESIZE);
    const size_t mapped =
        (kSegment + static_cast<size_t>(page) - 1) / static_cast<size_t>(page) * static_cast<size_t>(page);
    ASAN_POISON_MEMORY_REGION(reinterpret_cast<char *>(gHdr) + kSegment, mapped - kSegment);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    unsigned char *raw = reinterpret_cast<unsigned char *>(gHdr);
    // The fields before the ring.
    const size_t head = size < kFieldsBeforeRing ? size : kFieldsBeforeRing;
    std::memcpy(raw, data, head);
    // Then records (offset low, offset high, count, bytes) into the ring.
    size_t pos = head;
    while (pos + 3 <= size) {
        const size_t at = (data[pos] | static_cast<size_t>(data[pos + 1]) << 8) % (XTR_RING_SIZE + 2);
        size_t n = data[pos + 2];
        pos += 3;
        if (n > size - pos) n = size - pos;
        if (n > XTR_RING_SIZE + 2 - at) n = XTR_RING_SIZE + 2 - at;
        std::memcpy(gHdr->pbuffer + at, data + pos, n);
        pos += n;
    }
    if (gHdr->uBufferLock == gEventId && gEventId != gLockId) gHdr->uBufferLock = gLockId;
    // With FUZZ_KEEP_EVENT_ID set, an event id that names the lock set is
    // put back too, so that a campaign can look past that known hang.
    if (gKeepEventId && gHdr->uEventSem == gHdr->uBufferLock) gHdr->uEventSem = gEventId;
    // A live reader that asks for pacing costs 1 ms per call: keep it rare.
    gHdr->priority = 0;

    xtr_trace("FUZZHDRF: formatted %d [%s]", static_cast<int>(size), "arg");
    xtr_trace("FUZZHDRT: unformatted");
    xtr_trace("FUZZHDRD: detail %u", static_cast<unsigned>(size));
    xtr_dump_bytes("FUZZHDRF: dump", data, static_cast<unsigned>(size < 100 ? size : 100));

    static char out[64 * 1024];
    unsigned fetched = 0;
    SPRET frc = 0;
    SPRET rc = xtr_fetch(out, 64, 1024, &fetched, &frc);
    if (rc == 2) {
        std::fprintf(stderr, "xtr_fetch returned 2 (fun_rc %d) for a valid buffer\n", frc);
        __builtin_trap();
    }
    if (fetched > 64 * 1024 / XTR_MSG_OVERHEAD) __builtin_trap();
    rc = xtr_fetch_pid_tid(out, sizeof out, 0, 0, 0, &frc);
    if (rc == 2) {
        std::fprintf(stderr, "xtr_fetch_pid_tid returned 2 (fun_rc %d) for a valid buffer\n", frc);
        __builtin_trap();
    }
    rc = xtr_fetch_pid_tid(out, 3000, xtr_getpid() + 1, 0, 0, &frc);
    if (rc == 2) __builtin_trap();

    if (gHdr->begin > XTR_RING_SIZE || gHdr->end > XTR_RING_SIZE) {
        std::fprintf(stderr, "after the calls begin=%u end=%u\n", gHdr->begin, gHdr->end);
        __builtin_trap();
    }
    if (ownRingHasTrap()) {
        std::fprintf(stderr, "the facility trapped a fault of its own\n");
        __builtin_trap();
    }
    return 0;
}
