// File and disk queries: the size and the status-change time of a file
// named by its logical name, and the free space of a file system.
#include <sys/vfs.h>

#include <cstdint>
#include <ctime>

#include "internal.h"

namespace {

// The free space of the file system that holds szDriveId, in kilobytes or
// in bytes.
SPRET freeSpace(const char *szDriveId, unsigned long *pulFreeSpace, SPRET *pulComprc, bool kilobytes) {
    struct statfs fs;
    *pulComprc = statfs(szDriveId, &fs);
    if (*pulComprc != 0) {
        *pulComprc = errno;
        return xdfc_hard_err(HardErrorSite::kDiskSpace, errno, szDriveId);
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
    return 0;
}

// The two disk queries, the byte count (xdfc_disk_space) and the kilobyte
// count (xdfc_disk_space2), with their traces.
SPRET diskSpace(const char *szDriveId, unsigned long *pulFreeSpace, SPRET *pulComprc, bool kilobytes) {
    xtr_trace(kilobytes ? "XDFCQDST: -> xdfc_disk_space2" : "XDFCQDST: -> xdfc_disk_space");
    const SPRET result = freeSpace(szDriveId, pulFreeSpace, pulComprc, kilobytes);
    xtr_trace(kilobytes ? "XDFCQDSF: drive=%s, KB free space=%ld, src=%X, crc=%X"
                        : "XDFCQDSF: drive=%s, Byte free space=%ld, src=%X, crc=%X",
              szDriveId, static_cast<long>(*pulFreeSpace), static_cast<unsigned int>(result),
              static_cast<unsigned int>(*pulComprc));
    xtr_trace(kilobytes ? "XDFCQDST: <- xdfc_disk_space2" : "XDFCQDST: <- xdfc_disk_space");
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
    SPRET result = 2;
    char path[kPathSize];
    struct stat st;
    switch (statusByName(pszFileName, path, &st, pulComprc)) {
        case StatusStep::kDone:
            *pulFileSize = static_cast<unsigned long>(st.st_size);
            result = 0;
            break;
        case StatusStep::kStat:
            xtr_trace("XDFCI  F: Error on fstat of [%s].(rc=%d,errno=%d )", path, -1, errno);  // fstat gave -1
            result = xdfc_hard_err(HardErrorSite::kFileSize, errno, path);
            break;
        case StatusStep::kResolve:
        case StatusStep::kOpen:
            break;
    }
    xtr_trace("XDFCQFST: <- xdfc_query_file_size");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_query_file_date(const char *pszFileName, xcsf_tod_info *pcTodInfo,
                                                     SPRET *pulComprc) {
    xtr_trace("XDFCQFDT: -> xdfc_query_file_date");
    SPRET result = 2;
    char path[kPathSize];
    struct stat st;
    struct tm tm;
    switch (statusByName(pszFileName, path, &st, pulComprc)) {
        case StatusStep::kDone:
            tzset();  // the time zone may have changed since the last query
            if (localtime_r(&st.st_ctime, &tm) == nullptr) {
                *pulComprc = EOVERFLOW;
                break;
            }
            pcTodInfo->year = static_cast<std::uint16_t>(tm.tm_year + 1900);
            pcTodInfo->month = static_cast<std::uint8_t>(tm.tm_mon + 1);
            pcTodInfo->day = static_cast<std::uint8_t>(tm.tm_mday);
            pcTodInfo->hours = static_cast<std::uint8_t>(tm.tm_hour);
            pcTodInfo->minutes = static_cast<std::uint8_t>(tm.tm_min);
            pcTodInfo->seconds = static_cast<std::uint8_t>(tm.tm_sec);
            pcTodInfo->hundredths = 0;
            result = 0;
            break;
        case StatusStep::kStat:
            xtr_trace("XDFCI  F: Error on fstat of [%s].(errno = %d )", path, errno);
            [[fallthrough]];
        case StatusStep::kOpen:
            result = xdfc_hard_err(HardErrorSite::kFileDate, errno, path);
            break;
        case StatusStep::kResolve:
            break;
    }
    xtr_trace("XDFCQFDT: <- xdfc_query_file_date");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_disk_space(const char *szDriveId, unsigned long *pulFreeSpace, SPRET *pulComprc) {
    return diskSpace(szDriveId, pulFreeSpace, pulComprc, false);
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_disk_space2(const char *szDriveId, unsigned long *pulFreeSpace, SPRET *pulComprc) {
    return diskSpace(szDriveId, pulFreeSpace, pulComprc, true);
}
