// A writer and reader of the machine's trace buffer, built both as a 32-bit
// and as a 64-bit program, to check that both widths see one shared segment
// the same way.
//
//   interop write TAG COUNT   COUNT trace points "IOPTESTF: TAG n=N pad..."
//                             (every seventh unformatted, "IOPTESTT: ..."),
//                             then prints the writer's process id in hex
//   interop expect TAG COUNT  the texts `write` records, one a line
//   interop walk              the shared ring from begin to end, read here
//                             field by field from the layout, as lines
//                             "SSSSSSSSSS.UUUUUU PPPPPPPP:TTTTTTTT text"
//   interop fetch             the same lines through xtr_fetch
//   interop fetchpid PID      the same lines through xtr_fetch_pid_tid (PID hex)
//   interop layout            sizes and offsets of the shared layouts
//   interop header            begin, end, oldest, count, lost_msg, lock ids
//
// The walk formats with the C library, not with the facility, so it is an
// independent reading of the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kbvdtrac.h"
#include "ringwalk.h"

namespace {

std::string pad(long i) { return std::string(static_cast<size_t>((i * 37) % 300), static_cast<char>('a' + i % 26)); }

std::string text(const char *tag, long i) {
    char head[64];
    if (i % 7 == 3) {
        std::snprintf(head, sizeof head, "IOPTESTT: %s n=%ld ", tag, i);
    } else {
        std::snprintf(head, sizeof head, "IOPTESTF: %s n=%ld ", tag, i);
    }
    return head + pad(i);
}

int write(const char *tag, long count) {
    if (xtr::armWithoutTracing() == nullptr) return 3;
    for (long i = 0; i < count; i++) {
        if (i % 7 == 3) {
            const std::string t = text(tag, i);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
            xtr_trace(t.c_str());  // entry and exit points are recorded as written
#pragma GCC diagnostic pop
        } else {
            xtr_trace("IOPTESTF: %s n=%ld %s", tag, i, pad(i).c_str());
        }
    }
    std::printf("%08lX\n", xtr_getpid());
    return 0;
}

int expect(const char *tag, long count) {
    for (long i = 0; i < count; i++) std::printf("%s\n", text(tag, i).c_str());
    return 0;
}

int walk() {
    TRACE_HDR *h = xtr::armWithoutTracing();
    if (h == nullptr) return 3;
    if (xtr_lock_buf() != 0) return 3;
    const uint32_t begin = h->begin, end = h->end;
    std::vector<unsigned char> ring(h->pbuffer, h->pbuffer + sizeof h->pbuffer);
    xtr_unlock_buf();
    if (begin > XTR_RING_SIZE || end > XTR_RING_SIZE) return 4;
    uint32_t pos = begin;
    bool wrapped = false;
    int n = 0;
    while (pos != end) {
        uint16_t length;
        std::memcpy(&length, &ring[pos], sizeof length);
        if (length == 0 && !wrapped && pos != 0) {
            wrapped = true;
            pos = 0;
            continue;
        }
        if (length < XTR_MSG_OVERHEAD || pos + length > XTR_RING_SIZE) {
            std::fprintf(stderr, "walk: bad entry at %u (length %u)\n", pos, length);
            return 4;
        }
        uint32_t pid, tid, time, usecs;
        std::memcpy(&pid, &ring[pos + 4], 4);
        std::memcpy(&tid, &ring[pos + 8], 4);
        std::memcpy(&time, &ring[pos + 12], 4);
        std::memcpy(&usecs, &ring[pos + 16], 4);
        const std::string t(reinterpret_cast<const char *>(&ring[pos + XTR_MSG_HDR_LEN]), length - XTR_MSG_OVERHEAD);
        std::printf("%010u.%06u %08X:%08X %s\n", time, usecs % 1000000, pid, tid, t.c_str());
        pos += length;
        n++;
    }
    std::fprintf(stderr, "walk: %d entries\n", n);
    return 0;
}

int printLines(const std::vector<char> &buf) {
    for (size_t at = 0; at < buf.size() && buf[at] != '\0';) {
        const size_t n = strnlen(&buf[at], buf.size() - at);
        std::printf("%.*s\n", static_cast<int>(n), &buf[at]);
        at += n + 1;
    }
    return 0;
}

int fetch() {
    if (xtr::armWithoutTracing() == nullptr) return 3;
    std::vector<char> buf(256 * 1024);
    unsigned fetched = 0;
    SPRET frc = 0;
    const SPRET rc = xtr_fetch(buf.data(), 256, 1024, &fetched, &frc);
    if (rc != 0) {
        std::fprintf(stderr, "xtr_fetch: %d (%d)\n", rc, frc);
        return 4;
    }
    std::fprintf(stderr, "fetch: %u lines\n", fetched);
    return printLines(buf);
}

int fetchpid(unsigned long pid) {
    if (xtr::armWithoutTracing() == nullptr) return 3;
    std::vector<char> buf(256 * 1024);
    SPRET frc = 0;
    const SPRET rc = xtr_fetch_pid_tid(buf.data(), buf.size(), pid, 0, 0, &frc);
    if (rc != 0) {
        std::fprintf(stderr, "xtr_fetch_pid_tid: %d (%d)\n", rc, frc);
        return 4;
    }
    return printLines(buf);
}

#define OFF(f) std::printf("%-20s %zu\n", #f, offsetof(TRACE_HDR, f))
int layout() {
    std::printf("sizeof(TRACE_HDR)    %zu\nsizeof(TEMPLATE)     %zu\nsizeof(MSG)          %zu\n", sizeof(TRACE_HDR),
                sizeof(TEMPLATE), sizeof(MSG));
    OFF(eyecatcher);
    OFF(bInitialized);
    OFF(uBufferLock);
    OFF(max_file_size);
    OFF(abs_max_file_size);
    OFF(wrapposition);
    OFF(startposition);
    OFF(pid);
    OFF(active);
    OFF(cont);
    OFF(cont_running);
    OFF(not_first_file_open);
    OFF(uEventSem);
    OFF(lost_msg);
    OFF(count);
    OFF(begin);
    OFF(end);
    OFF(oldest);
    OFF(priority);
    OFF(trace_all);
    OFF(trace_none);
    OFF(pad);
    OFF(template_);
    OFF(template_length);
    OFF(type);
    OFF(pbuffer);
    std::printf("TEMPLATE.tid %zu tc %zu criteria %zu pad %zu\n", offsetof(TEMPLATE, tid), offsetof(TEMPLATE, tc),
                offsetof(TEMPLATE, criteria), offsetof(TEMPLATE, pad));
    std::printf("MSG.pid %zu tid %zu time %zu usecs %zu\n", offsetof(MSG, pid), offsetof(MSG, tid), offsetof(MSG, time),
                offsetof(MSG, usecs));
    return 0;
}

int header() {
    TRACE_HDR *h = xtr::armWithoutTracing();
    if (h == nullptr) return 3;
    std::printf("eyecatcher=%.16s initialized=%d lock=%u event=%u begin=%u end=%u oldest=%u count=%u lost=%u\n",
                h->eyecatcher, h->bInitialized, h->uBufferLock, h->uEventSem, h->begin, h->end, h->oldest, h->count,
                h->lost_msg);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "write" && argc == 4) return write(argv[2], std::atol(argv[3]));
    if (cmd == "expect" && argc == 4) return expect(argv[2], std::atol(argv[3]));
    if (cmd == "walk") return walk();
    if (cmd == "fetch") return fetch();
    if (cmd == "fetchpid" && argc == 3) return fetchpid(std::strtoul(argv[2], nullptr, 16));
    if (cmd == "layout") return layout();
    if (cmd == "header") return header();
    std::fprintf(stderr, "usage: interop write|expect TAG COUNT | walk | fetch | fetchpid PID | layout | header\n");
    return 2;
}
