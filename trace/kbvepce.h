/*
 * kbvepce.h - guarded pointer checks.
 *
 * Tests, without risk of a crash, whether memory handed in by a caller can
 * be read.  A fault during the test is caught and reported as the result.
 */
#ifndef KBVEPCE_H
#define KBVEPCE_H

#include "kbvdtrac.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when the string can be read up to its NUL (its length then goes to
 * *lenptr), 2 when reading it faults or the check cannot run (*lenptr is
 * then untouched). */
XTR_EXPORT SPRET xpce_ckstr_tr(const char *strptr, int *lenptr);

/* 0 when one word of the area can be read, 2 otherwise: the last four bytes
 * (at pointer + size - 4) when size is above 4, else the four bytes at
 * pointer.  Nothing else is read; the area is not tested for writing. */
XTR_EXPORT SPRET xpce_ckptr_tr(const void *pointer, int size);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KBVEPCE_H */
