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

/* Records the n bytes at addr as entries of 32 bytes each in hexadecimal,
 * every line starting with `prefix` (8 to 100 characters, a trace-point
 * prefix first).  Selected like a trace point.  A bad prefix or area is
 * reported as a trace point of the facility's own. */
XTR_EXPORT void xtr_dump_bytes(const char *prefix, const void *addr, unsigned int n);

/* Retrieval: copy ring entries out as NUL-terminated text lines, oldest
 * first, each "SSSSSSSSSS.UUUUUU PPPPPPPP:TTTTTTTT text" (ids in hex).
 * The buffer is cleared first; lines follow one another, each with its NUL.
 * Results: 2 when the facility cannot be armed or the buffer (or buffer id)
 * is refused, with *fun_rc_ptr 1 for a buffer that cannot be read and 2 for
 * a buffer id other than 0; otherwise 0, or -1 when the buffer lock could
 * not be taken (the entries are then read without it). */

/* The newest entries of the shared ring that fit in num_traces * line_length
 * bytes, up to the caller's own last entry; *num_fetched lines. */
XTR_EXPORT SPRET xtr_fetch(char *pbuffer, unsigned int num_traces, unsigned int line_length, unsigned int *num_fetched,
                           SPRET *fun_rc_ptr);

/* The newest entries of process ulPid and thread ulTid (0: any) that fit in
 * ulBufferSize bytes; for the caller's own process from its own ring. */
XTR_EXPORT SPRET xtr_fetch_pid_tid(char *pbuffer, unsigned long ulBufferSize, unsigned long ulPid, unsigned long ulTid,
                                   int iBufferID, SPRET *fun_rc_ptr);

/* The caller's own process, and the caller's own thread, from its own ring. */
XTR_EXPORT SPRET xtr_fetch_pid(char *pbuffer, unsigned long ulBufferSize, SPRET *fun_rc_ptr);
XTR_EXPORT SPRET xtr_fetch_tid(char *pbuffer, unsigned long ulBufferSize, SPRET *fun_rc_ptr);

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
