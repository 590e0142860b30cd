// Directory listings: the entries of one directory whose names match a
// wildcard pattern, written to a listing file (a count line and one 78-byte
// record per entry) or stored as names in the caller's memory.
#include <dirent.h>
#include <fnmatch.h>

#include <cstring>
#include <ctime>

#include "internal.h"

namespace {

constexpr std::size_t kRecordSize = sizeof(xdfc_list_file_templ);
constexpr std::size_t kMaxPattern = 254;

bool matches(const char *pattern, const char *name) { return fnmatch(pattern, name, FNM_NOESCAPE) == 0; }

// Completion code of a failed flush or positioning of the listing file,
// the same as a failed write would give.
SPRET flushFailureCode(int err) { return err == ENOSPC ? XDFC_CRC_DISK_FULL : err; }

// Writes the final count over the first count line and flushes the listing,
// so that a listing whose data did not all reach the file is reported.
SPRET rewriteCount(FILE *out, int count, SPRET *pulComprc) {
    if (std::fseek(out, 0, SEEK_SET) != 0) {
        *pulComprc = flushFailureCode(errno);
        xtr_trace("XDFCLF F: rewrite of the count line failed with errno of %d", errno);
        return 2;
    }
    if (xdfc_update_nof_line(out, count, pulComprc) != 0) return 2;
    if (std::fflush(out) != 0) {
        *pulComprc = flushFailureCode(errno);
        xtr_trace("XDFCLF F: rewrite of the count line failed with errno of %d", errno);
        return 2;
    }
    return 0;
}

// The walk of one listing: the directory of its search name, and the
// pattern that the names of the entries listed match.
class Listing {
public:
    // Splits the search name (a name too long is traced under `who`) and
    // opens its directory.  kResolve with *pulComprc ENAMETOOLONG when the
    // name does not fit; kOpen with *pulComprc and errno the failure of the
    // open.
    StatusStep open(const char *search, const char *who, SPRET *pulComprc) {
        if (!splitSearchName(search, dir_, pattern_, who)) {
            *pulComprc = ENAMETOOLONG;
            return StatusStep::kResolve;
        }
        stream_.reset(opendir(dir_));
        if (stream_) return StatusStep::kDone;
        *pulComprc = errno;
        return StatusStep::kOpen;
    }

    // The next entry whose name matches: nullptr at the end, with errno 0,
    // or after a failed read, with errno set.
    const dirent *next() {
        for (;;) {
            errno = 0;
            const dirent *ent = readdir(stream_.get());
            if (ent == nullptr || matches(pattern_, ent->d_name)) return ent;
        }
    }

