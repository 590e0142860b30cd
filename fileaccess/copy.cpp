// File copy between two logical names through a 4096-byte buffer.  An
// existing target is appended to or replaced as the flags say; a missing
// one is always created.
#include <sys/stat.h>

#include <cstdlib>

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
SPRET ioError(unsigned int id, const char *path, SPRET *pulComprc) {
    *pulComprc = errno;
    xtr_trace("XDFCFC F: File copy for [%s] I/O error detected, error code is %d", path, errno);
    return xdfc_hard_err(id, *pulComprc, path);
}

// Copies until the end of the source or an error.
SPRET copyLoop(FILE *in, FILE *out, char *buffer, const char *srcPath, const char *dstPath, SPRET *pulComprc) {
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, kBlock, in);
        const std::size_t put = std::fwrite(buffer, 1, got, out);
        // Data that did not reach the target is an error, in the last
        // short block as in a full one.
        if (put != got && std::ferror(out)) return ioError(13, dstPath, pulComprc);
        if (got < kBlock) {
            if (std::feof(in)) return 0;
            if (std::ferror(in)) return ioError(14, srcPath, pulComprc);
        }
    }
}

}  // namespace

extern "C" KBVDDFC_EXPORT SPRET xdfc_file_copy(const char *pszSrcFileName, const char *pszDestFileName,
                                               unsigned int uOpenFlags, SPRET *pulComprc) {
    xtr_trace("XDFCFC T: -> xdfc_file_copy");
    *pulComprc = 0;
    SPRET result = 0;
    FILE *in = nullptr;
    FILE *out = nullptr;
    const char *mode = "w+";
    char srcPath[kPathSize];
    char dstPath[kPathSize];

    unsigned long size = 0;
    const bool targetExists = xdfc_query_file_size(pszDestFileName, &size, pulComprc) == 0;
    if (targetExists) {
        if (uOpenFlags & XDFC_E_APPEND)
            mode = "a+";
        else if ((uOpenFlags & (XDFC_E_OPEN | XDFC_E_REPLACE)) == 0)
            result = 2;
    }
    if (result != 0) {
        *pulComprc = 22;
    } else if ((*pulComprc = xdfc_getfilepath(pszSrcFileName, srcPath)) != 0 ||
               (*pulComprc = xdfc_getfilepath(pszDestFileName, dstPath)) != 0) {
        result = 2;
    } else {
        xtr_trace("XDFCFC F: File copy src file [%s]", srcPath);
        xtr_trace("XDFCFC F: File copy tgt file [%s]", dstPath);
        xtr_trace("XDFCFC F: File copy open flags = [%s]", mode);
        if (sameFile(srcPath, dstPath)) {
            xtr_trace("XDFCFC F: File copy src and tgt are the same file [%s]", dstPath);
            *pulComprc = 22;
            result = 2;
        } else if ((in = std::fopen(srcPath, "r")) == nullptr) {
            *pulComprc = errno;
            xtr_trace("XDFCFC F: File copy src file open error %d", errno);
            result = 2;
        } else if ((out = std::fopen(dstPath, mode)) == nullptr) {
            *pulComprc = errno;
            xtr_trace("XDFCFC F: File copy tgt file open error %d", errno);
            result = 2;
        } else if (char *buffer = static_cast<char *>(std::malloc(kBlock)); buffer == nullptr) {
            *pulComprc = 12;
            result = 2;
        } else {
            // Larger stream buffers: each 4096-byte block then costs a memory
            // copy instead of a system call of its own.  Without them the
            // copy still works, only slower.
            char *streamBuffers = static_cast<char *>(std::malloc(2 * kStreamBuffer));
            if (streamBuffers != nullptr) {
                std::setvbuf(in, streamBuffers, _IOFBF, kStreamBuffer);
                std::setvbuf(out, streamBuffers + kStreamBuffer, _IOFBF, kStreamBuffer);
            }
            result = copyLoop(in, out, buffer, srcPath, dstPath, pulComprc);
            std::free(buffer);
            std::fclose(in);
            in = nullptr;
            if (std::fclose(out) != 0 && result == 0) result = ioError(13, dstPath, pulComprc);
            out = nullptr;
            std::free(streamBuffers);
        }
    }
    if (in != nullptr) std::fclose(in);
    // The target's last block reaches the file only when it is flushed.
    if (out != nullptr && std::fclose(out) != 0 && result == 0) result = ioError(13, dstPath, pulComprc);
    xtr_trace("XDFCFC T: <- xdfc_file_copy");
    return result;
}
