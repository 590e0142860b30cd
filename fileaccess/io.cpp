// Sequential and positioned I/O on the library's streams.  Failures are
// told through the result, the completion code and trace points only; the
// stream's own error and end-of-file indicators are never cleared here.
#include <cstdint>
#include <type_traits>

#include "internal.h"

namespace {

// The positioning base of a reference point; an unknown one counts from
// the start of the file (traced).
int whenceOf(unsigned int uReferencePoint) {
    switch (uReferencePoint) {
        case 0:
            return SEEK_SET;
        case 1:
            return SEEK_CUR;
        case 2:
            return SEEK_END;
        default:
            xtr_trace("XDFCRR F: invalid Reference Point of %d, using beginning of file",
                      static_cast<int>(uReferencePoint));
            return SEEK_SET;
    }
}

// The low 32 bits of a stream pointer, as the positioning failure shows it.
unsigned int handleBits(const FILE *fp) { return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(fp)); }

// Completion code of a failed write: a full device has its own code,
// other errors are traced.
SPRET writeFailureCode() {
    if (errno == ENOSPC) return XDFC_CRC_DISK_FULL;
    xtr_trace("XDFCRR F: fwrite error rc=%d", errno);
    return errno;
}

// Moves to where a positioned read or write starts and sets *pulNewPosition
// to it.  false after a failure, which is traced as the read's or the
// write's, with the position the caller passed in.
bool seekTo(FILE *fp, unsigned int uReferencePoint, unsigned long ulOffset, unsigned long *pulNewPosition,
            SPRET *pulComprc, bool forWrite) {
    const int whence = whenceOf(uReferencePoint);
    *pulComprc = std::fseek(fp, static_cast<long>(ulOffset), whence);
    if (*pulComprc != 0) {
        *pulComprc = errno;
        xtr_trace(forWrite ? "XDFCRW F: SetFilePtr error, errno is %d" : "XDFCRR F: SetFilePtr error, errno is %d",
                  errno);
        xtr_trace(forWrite ? "XDFCRW F: fh=%X, rp=%d, offset=%d, np=%d" : "XDFCRR F: fh=%X, rp=%d, offset=%d, np=%d",
                  handleBits(fp), static_cast<int>(uReferencePoint), static_cast<int>(ulOffset),
                  static_cast<int>(*pulNewPosition));
        return false;
    }
    *pulNewPosition = static_cast<unsigned long>(std::ftell(fp));
    return true;
}

// Transfers up to uBufferLength bytes at the current position, writing
// from a const buffer and reading into any other, and advances
// *pulNewPosition by what was moved.
template <class Byte>
SPRET transfer(FILE *fp, Byte *pucBuffer, unsigned int uBufferLength, unsigned long *pulBytesMoved,
               unsigned long *pulNewPosition, SPRET *pulComprc) {
    constexpr bool forWrite = std::is_const_v<Byte>;
    size_t moved = 0;
    if constexpr (forWrite) moved = std::fwrite(pucBuffer, 1, uBufferLength, fp);
    else moved = std::fread(pucBuffer, 1, uBufferLength, fp);
    *pulBytesMoved = moved;
    *pulNewPosition += moved;
    if (moved < uBufferLength && std::ferror(fp)) {
        if constexpr (forWrite) {
            *pulComprc = writeFailureCode();
        } else {
            *pulComprc = errno;
            xtr_trace("XDFCRR F: fread error rc=%d", errno);
        }
        return 2;
    }
    if (!forWrite && moved == 0 && uBufferLength > 0 && std::feof(fp)) xtr_trace("XDFCRR F: End of file reached");
    return 0;
}

// xdfc_random_write (from a const buffer) and xdfc_random_read: moves to
// the position, then transfers.
template <class Byte>
SPRET positioned(FILE *fp, Byte *pucBuffer, unsigned int uBufferLength, unsigned int uReferencePoint,
                 unsigned long ulOffset, unsigned long *pulBytesMoved, unsigned long *pulNewPosition,
                 SPRET *pulComprc) {
    constexpr bool forWrite = std::is_const_v<Byte>;
    xtr_trace(forWrite ? "XDFCRW T: -> xdfc_random_write" : "XDFCRR T: -> xdfc_random_read");
    SPRET result = 2;
    if (seekTo(fp, uReferencePoint, ulOffset, pulNewPosition, pulComprc, forWrite))
        result = transfer(fp, pucBuffer, uBufferLength, pulBytesMoved, pulNewPosition, pulComprc);
    xtr_trace(forWrite ? "XDFCRW T: <- xdfc_random_write" : "XDFCRR T: <- xdfc_random_read");
    return result;
}

}  // namespace

extern "C" KBVDDFC_EXPORT SPRET xdfc_read(void *pvBuffer, size_t usize, size_t nmemb, FILE *fileptr, int *num_of_items,
                                          SPRET *pulComprc) {
    xtr_trace("XDFCRR T: -> xdfc_read");
    SPRET result = 0;
    const size_t items = std::fread(pvBuffer, usize, nmemb, fileptr);
    *num_of_items = static_cast<int>(items);
    if (items != nmemb) {
        if (std::ferror(fileptr)) {
            *pulComprc = errno;
            xtr_trace("XDFCRR F: fread error rc=%d", errno);
            result = 2;
        } else if (std::feof(fileptr)) {
            *pulComprc = XDFC_CRC_END_OF_FILE;
            result = 2;
        }
    }
    xtr_trace("XDFCRR T: <- xdfc_read");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_write(const void *pvBuffer, size_t usize, size_t nmemb, FILE *fileptr,
                                           int *num_of_items, SPRET *pulComprc) {
    xtr_trace("XDFCRW T: -> xdfc_write");
    SPRET result = 0;
    const size_t items = std::fwrite(pvBuffer, usize, nmemb, fileptr);
    *num_of_items = static_cast<int>(items);
    if (items != nmemb && std::ferror(fileptr)) {
        *pulComprc = writeFailureCode();
        result = 2;
    }
    xtr_trace("XDFCRW T: <- xdfc_write");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_random_read(FILE *hfileFileHandle, unsigned char *pucBuffer,
                                                 unsigned int uBufferLength, unsigned int uReferencePoint,
                                                 unsigned long ulOffset, unsigned long *pulBytesRead,
                                                 unsigned long *pulNewPosition, SPRET *pulComprc) {
    return positioned(hfileFileHandle, pucBuffer, uBufferLength, uReferencePoint, ulOffset, pulBytesRead,
                      pulNewPosition, pulComprc);
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_random_write(FILE *hfileFileHandle, const unsigned char *pucBuffer,
                                                  unsigned int uBufferLength, unsigned int uReferencePoint,
                                                  unsigned long ulOffset, unsigned long *pulBytesWritten,
                                                  unsigned long *pulNewPosition, SPRET *pulComprc) {
    return positioned(hfileFileHandle, pucBuffer, uBufferLength, uReferencePoint, ulOffset, pulBytesWritten,
                      pulNewPosition, pulComprc);
}
