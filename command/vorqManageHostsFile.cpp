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
    xtr_trace("XREMHSTF: Handling an update request for file=%s; hostname=%s; IP=%s", argv[2], argv[3],
              argv[4]);
    struct stat fileInfo{};
    rc = getFileInfo(argv[2], &fileInfo);
    if (rc != kStatusOk) return rc;
    rc = updateHostsFile(argv[2], argv[3], argv[4], &fileInfo);
    if (rc != kStatusOk) return rc;
    return setFileInfo(argv[2], &fileInfo);
}

int doRemove(int argc, char **argv) {
    int rc = checkArgs(argc, argv, 4);
    if (rc != kStatusOk) return rc;
    xtr_trace("XREMHSTF: Handling a remove request for file=%s; hostname=%s", argv[2], argv[3]);
    struct stat fileInfo{};
    rc = getFileInfo(argv[2], &fileInfo);
    if (rc != kStatusOk) return rc;
    rc = removeHostFromHostsFile(argv[2], argv[3], &fileInfo);
    if (rc != kStatusOk) return rc;
    return setFileInfo(argv[2], &fileInfo);
}

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

bool isMissingFileRecord(const struct stat &fileInfo) { return (fileInfo.st_mode & S_IFMT) == 0; }

int setFileInfo(const char *filename, const struct stat *fileInfo) {
    if (chmod(filename, fileInfo->st_mode) != 0) {
        xtr_trace("XREMHSTF: chmod() for %s failed; errno=%d", filename, errno);
        return kStatusChmod;
    }
    if (chown(filename, fileInfo->st_uid, fileInfo->st_gid) != 0) {
        xtr_trace("XREMHSTF: chown() for %s failed; errno=%d", filename, errno);
        return kStatusChown;
    }
    // Changing the owner clears the set-user-id and set-group-id bits; put
    // them back so that the recorded mode is the one the file keeps.
    if ((fileInfo->st_mode & (S_ISUID | S_ISGID)) != 0 && chmod(filename, fileInfo->st_mode) != 0) {
        xtr_trace("XREMHSTF: chmod() for %s failed; errno=%d", filename, errno);
        return kStatusChmod;
    }
    return kStatusOk;
}

}  // namespace hostscmd