    [[nodiscard]] const char *dir() const { return dir_; }

private:
    char dir_[kPathSize];
    char pattern_[kMaxPattern + 1];
    owners::Dir stream_;
};

// The listing behind xdfc_list_file, between its entry and exit traces.
SPRET listToFile(const char *pszSearchFileName, const char *pszOutputFileName, SPRET *pulComprc) {
    Listing listing;
    const StatusStep step = listing.open(pszSearchFileName, "XDFCLF", pulComprc);
    if (step == StatusStep::kOpen) xtr_trace("XDFCLF F: opendir failed with errno of %d", errno);
    if (step != StatusStep::kDone) return 2;
    SPRET result = 0;
    int count = 0;
    owners::Stream out;
    while (const dirent *ent = listing.next()) {
        xdfc_list_file_templ record;
        std::memset(&record, ' ', sizeof record);
        count++;
        if (!out) {
            FILE *opened = nullptr;
            result = xdfc_search_file_open2(pszOutputFileName, "w", &opened, pulComprc);
            if (result != 0) break;
            out.reset(opened);
            xdfc_update_nof_line(out.get(), 1, pulComprc);
        }
        xdfc_fill_data_struct(&record, ent, listing.dir());
        xdfc_add_file_entry(out.get(), &record, pulComprc);
        if (*pulComprc != 0) {
            result = 2;
            break;
        }
    }
    const int loopErrno = errno;
    if (loopErrno != 0) {
        *pulComprc = loopErrno;
        xtr_trace("XDFCLF F: readdir failed with errno of %d", loopErrno);
        result = 2;
    } else if (count > 0 && out) {
        if (rewriteCount(out.get(), count, pulComprc) != 0) result = 2;
    } else if (count == 0) {
        result = 2;
    }
    return result;
}

// The listing behind xdfc_list_file_mem, between its entry and exit traces.
SPRET listToMemory(const char *pszSearchFileName, char *pcOutBufferAddr, unsigned int uBufSize,
                   unsigned int *puNumberOfFiles, SPRET *pulComprc) {
    Listing listing;
    const StatusStep step = listing.open(pszSearchFileName, "XDFCLFM", pulComprc);
    if (step == StatusStep::kOpen) {
        xtr_trace("XDFCLFMF: List_file_mem error in opendir of  %d", errno);
        return xdfc_hard_err(HardErrorSite::kListOpen, errno, listing.dir());
    }
    if (step != StatusStep::kDone) return 2;
    SPRET result = 0;
    std::size_t pos = 0;
    std::size_t remaining = uBufSize;
    while (const dirent *ent = listing.next()) {
        const std::size_t len = std::strlen(ent->d_name) + 1;
        if (len > remaining) {
            *pulComprc = XDFC_CRC_BUFFER_TOO_SMALL;
            result = 2;
            break;
        }
        ++*puNumberOfFiles;
        std::memcpy(pcOutBufferAddr + pos, ent->d_name, len);
        pos += len;
        remaining -= len;
    }
    if (errno != 0) {
        *pulComprc = errno;
        xtr_trace("XDFCLFMF: List_file_mem error in readdir of  %d", errno);
        result = xdfc_hard_err(HardErrorSite::kListRead, errno, listing.dir());
    }
    return result;
}

}  // namespace

void putldn(char *buffer, unsigned long n, int size) noexcept {
    for (int i = size - 1; i >= 0; i--) {
        buffer[i] = static_cast<char>('0' + n % 10);
        n /= 10;
        if (n == 0) break;
    }
}

void xdfc_convert_hour(unsigned int *puHour, char *pcAmPm) noexcept {
    pcAmPm[0] = *puHour >= 12 ? 'p' : 'a';
    pcAmPm[1] = '\0';
    if (*puHour > 12) *puHour -= 12;
}

bool splitSearchName(const char *search, char (&dir)[kPathSize], char (&pattern)[255], const char *who) noexcept {
    std::memset(dir, 0, sizeof dir);
    std::memset(pattern, 0, sizeof pattern);
    const char *slash = std::strrchr(search, '/');
    const char *pat = slash != nullptr ? slash + 1 : search;
    const std::size_t dlen = slash != nullptr ? static_cast<std::size_t>(slash - search) : 0;
    if (dlen >= kPathSize || std::strlen(pat) > kMaxPattern) {
        if (std::strcmp(who, "XDFCLF") == 0) xtr_trace("XDFCLF F: search name [%s] is longer than its buffers", search);
        else xtr_trace("XDFCLFMF: search name [%s] is longer than its buffers", search);
        errno = ENAMETOOLONG;
        return false;
    }
    if (slash == nullptr) dir[0] = '.';  // no directory part: the current directory
    else if (dlen == 0) dir[0] = '/';  // "/pattern": the root directory
    else std::memcpy(dir, search, dlen);
    std::strcpy(pattern, pat);
    return true;
}

SPRET xdfc_update_nof_line(FILE *pfileFile, int iNumberOfFiles, SPRET *pulComprc) noexcept {
    char digits[7];
    std::memset(digits, ' ', sizeof digits);
    putldn(digits, static_cast<unsigned long>(static_cast<unsigned int>(iNumberOfFiles)), 7);
    std::size_t first = 0;
    while (first < sizeof digits && digits[first] == ' ') first++;
    char line[8];
    std::memset(line, ' ', 7);
    std::memcpy(line, digits + first, sizeof digits - first);
    line[7] = '\n';
    int items = 0;
    return xdfc_write(line, 1, sizeof line, pfileFile, &items, pulComprc);
}

