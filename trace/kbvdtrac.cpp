// The trace call.  Each call checks the trace-point prefix, selects the
// trace point against the templates of the shared header, formats it with
// the facility's own formatter and inserts it, stamped with time, process
// and thread, into the process's own ring and, when selected, into the
// shared ring.  All of it runs in a guarded section, so a bad format or
// argument pointer becomes a trap report instead of a crash.  A trace call
// never fails its caller and leaves errno as it found it.
#include "kbvdtrac.h"

#include <pthread.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string.h>

#include "facility.h"
#include "formatter.h"
#include "recording.h"

extern "C" {
// Serialises trace calls of the process and guards the statics below.
// Recursive, so code that already holds it may trace.
XTR_EXPORT pthread_mutex_t xtr_mutex_sem = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
}

namespace xtr {

namespace {

// The formatted text of the current trace call: room for the most the
// formatter writes.
char msg[kFormatDestSize];

// How far the current trace call got; names the cause of a trap.  The
// numbers are the documented step numbers that an unexpected trap reports.
enum class TraceStep : int {
    None = 0,
    CheckPointer = 1,  // reading the format: a fault means a bad format pointer
    TooShort = 2,  // rejected: fewer than kMinFormat characters
    TooLong = 3,  // rejected: more than kMaxFormat characters
    CheckCriteria = 4,  // the criteria letter and the selection
    Format = 5,  // stamping and formatting: a fault means a bad argument pointer
    Record = 6,  // locking and inserting
};
volatile TraceStep iStep = TraceStep::None;
int iInternalTrap = 0;

constexpr int kMinFormat = 8;  // identifier and criteria letter at least
constexpr int kMaxFormat = 511;

// Leaves the protected work as a caught fault does.
void reject() { guard.iTrap = 1; }

// The protected work of one trace call (runs inside the guarded section).
// What must survive a jump back to the section's start is kept in the
// caller's SharedWrite.
void traceWork(const char *text, va_list args, SharedWrite &shared) {
    iStep = TraceStep::CheckPointer;
    if (text == nullptr) return reject();
    int tmplength = static_cast<int>(::strnlen(text, kMaxFormat + 1));  // faults on a bad pointer
    if (tmplength < kMinFormat) {
        iStep = TraceStep::TooShort;
        return reject();
    }
    if (tmplength > kMaxFormat) {
        iStep = TraceStep::TooLong;
        return reject();
    }
    iStep = TraceStep::CheckCriteria;
    const int criteria = criteriaIndex(text[7]);
    if (criteria < 0) return reject();
    TRACE_HDR *h = header();
    const bool traceit = h->trace_all[criteria] != 0 || pre_screen(text, &tmplength) == 0;

    iStep = TraceStep::Format;
    const Stamp stamp = stampNow(xtr_getpid(), xtr_gettid());
    const char *entry = text;  // entry and exit texts are recorded as written
    if (text[7] != 'T') {
        tmplength = myvsprintf(msg, text, args);  // faults on a bad argument pointer
        entry = msg;
    }

    iStep = TraceStep::Record;
    record(shared, entry, static_cast<uint16_t>(tmplength), stamp, traceit, h);
}

// Reports a trace call that was rejected or faulted, as a trace point of the
// facility's own, once the trace mutex is released.
void reportTrap(TraceStep step, const char *text) {
    switch (step) {
        case TraceStep::CheckPointer:
            xtr_trace("XTR    F:#### BAD TRACE ENTRY POINTER [%p] !!!!!", static_cast<const void *>(text));
            break;
        case TraceStep::TooShort:
            xtr_trace("XTR    F:#### TRACE ENTRY [%s] TOO short!!!!!!", text);
            break;
        case TraceStep::TooLong: {
            char first[21];
            std::memcpy(first, text, 20);
            first[20] = '\0';
            xtr_trace("XTR    F:#### TRACE ENTRY [%s] TOO LONG!!!!!!", first);
            break;
        }
        case TraceStep::CheckCriteria:
            xtr_trace("XTR    F:#### INVALID TRACE CRITERIA [%c] in [%s]", text[7], text);
            break;
        case TraceStep::Format:
            xtr_trace("XTR    F:#### INVALID POINTER PASSED TO xtr_trace");
            break;
        default:
            diagnostic("XTR    F:#### UNEXPECTED TRAP IN xtr_trace!!!!! iStep=%d\n", static_cast<int>(step));
            if (iInternalTrap == 0) {
                iInternalTrap = 1;
                xtr_trace("XTR    F:#### UNEXPECTED TRAP IN xtr_trace!!!!! iStep=%d", static_cast<int>(step));
            }
            break;
    }
}

}  // namespace

int pre_screen(const char *text, int *length) noexcept {
    *length = static_cast<int>(std::strlen(text));
    const int criteria = criteriaIndex(text[7]);
    if (criteria < 0) return 1;
    const TRACE_HDR *h = header();
    if (h->trace_all[criteria]) return 0;
    // Counts, template numbers and lengths come from a segment any process
    // may write: each is bounded before it is used.
    unsigned n = h->type[criteria][0];
    if (n > XTR_TEMPLATES) n = XTR_TEMPLATES;
    const unsigned long pid = xtr_getpid(), tid = xtr_gettid();
    for (unsigned j = 1; j <= n; j++) {
        const unsigned i = h->type[criteria][j];
        if (i >= XTR_TEMPLATES) continue;
        TEMPLATE t;
        std::memcpy(&t, &h->template_[i], sizeof t);
        if (t.pid != 0 && t.pid != pid) continue;
        if (t.tid != 0 && t.tid != tid) continue;
        size_t len = h->template_length[i];
        if (len > sizeof t.tc) len = sizeof t.tc;
        if (std::memcmp(text, t.tc, len) != 0) continue;
        return t.criteria[criteria] == '-' ? 1 : 0;
    }
    return 1;
}

}  // namespace xtr

using namespace xtr;

extern "C" void xtr_trace(const char *text, ...) {
    const int iErrnoSave = errno;
    if (!isArmed() && arm_trace() != 0) {
        errno = iErrnoSave;
        return;
    }
    SharedWrite shared;
    volatile TraceStep step = TraceStep::None;
    va_list args;
    va_start(args, text);
    const GuardResult result = runGuarded([&] { traceWork(text, args, shared); },
                                          [&] {
                                              releaseShared(shared);
                                              step = iStep;
                                          });
    va_end(args);
    if (result == GuardResult::Trapped) reportTrap(step, text);
    // A continuous reader that lags behind, and keeps reading, gets a moment
    // to catch up.
    paceForReader(shared);
    errno = iErrnoSave;
}
