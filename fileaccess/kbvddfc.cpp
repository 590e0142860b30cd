// The file-access library: resolves logical file names through the control
// file and gives create/replace opens, I/O, queries, copy and listings.
#include "kbvddfc.h"