void xdfc_fill_data_struct(xdfc_list_file_templ *pxdfc_list, const dirent *ent, const char *path) noexcept {
    char full[kPathSize];
    owners::Fd fd;
    struct stat st;
    StatusStep step = StatusStep::kOpen;
    if (!joinPath(full, path, ent->d_name)) errno = ENAMETOOLONG;
    else step = openStatus(AT_FDCWD, full, kStatusOpenFlags, &fd, &st);
    if (step == StatusStep::kOpen) {
        xtr_trace("XDFCLFMF: open error in list_file for [%s],errno is %d", ent->d_name, errno);
        return;
    }
    struct tm tm;
    if (step == StatusStep::kStat || localtime_r(&st.st_ctime, &tm) == nullptr) {
        xtr_trace("XDFCLFMF: status error in list_file for [%s],errno is %d", ent->d_name, errno);
        return;
    }
    unsigned int hour = static_cast<unsigned int>(tm.tm_hour);
    char ampm[2];
    xdfc_convert_hour(&hour, ampm);

    const std::size_t nameLen = std::strlen(ent->d_name);
    std::memcpy(pxdfc_list->filename, ent->d_name,
                nameLen < sizeof pxdfc_list->filename ? nameLen : sizeof pxdfc_list->filename);

    std::memset(pxdfc_list->num_of_bytes, ' ', sizeof pxdfc_list->num_of_bytes);
    putldn(pxdfc_list->num_of_bytes, static_cast<unsigned long>(st.st_size), 10);

    char *date = pxdfc_list->file_date;
    std::memcpy(date, " 0m-0d-00", 9);
    putldn(date + 1, static_cast<unsigned long>(tm.tm_mon + 1), 2);
    putldn(date + 4, static_cast<unsigned long>(tm.tm_mday), 2);
    putldn(date + 7, static_cast<unsigned long>(tm.tm_year), 2);

    char *time = pxdfc_list->file_time;
    std::memcpy(time, "  h:0m", 6);
    putldn(time + 1, hour, 2);
    putldn(time + 4, static_cast<unsigned long>(tm.tm_min), 2);
    time[6] = ampm[0];
    time[7] = '\n';
}

SPRET xdfc_add_file_entry(FILE *pfileFile, const xdfc_list_file_templ *pxdfc_list, SPRET *pulComprc) noexcept {
    int items = 0;
    const SPRET rc = xdfc_write(pxdfc_list, 1, kRecordSize, pfileFile, &items, pulComprc);
    const int err = std::ferror(pfileFile);
    if (static_cast<std::size_t>(items) < kRecordSize && err != 0) {
        *pulComprc = errno;
        xtr_trace("XDFCAFEF: error on xdfc_write in add_file_entry. src=%d, crc=%d", err, errno);
        return 2;
    }
    return rc;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_list_file(const char *pszSearchFileName, const char *pszOutputFileName,
                                               SPRET *pulComprc) {
    xtr_trace("XDFCLF T: -> xdfc_list_file");
    xtr_trace("XDFCLF F:   Listing files matching [%s]", pszSearchFileName);
    tzset();  // once per listing: the records break times down in local time
    const SPRET result = listToFile(pszSearchFileName, pszOutputFileName, pulComprc);
    xtr_trace("XDFCLF F: search name=[%s], sysrc=%X, comprc=%X", pszSearchFileName, static_cast<unsigned int>(result),
              static_cast<unsigned int>(*pulComprc));
    xtr_trace("XDFCLF T: <- xdfc_list_file");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_list_file_mem(const char *pszSearchFileName, char *pcOutBufferAddr,
                                                   unsigned int uBufSize, unsigned int *puNumberOfFiles,
                                                   SPRET *pulComprc) {
    xtr_trace("XDFCLFMT: -> xdfc_list_file_mem");
    xtr_trace("XDFCLFMF:   Listing files matching [%s]", pszSearchFileName);
    *puNumberOfFiles = 0;
    if (uBufSize > 0) pcOutBufferAddr[0] = '\0';
    const SPRET result = listToMemory(pszSearchFileName, pcOutBufferAddr, uBufSize, puNumberOfFiles, pulComprc);
    xtr_trace("XDFCLFMT: <- xdfc_list_file_mem");
    return result;
}
