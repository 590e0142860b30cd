// Fuzzes the reading of snapshot files (xtrctl show/status/export --from):
// a file can come from anywhere, damaged or made up.
//
// Each input is read twice: as a whole snapshot file, which must be refused
// with a reason unless it is one; and as the start of a segment (the rest
// zero) wrapped in a valid snapshot, so that any header and ring content
// reaches the ring walk, the text forms and the timeline export.  None may
// crash, hang or read outside the copy, and what comes out must be one line
// per entry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "xtrctl.h"

namespace {

void fail(const char *what) {
    std::fprintf(stderr, "snapshot_fuzz: %s\n", what);
    std::abort();
}

void useCopy(const xtrctl::SegmentCopy &c) {
    const TRACE_HDR &h = *c.hdr;
    std::vector<xtrctl::Entry> entries;
    const uint32_t end = h.end > xtrctl::kRingSize ? 0 : h.end, begin = h.begin > xtrctl::kRingSize ? 0 : h.begin;
    const xtrctl::Walk w = xtrctl::collect(h.pbuffer, begin, end, entries);
    if (w.entries != entries.size() || w.bytes > 2 * xtrctl::kRingSize) fail("walk counts");
    std::vector<xtrctl::Entry> unread;
    (void)xtrctl::collect(h.pbuffer, h.oldest, h.end, unread);
    for (const xtrctl::Entry &e : entries) {
        if (e.text.size() > 512) fail("entry longer than a writer makes");
        const std::string line = xtrctl::fetchedLine(e), json = xtrctl::jsonLine(e);
        if (line.find_first_of(std::string_view("\n\r\x1b\0", 4)) != std::string::npos) fail("raw control in a line");
        if (json.find_first_of(std::string_view("\n\r\x1b\0", 4)) != std::string::npos) fail("raw control in JSON");
    }
    const std::string timeline = xtrctl::traceEvents(entries);
    if (timeline.rfind("{\"displayTimeUnit\"", 0) != 0) fail("timeline form");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    xtrctl::SegmentCopy whole;
    std::string error;
    if (xtrctl::decodeSnapshot(bytes, whole, error)) {
        useCopy(whole);
    } else if (error.empty()) {
        fail("refused without a reason");
    }

    xtrctl::SegmentCopy made;
    std::memcpy(made.hdr.get(), data, std::min(size, sizeof(TRACE_HDR)));
    const std::string file = xtrctl::encodeSnapshot(made);
    xtrctl::SegmentCopy back;
    if (!xtrctl::decodeSnapshot(file, back, error)) fail("a snapshot it made is refused");
    if (std::memcmp(back.hdr.get(), made.hdr.get(), sizeof(TRACE_HDR)) != 0) fail("round trip");
    useCopy(back);
    return 0;
}
