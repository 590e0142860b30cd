// The file-access library: resolves logical file names through the control
// file and gives create/replace opens, I/O, queries, copy and listings.
// This file holds what every part of it shares: the hard-error report, the
// resolve-open-stat step, the bounded string helpers and the replaceable
// platform calls.
#include <cstring>
#include <utility>

#include "internal.h"

static_assert(sizeof(xdfc_list_file_templ) == 78, "a listing record is 78 bytes");

XdfcHooks xdfc_hooks{&std::fopen, &usleep};

SPRET xdfc_hard_err(HardErrorSite site, SPRET ulComprc, const void * /*pvString*/) noexcept {
    switch (ulComprc) {
        case EIO:
        case ENXIO:
        case EBUSY:
        case ENODEV:
            xtr_trace("XDFCHE F: HARDWARE ERROR! uErrorID=%d, ulComprc=%ld", static_cast<int>(site),
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

bool resolveName(const char *pszFileName, char (&path)[kPathSize], SPRET *pulComprc) noexcept {
    const SPRET rc = xdfc_getfilepath(pszFileName, path);
    if (rc == 0) return true;
    *pulComprc = resolveFailureCode(rc);
    return false;
}

StatusStep openStatus(int dirfd, const char *name, int flags, owners::Fd *fd, struct stat *st) noexcept {
    owners::Fd opened(openat(dirfd, name, flags));
    if (!opened.valid()) return StatusStep::kOpen;
    if (fstat(opened.get(), st) != 0) return StatusStep::kStat;
    *fd = std::move(opened);
    return StatusStep::kDone;
}

StatusStep statusByName(const char *pszFileName, char (&path)[kPathSize], struct stat *st, SPRET *pulComprc) noexcept {
    if (!resolveName(pszFileName, path, pulComprc)) return StatusStep::kResolve;
    owners::Fd fd;
    const StatusStep step = openStatus(AT_FDCWD, path, kStatusOpenFlags, &fd, st);
    *pulComprc = step == StatusStep::kDone ? 0 : errno;
    if (step == StatusStep::kOpen) xtr_trace("XDFCI  F: Error on Open of [%s].(errno = %d)", path, errno);
    return step;
}
