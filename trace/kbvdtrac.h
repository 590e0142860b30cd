/*
 * kbvdtrac.h - the trace call.
 *
 * Every trace point is one call of xtr_trace whose format begins with a
 * nine-character prefix: a seven-character component identifier (upper
 * case, digits, '_', blank padded), a criteria letter and ':'.
 *
 *   T  entry and exit of a function; recorded as written, never formatted
 *   F  events, requests, results and failures; formatted
 *   D  detail (argument dumps, search steps); formatted
 *   L  a fourth class; formatted
 *
 *   xtr_trace("XREMHSTT: -> updateHostsFile");
 *   xtr_trace("XREMHSTF: rename() of %s to %s failed; errno=%d", a, b, errno);
 */
#ifndef KBVDTRAC_H
#define KBVDTRAC_H

#include <pthread.h>

#include "kbvdtequ.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result of the facility's calls: a signed int, 0 for success. */
typedef int SPRET;

#if defined(__GNUC__)
#define XTR_EXPORT __attribute__((visibility("default")))
#define XTR_PRINTF_CHECK __attribute__((format(printf, 1, 2)))
#else
#define XTR_EXPORT
#define XTR_PRINTF_CHECK
#endif

/* Records one trace point.  Returns nothing and never fails its caller:
 * a format shorter than 8 or longer than 511 characters or with an
 * unknown criteria letter is reported as a trace point of component
 * "XTR    " instead.  errno is the same on return as on entry.  Safe to
 * call from any thread. */
XTR_EXPORT void xtr_trace(const char *text, ...) XTR_PRINTF_CHECK;

/* Serialises the trace calls of a process (recursive).  Hold it only
 * briefly; a thread that holds it may itself trace. */
XTR_EXPORT extern pthread_mutex_t xtr_mutex_sem;

/* The process id recorded when this process armed the facility, that is
 * attached the shared trace buffer on its first trace call (0 before). */
XTR_EXPORT unsigned long xtr_getpid(void);

/* The kernel id of the calling thread. */
XTR_EXPORT unsigned long xtr_gettid(void);

/* The attached shared trace header, or null before arming.  Does not arm. */
XTR_EXPORT PTRACE_HDR xtr_get_hdr(void);

/* 1 when this process found the shared buffer already created by another
 * process, else 0. */
XTR_EXPORT int xtr_was_trace_running(void);

/* Derives the selection fields (template lengths, the per-criteria lists,
 * trace_all, trace_none, active) from the ten templates of the attached
 * header and normalises the templates.  For a controller that changed the
 * templates of a live buffer; takes no lock itself. */
XTR_EXPORT void xtr_build_control_information(void);

/* Take and release the buffer lock shared by every process of the machine
 * (not recursive).  0, or -1 with errno.  Valid only after arming. */
XTR_EXPORT int xtr_lock_buf(void);
XTR_EXPORT int xtr_unlock_buf(void);

/* The event flag a continuous reader waits on.  Post sets it to 0 and wakes
 * every waiter; reset sets it to 1; wait blocks until it is 0 (-1 when the
 * wait fails or a signal interrupts it).  Valid only after arming. */
XTR_EXPORT int xtrPostEventSem(void);
XTR_EXPORT int xtrResetEventSem(void);
XTR_EXPORT int xtrWaitEventSem(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KBVDTRAC_H */
