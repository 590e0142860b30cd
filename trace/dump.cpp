// Byte dumps: a memory area recorded as trace entries of 32 bytes each in
// hexadecimal, under the same selection as trace points.
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "facility.h"
#include "kbvdtrac.h"
#include "kbvepce.h"
#include "probe.h"
#include "ring.h"

namespace xtr {

namespace {

constexpr int kMinPrefix = 8;
constexpr int kMaxPrefix = 100;
constexpr unsigned kBytesPerLine = 32;

// The line work area: the longest prefix, 72 characters of groups, a NUL.
// Used only while xtr_mutex_sem is held.
char dumpLine[200];

// Builds one line: the prefix, then the bytes in groups of four, a blank
// before each group.  Returns the line's length.
__attribute__((no_sanitize("address", "undefined"))) int buildDumpLine(const char *prefix, int prefixLength, const volatile unsigned char *bytes, unsigned count) {
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
        volatile int locked = 0, lockId = -1, pause = 0;
        // Every byte is read inside the guarded section: an area whose
        // middle cannot be read is reported, not fatal.  The own ring is
        // guarded by xtr_mutex_sem; only the shared ring needs the lock.
        const GuardResult r = runGuarded(
            [&] {
                const int length = buildDumpLine(prefix, prefixLength, bytes, chunk);
                timeval tv{};
                gettimeofday(&tv, nullptr);
                const auto sec = static_cast<unsigned long>(tv.tv_sec);
                const auto usec = static_cast<unsigned long>(tv.tv_usec);
                xtr_add_entryP(dumpLine, length, ulPID, ulTID, sec, usec);
                if (!selected) return;
                int id;
                if (!lockShared(&id)) {
                    noteMissedShared(1);
                    return;
                }
                lockId = id;
                locked = 1;
                xtr_add_entry(dumpLine, length, ulPID, ulTID, sec, usec, h);
                pause = pauseForReader();
            },
            [&] {
                if (locked) unlockShared(lockId);
            });
        if (r != GuardResult::Done) {
            badArea = r == GuardResult::Trapped;
            break;
        }
        bytes += chunk;
        remaining -= chunk;
        if (pause) usleep(1000);
    }
    if (badArea) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
        xtr_trace("XTRACE F: [%s] #### BAD POINTER (%Fp) PASSED TO xtr_dump_bytes!!!!!", prefix, addr);
#pragma GCC diagnostic pop
    }
    errno = iErrnoSave;
}
