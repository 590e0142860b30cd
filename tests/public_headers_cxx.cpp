// Every public header compiles in a C++ translation unit; the trace call
// leaves errno as it found it.
#include "kbvabase.h"
#include "kbvddfc.h"
#include "kbvdtequ.h"
#include "kbvdtrac.h"
#include "kbvepce.h"
#include "kbvwctod.h"

#include <cerrno>
#include <cstdio>

int main() {
    errno = 4242;
    xtr_trace("XHDRCHKF: trace from C++, value=%d", 7);
    if (errno != 4242) {
        std::fprintf(stderr, "xtr_trace changed errno from 4242 to %d\n", errno);
        return 1;
    }
    return 0;
}
