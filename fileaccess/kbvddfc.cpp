// The file-access library: resolves logical file names through the control
// file and gives create/replace opens, I/O, queries, copy and listings.
// This file holds what every part of it shares: the hard-error report, the
// bounded string helpers and the replaceable platform calls.
#include <cstring>

#include "internal.h"

static_assert(sizeof(xdfc_list_file_templ) == 78, "a listing record is 78 bytes");

XdfcHooks xdfc_hooks{&std::fopen, &usleep};

SPRET xdfc_hard_err(unsigned int uErrorID, SPRET ulComprc, const void * /*pvString*/) noexcept {
    switch (ulComprc) {
    case EIO:
    case ENXIO:
    case EBUSY:
    case ENODEV:
        xtr_trace("XDFCHE F: HARDWARE ERROR! uErrorID=%d, ulComprc=%ld", static_cast<int>(uErrorID),
                  static_cast<long>(ulComprc));
        return 8;
    default:
        return 2;
    }
}

bool copyBounded(char *dst, std::size_t dstSize, const char *src) noexcept {
    const std::size_t n = std::strlen(src);
    if (n >= dstSize) {
        if (dstSize > 0) dst[0] = '\0';
        return false;
    }
    std::memcpy(dst, src, n + 1);
    return true;
}

bool joinPath(char (&out)[kPathSize], const char *dir, const char *name) noexcept {
    const std::size_t d = std::strlen(dir);
    const std::size_t n = std::strlen(name);
    const bool slash = d == 0 || dir[d - 1] != '/';
    if (d + (slash ? 1 : 0) + n >= kPathSize) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, dir, d);
    if (slash) out[d] = '/';
    std::memcpy(out + d + (slash ? 1 : 0), name, n + 1);
    return true;
}
