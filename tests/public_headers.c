/*
 * Every public header compiles as strict C11 and links against the two
 * libraries; the trace call leaves errno as it found it.
 */
#include "kbvabase.h"
#include "kbvddfc.h"
#include "kbvdtequ.h"
#include "kbvdtrac.h"
#include "kbvepce.h"
#include "kbvwctod.h"

#include <errno.h>
#include <stdio.h>

int main(void) {
    errno = 4242;
    xtr_trace("XHDRCHKF: trace from C, value=%d", 7);
    if (errno != 4242) {
        fprintf(stderr, "xtr_trace changed errno from 4242 to %d\n", errno);
        return 1;
    }
    return 0;
}
