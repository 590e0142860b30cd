// Internal pieces of the file-access library shared by its sources: name
// resolution, the hard-error report, the listing's record builders and the
// few platform calls that tests replace to inject faults.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kbvddfc.h"
#include "owners.h"

// Size of every path buffer of the library: 511 characters and the NUL.
inline constexpr std::size_t kPathSize = 512;

// Loads "kbvddfc.trm" into xdfc_file_req.  0, an errno value, or 500 when
// the file does not fit into the table.
SPRET xdfc_init() noexcept;

// Resolves a logical name into pszQFileName (kPathSize characters).  0, or
// the completion code of the lookup: an errno value or 500 from the load, 2
// when no pattern matches, ENAMETOOLONG when the path does not fit.
SPRET xdfc_getfilepath(const char *pszFileName, char *pszQFileName) noexcept;

// The completion code a call reports when the resolution failed with rc:
// 2, except that a path that does not fit keeps its ENAMETOOLONG.
inline SPRET resolveFailureCode(SPRET rc) noexcept { return rc == ENAMETOOLONG ? ENAMETOOLONG : 2; }

// Resolves a logical name into path.  false, with *pulComprc the code a
// call reports for a failed resolution (resolveFailureCode), when it fails.
bool resolveName(const char *pszFileName, char (&path)[kPathSize], SPRET *pulComprc) noexcept;

// Flags of an open that only reads a file's status: a FIFO or a terminal
// must neither block nor become the controlling terminal.
inline constexpr int kStatusOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The step of an open-and-status that failed, or kDone.
enum class StatusStep { kDone, kResolve, kOpen, kStat };

// Opens name relative to the directory dirfd (AT_FDCWD: as a plain path)
// with flags and reads the status of what was opened into *st.  kDone with
// *fd owning the descriptor; kOpen or kStat with errno set.
StatusStep openStatus(int dirfd, const char *name, int flags, owners::Fd *fd, struct stat *st) noexcept;

// The resolve-open-stat step of the file queries: resolves the logical
// name into path (kResolve, *pulComprc as resolveName sets it), opens the
// file with kStatusOpenFlags (kOpen, traced) and reads its status (kStat).
// *pulComprc is 0 on kDone, errno (which is kept) on kOpen and kStat.  The
// descriptor is closed on return.
StatusStep statusByName(const char *pszFileName, char (&path)[kPathSize], struct stat *st, SPRET *pulComprc) noexcept;

// Where a call saw a failure that may be a device fault: the number that
// the hard-error trace shows for it.
enum class HardErrorSite : unsigned int {
    kDelete = 2,  // unlink of a file being deleted
    kDiskSpace = 3,  // statfs of the disk queries
    kFileSize = 6,  // fstat of the size query
    kFileDate = 7,  // open and fstat of the date query
    kOpen = 11,  // the stream open of a file other than a ".log"
    kListRead = 12,  // readdir of the listing into memory
    kCopyTarget = 13,  // write or close of the copy's target
    kCopySource = 14,  // read of the copy's source
    kListOpen = 15,  // opendir of the listing into memory
};

// Classifies a failed system call: 8 for a device-level failure (EIO,
// ENXIO, EBUSY, ENODEV, traced with the site), 2 for any other.
SPRET xdfc_hard_err(HardErrorSite site, SPRET ulComprc, const void *pvString) noexcept;

// Free kilobytes of bfree blocks of bsize bytes, formed in 64 bits: a
// block size below 1024 is multiplied first, a larger one divided first.
std::uint64_t freeKilobytes(std::uint64_t bsize, std::uint64_t bfree) noexcept;

// The byte count of the free space: kilobytes * 1024, or 2147483647 when
// that would be larger.
unsigned long clampedBytes(std::uint64_t kilobytes) noexcept;

// Record builders of the listing file.
SPRET xdfc_update_nof_line(FILE *pfileFile, int iNumberOfFiles, SPRET *pulComprc) noexcept;
void xdfc_fill_data_struct(xdfc_list_file_templ *pxdfc_list, const dirent *ent, const char *path) noexcept;
SPRET xdfc_add_file_entry(FILE *pfileFile, const xdfc_list_file_templ *pxdfc_list, SPRET *pulComprc) noexcept;
void xdfc_convert_hour(unsigned int *puHour, char *pcAmPm) noexcept;
void putldn(char *buffer, unsigned long n, int size) noexcept;

// Splits a listing's search name into its directory part and pattern.
// false (errno ENAMETOOLONG, traced under `who`) when a part does not fit.
bool splitSearchName(const char *search, char (&dir)[kPathSize], char (&pattern)[255], const char *who) noexcept;

// Joins a directory and a name into out; false when it does not fit.
bool joinPath(char (&out)[kPathSize], const char *dir, const char *name) noexcept;

// Copies src into dst of dstSize characters; false (dst untouched beyond
// what fits, always terminated) when src does not fit.
bool copyBounded(char *dst, std::size_t dstSize, const char *src) noexcept;

// Platform calls that the tests replace to produce faults the machine
// cannot produce on demand (a busy device).
struct XdfcHooks {
    FILE *(*openStream)(const char *path, const char *mode);
    int (*pause)(useconds_t usec);
};
extern XdfcHooks xdfc_hooks;
