// File copy between two logical names through a 4096-byte buffer.  An
// existing target is appended to or replaced as the flags say; a missing
// one is always created.
#include <sys/stat.h>

#include "internal.h"

namespace {

constexpr std::size_t kBlock = 4096;
constexpr std::size_t kStreamBuffer = std::size_t{128} * 1024;

// True when both paths name one file: copying it onto itself would empty
// it ("w+") or make it grow without end ("a+").
bool sameFile(const char *a, const char *b) {
    struct stat sa;
    struct stat sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Reports an I/O error on one side of the copy.
SPRET ioError(HardErrorSite site, const char *path, SPRET *pulComprc) {
    *pulComprc = errno;
    xtr_trace("XDFCFC F: File copy for [%s] I/O error detected, error code is %d", path, errno);
    return xdfc_hard_err(site, *pulComprc, path);
}

// Copies until the end of the source or an error.
SPRET copyLoop(FILE *in, FILE *out, char *buffer, const char *srcPath, const char *dstPath, SPRET *pulComprc) {
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, kBlock, in);
        const std::size_t put = std::fwrite(buffer, 1, got, out);
        // Data that did not reach the target is an error, in the last
        // short block as in a full one.
        if (put != got && std::ferror(out)) return ioError(HardErrorSite::kCopyTarget, dstPath, pulComprc);
        if (got < kBlock) {
            if (std::feof(in)) return 0;
            if (std::ferror(in)) return ioError(HardErrorSite::kCopySource, srcPath, pulComprc);
        }
    }
}

// The copy behind xdfc_file_copy, between its entry and exit traces.
SPRET copyFile(const char *pszSrcFileName, const char *pszDestFileName, unsigned int uOpenFlags, SPRET *pulComprc) {
    const char *mode = "w+";
    unsigned long size = 0;
    if (xdfc_query_file_size(pszDestFileName, &size, pulComprc) == 0) {  // the target exists
        if (uOpenFlags & XDFC_E_APPEND) {
            mode = "a+";
        } else if ((uOpenFlags & (XDFC_E_OPEN | XDFC_E_REPLACE)) == 0) {
            *pulComprc = EINVAL;
            return 2;
        }
    }
    // A failed resolution is reported with the resolution's own code.
    char srcPath[kPathSize];
    char dstPath[kPathSize];
    if ((*pulComprc = xdfc_getfilepath(pszSrcFileName, srcPath)) != 0 ||
        (*pulComprc = xdfc_getfilepath(pszDestFileName, dstPath)) != 0)
        return 2;
    xtr_trace("XDFCFC F: File copy src file [%s]", srcPath);
    xtr_trace("XDFCFC F: File copy tgt file [%s]", dstPath);
    xtr_trace("XDFCFC F: File copy open flags = [%s]", mode);
    if (sameFile(srcPath, dstPath)) {
        xtr_trace("XDFCFC F: File copy src and tgt are the same file [%s]", dstPath);
        *pulComprc = EINVAL;
        return 2;
    }
    owners::Memory streamBuffers;  // declared before the streams, so it outlives them
    const owners::Stream in(std::fopen(srcPath, "r"));
    if (!in) {
        *pulComprc = errno;
        xtr_trace("XDFCFC F: File copy src file open error %d", errno);
        return 2;
    }
    owners::Stream out(std::fopen(dstPath, mode));
    if (!out) {
        *pulComprc = errno;
        xtr_trace("XDFCFC F: File copy tgt file open error %d", errno);
        return 2;
    }
    const owners::Memory buffer = owners::allocate(kBlock);
    if (!buffer) {
        *pulComprc = ENOMEM;
        return 2;
    }
    // Larger stream buffers: each 4096-byte block then costs a memory copy
    // instead of a system call of its own.  Without them the copy still
    // works, only slower.
    streamBuffers = owners::allocate(2 * kStreamBuffer);
    if (streamBuffers) {
        std::setvbuf(in.get(), streamBuffers.get(), _IOFBF, kStreamBuffer);
        std::setvbuf(out.get(), streamBuffers.get() + kStreamBuffer, _IOFBF, kStreamBuffer);
    }
    SPRET result = copyLoop(in.get(), out.get(), buffer.get(), srcPath, dstPath, pulComprc);
    // The target's last block reaches the file only when it is flushed.
    if (std::fclose(out.release()) != 0 && result == 0)
        result = ioError(HardErrorSite::kCopyTarget, dstPath, pulComprc);
    return result;
}

}  // namespace

extern "C" KBVDDFC_EXPORT SPRET xdfc_file_copy(const char *pszSrcFileName, const char *pszDestFileName,
                                               unsigned int uOpenFlags, SPRET *pulComprc) {
    xtr_trace("XDFCFC T: -> xdfc_file_copy");
    *pulComprc = 0;
    const SPRET result = copyFile(pszSrcFileName, pszDestFileName, uOpenFlags, pulComprc);
    xtr_trace("XDFCFC T: <- xdfc_file_copy");
    return result;
}
