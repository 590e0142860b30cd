// Byte dumps: a memory area recorded as trace entries of 32 bytes each in
// hexadecimal, under the same selection as trace points.
#include <cerrno>
#include <cstring>

#include "facility.h"
#include "kbvdtrac.h"
#include "kbvepce.h"
#include "probe.h"
#include "recording.h"

namespace xtr {

namespace {

constexpr int kMinPrefix = 8;
constexpr int kMaxPrefix = 100;
constexpr unsigned kBytesPerLine = 32;

// The line work area: the longest prefix, the groups (a blank and eight
// hexadecimal digits for every four bytes), a NUL.  Used only while
// xtr_mutex_sem is held.
char dumpLine[kMaxPrefix + kBytesPerLine / 4 * 9 + 1];

// Builds one line: the prefix, then the bytes in groups of four, a blank
// before each group.  Returns the line's length.
__attribute__((no_sanitize("address", "undefined"))) int buildDumpLine(const char *prefix, int prefixLength,
                                                                       const volatile unsigned char *bytes,
                                                                       unsigned count) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::memcpy(dumpLine, prefix, static_cast<size_t>(prefixLength));
    char *out = dumpLine + prefixLength;
    for (unsigned i = 0; i < count; i++) {
        if (i % 4 == 0) *out++ = ' ';
        const unsigned char b = bytes[i];
        *out++ = kHex[b >> 4];
        *out++ = kHex[b & 0xF];
    }
    *out = '\0';
    return static_cast<int>(out - dumpLine);
}

}  // namespace
}  // namespace xtr

using namespace xtr;

extern "C" void xtr_dump_bytes(const char *prefix, const void *addr, unsigned int n) {
    if (!isArmed() && arm_trace() != 0) return;
    const int iErrnoSave = errno;
    int prefixLength = 0;
    if (xpce_ckstr_tr(prefix, &prefixLength) != 0) {
        xtr_trace("XTR    T:#### BAD XTR_DUMP_BYTES PREFIX POINTER!!!!!");
        return;
    }
    if (prefixLength < kMinPrefix) {
        xtr_trace("XTR    F:#### XTR_DUMP_BYTES PREFIX  [%s] TOO short!!!!!!", prefix);
        return;
    }
    if (prefixLength > kMaxPrefix) {
        char first[21];
        std::memcpy(first, prefix, 20);
        first[20] = '\0';
        xtr_trace("XTR    F:#### XTR_DUMP_BYTES PREFIX  [%s] TOO LONG!!!!!!", first);
        return;
    }
    TRACE_HDR *h = header();
    const char letter = prefix[7];
    bool selected = false;
    if (criteriaIndex(letter) >= 0) {
        selected = h->trace_all[criteriaIndex(letter)] != 0;
    } else {
        xtr_trace("XTR    F:#### INVALID XTR_DUMP_BYTES PREFIX TRACE CRITERIA [%c] in [%s]", letter, prefix);
    }
    int ignored;
    if (!selected) selected = pre_screen(prefix, &ignored) == 0;

    // The count is taken as signed: 0 and counts of 2^31 and more dump nothing.
    const int count = static_cast<int>(n);
    if (!probeWord(addr, count > 0 ? static_cast<size_t>(count) : 0)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
        xtr_trace("XTRACE F: [%s] #### BAD POINTER (%Fp) PASSED TO xtr_dump_bytes!!!!!", prefix, addr);
#pragma GCC diagnostic pop
        return;
    }
    const unsigned long ulPID = xtr_getpid(), ulTID = xtr_gettid();
    const auto *bytes = static_cast<const volatile unsigned char *>(addr);
    unsigned remaining = count > 0 ? static_cast<unsigned>(count) : 0;
    bool badArea = false;
    while (remaining > 0) {
        const unsigned chunk = remaining < kBytesPerLine ? remaining : kBytesPerLine;
        SharedWrite shared;
        // Every byte is read inside the guarded section: an area whose
        // middle cannot be read is reported, not fatal.
        const GuardResult r = runGuarded(
            [&] {
                const int length = buildDumpLine(prefix, prefixLength, bytes, chunk);
                record(shared, dumpLine, length, stampNow(ulPID, ulTID), selected, h);
            },
            [&] { releaseShared(shared); });
        if (r != GuardResult::Done) {
            badArea = r == GuardResult::Trapped;
            break;
        }
        bytes += chunk;
        remaining -= chunk;
        paceForReader(shared);
    }
    if (badArea) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
        xtr_trace("XTRACE F: [%s] #### BAD POINTER (%Fp) PASSED TO xtr_dump_bytes!!!!!", prefix, addr);
#pragma GCC diagnostic pop
    }
    errno = iErrnoSave;
}
