// Command line, dispatch, argument checks and the file's mode and
// ownership.  The rewrite itself is in hosts_rewrite.cpp.
#include "vorqManageHostsFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kbvdtrac.h"

namespace hostscmd {

int vorqManageHostsFile(int argc, char **argv) {
    int status;
    xtr_trace("XREMHSTT: -> vorqManageHostsFile");
    xtr_trace("XREMHSTD: argc=%d", argc);
    for (int i = 0; i < argc; i++) {
        xtr_trace("XREMHSTD: argv[%d]=%s", i, argv[i]);
    }
    if (argc < 2) {
        xtr_trace("XREMHSTF: Missing operation on command line");
        status = kStatusNoOperation;
    } else if (argv[1] != nullptr && std::strcmp(argv[1], "update") == 0) {
        status = doUpdate(argc, argv);
    } else if (argv[1] != nullptr && std::strcmp(argv[1], "remove") == 0) {
        status = doRemove(argc, argv);
    } else {
        xtr_trace("XREMHSTF: Unknown operation: %s", argv[1]);
        status = kStatusUnknownOperation;
    }
    xtr_trace("XREMHSTF: vorqManageHostsFile exiting with exit status=%d", status);
    xtr_trace("XREMHSTT: <- vorqManageHostsFile");
    return status;
}

int doUpdate(int argc, char **argv) {
    int rc = checkArgs(argc, argv, 5);
    if (rc != kStatusOk) return rc;
    xtr_trace("XREMHSTF: Handling an update request for file=%s; hostname=%s; IP=%s", argv[2], argv[3], argv[4]);
    struct stat fileInfo {};
    rc = getFileInfo(argv[2], &fileInfo);
    if (rc != kStatusOk) return rc;
    int fileInfoStatus = kStatusOk;
    rc = updateHostsFile(argv[2], argv[3], argv[4], &fileInfoStatus);
    return rc != kStatusOk ? rc : fileInfoStatus;
}

int doRemove(int argc, char **argv) {
    int rc = checkArgs(argc, argv, 4);
    if (rc != kStatusOk) return rc;
    xtr_trace("XREMHSTF: Handling a remove request for file=%s; hostname=%s", argv[2], argv[3]);
    struct stat fileInfo {};
    rc = getFileInfo(argv[2], &fileInfo);
    if (rc != kStatusOk) return rc;
    int fileInfoStatus = kStatusOk;
    rc = removeHostFromHostsFile(argv[2], argv[3], &fileInfoStatus);
    return rc != kStatusOk ? rc : fileInfoStatus;
}

namespace {

// The host name and the address become words of an entry: a blank, a tab
// or a line end would split them or start another entry, "#" may start a
// comment for the resolver, and no control character belongs in either.
bool breaksEntry(const char *arg) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(arg); *p != 0; p++) {
        if (*p <= ' ' || *p == 0x7f || *p == '#') return true;
    }
    return false;
}

constexpr int kFirstEntryArg = 3;  // the host name, then the address

}  // namespace

int checkArgs(int argc, char **argv, int requiredArgCount) {
    if (argc != requiredArgCount) {
        xtr_trace("XREMHSTF: Incorrect number of args: %d; should be %d", argc, requiredArgCount);
        return kStatusArgCount;
    }
    int rc = kStatusOk;
    for (int i = 0; i < argc; i++) {
        if (argv[i] == nullptr || argv[i][0] == '\0') {
            xtr_trace("XREMHSTF: Argument %d is null or 0-length", i);
            rc = kStatusEmptyArg;
        } else if (i >= kFirstEntryArg && breaksEntry(argv[i])) {
            xtr_trace("XREMHSTF: Argument %d contains a blank, a control character or \"#\"", i);
            rc = kStatusEmptyArg;
        }
    }
    return rc;
}

int getFileInfo(const char *filename, struct stat *fileInfo) {
    if (stat(filename, fileInfo) == 0) return kStatusOk;
    if (errno == ENOENT) {
        fileInfo->st_mode = 1;
        fileInfo->st_uid = 0;
        fileInfo->st_gid = 0;
        return kStatusOk;
    }
    xtr_trace("XREMHSTF: stat() for %s failed; errno=%d", filename, errno);
    return kStatusStat;
}

int setFileInfo(int fd, const char *filename, const struct stat *fileInfo) {
    // Set-id bits mean nothing on a hosts file; on one that others can
    // replace they would only serve an attacker.
    const mode_t mode = fileInfo->st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    if (fchmod(fd, mode) != 0) {
        xtr_trace("XREMHSTF: chmod() for %s failed; errno=%d", filename, errno);
        return kStatusChmod;
    }
    if (fchown(fd, fileInfo->st_uid, fileInfo->st_gid) != 0) {
        xtr_trace("XREMHSTF: chown() for %s failed; errno=%d", filename, errno);
        return kStatusChown;
    }
    return kStatusOk;
}

}  // namespace hostscmd
