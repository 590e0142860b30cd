// File and disk queries: the size and the status-change time of a file
// named by its logical name, and the free space of a file system.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

#include "internal.h"

namespace {

// Opens a file only to read its status: a FIFO or a terminal must not
// block or become the controlling terminal.
int openForStatus(const char *path) { return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }

// The common steps of the two disk queries; kilobytes or bytes.
SPRET diskSpace(const char *szDriveId, unsigned long *pulFreeSpace, SPRET *pulComprc, bool kilobytes) {
    SPRET result = 0;
    struct statfs fs;
    *pulComprc = statfs(szDriveId, &fs);
    if (*pulComprc != 0) {
        *pulComprc = errno;
        return xdfc_hard_err(3, errno, szDriveId);
    }
    xtr_trace("XDFC___D: units avail  - %d", static_cast<int>(fs.f_bfree));
    xtr_trace("XDFC___D: bytes/sector - %d", static_cast<int>(fs.f_bsize));
    const std::uint64_t kb = freeKilobytes(static_cast<std::uint64_t>(fs.f_bsize), fs.f_bfree);
    if (kilobytes) {
        *pulFreeSpace = static_cast<unsigned long>(kb);
        xtr_trace("XDFC___D: KilloBytes(Avail) - %d(x%x)", static_cast<int>(*pulFreeSpace),
                  static_cast<unsigned int>(*pulFreeSpace));
    } else {
        *pulFreeSpace = clampedBytes(kb);
    }
    return result;
}

}  // namespace

std::uint64_t freeKilobytes(std::uint64_t bsize, std::uint64_t bfree) noexcept {
    return bsize < 1024 ? bsize * bfree / 1024 : bsize / 1024 * bfree;
}

unsigned long clampedBytes(std::uint64_t kilobytes) noexcept {
    constexpr std::uint64_t kMaxKbForBytes = 2097151;  // the largest count whose bytes fit 2147483647
    return kilobytes > kMaxKbForBytes ? 2147483647UL : static_cast<unsigned long>(kilobytes * 1024);
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_query_file_size(const char *pszFileName, unsigned long *pulFileSize,
                                                     SPRET *pulComprc) {
    xtr_trace("XDFCQFST: -> xdfc_query_file_size");
    SPRET result = 0;
    char path[kPathSize];
    *pulComprc = xdfc_getfilepath(pszFileName, path);
    if (*pulComprc != 0) {
        *pulComprc = resolveFailureCode(*pulComprc);
        result = 2;
    } else {
        const int fd = openForStatus(path);
        if (fd < 0) {
            *pulComprc = errno;
            xtr_trace("XDFCI  F: Error on Open of [%s].(errno = %d)", path, errno);
            result = 2;
        } else {
            struct stat st;
            const int src = fstat(fd, &st);
            if (src != 0) {
                *pulComprc = errno;
                xtr_trace("XDFCI  F: Error on fstat of [%s].(rc=%d,errno=%d )", path, src, errno);
                result = xdfc_hard_err(6, errno, path);
            } else {
                *pulFileSize = static_cast<unsigned long>(st.st_size);
            }
            close(fd);
        }
    }
    xtr_trace("XDFCQFST: <- xdfc_query_file_size");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_query_file_date(const char *pszFileName, xcsf_tod_info *pcTodInfo,
                                                     SPRET *pulComprc) {
    xtr_trace("XDFCQFDT: -> xdfc_query_file_date");
    SPRET result = 0;
    char path[kPathSize];
    *pulComprc = xdfc_getfilepath(pszFileName, path);
    if (*pulComprc != 0) {
        *pulComprc = resolveFailureCode(*pulComprc);
        result = 2;
    } else {
        const int fd = openForStatus(path);
        if (fd < 0) {
            *pulComprc = errno;
            xtr_trace("XDFCI  F: Error on Open of [%s].(errno = %d)", path, errno);
            result = xdfc_hard_err(7, errno, path);
        } else {
            struct stat st;
            struct tm tm;
            tzset();  // the time zone may have changed since the last query
            if (fstat(fd, &st) != 0) {
                *pulComprc = errno;
                xtr_trace("XDFCI  F: Error on fstat of [%s].(errno = %d )", path, errno);
                result = xdfc_hard_err(7, errno, path);
            } else if (localtime_r(&st.st_ctime, &tm) == nullptr) {
                *pulComprc = EOVERFLOW;
                result = 2;
            } else {
                pcTodInfo->year = static_cast<std::uint16_t>(tm.tm_year + 1900);
                pcTodInfo->month = static_cast<std::uint8_t>(tm.tm_mon + 1);
                pcTodInfo->day = static_cast<std::uint8_t>(tm.tm_mday);
                pcTodInfo->hours = static_cast<std::uint8_t>(tm.tm_hour);
                pcTodInfo->minutes = static_cast<std::uint8_t>(tm.tm_min);
                pcTodInfo->seconds = static_cast<std::uint8_t>(tm.tm_sec);
                pcTodInfo->hundredths = 0;
            }
            close(fd);
        }
    }
    xtr_trace("XDFCQFDT: <- xdfc_query_file_date");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_disk_space(const char *szDriveId, unsigned long *pulFreeSpace,
                                                SPRET *pulComprc) {
    xtr_trace("XDFCQDST: -> xdfc_disk_space");
    const SPRET result = diskSpace(szDriveId, pulFreeSpace, pulComprc, false);
    xtr_trace("XDFCQDSF: drive=%s, Byte free space=%ld, src=%X, crc=%X", szDriveId,
              static_cast<long>(*pulFreeSpace), static_cast<unsigned int>(result),
              static_cast<unsigned int>(*pulComprc));
    xtr_trace("XDFCQDST: <- xdfc_disk_space");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_disk_space2(const char *szDriveId, unsigned long *pulFreeSpace,
                                                 SPRET *pulComprc) {
    xtr_trace("XDFCQDST: -> xdfc_disk_space2");
    const SPRET result = diskSpace(szDriveId, pulFreeSpace, pulComprc, true);
    xtr_trace("XDFCQDSF: drive=%s, KB free space=%ld, src=%X, crc=%X", szDriveId,
              static_cast<long>(*pulFreeSpace), static_cast<unsigned int>(result),
              static_cast<unsigned int>(*pulComprc));
    xtr_trace("XDFCQDST: <- xdfc_disk_space2");
    return result;
}
