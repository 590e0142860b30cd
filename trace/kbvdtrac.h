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

/* The process id recorded when the facility was first used by this
 * process (0 before). */
XTR_EXPORT unsigned long xtr_getpid(void);

/* The kernel id of the calling thread. */
XTR_EXPORT unsigned long xtr_gettid(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KBVDTRAC_H */
