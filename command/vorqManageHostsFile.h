// vorqManageHostsFile - edits a hosts-format file safely.
//
//   vorqManageHostsFile update FILE HOSTNAME ADDRESS
//   vorqManageHostsFile remove FILE HOSTNAME
//
// The command prints nothing; its result is its exit status (kStatus*
// below) and everything it does is recorded as trace points of component
// "XREMHST".  The file is never edited in place: a complete new version is
// written beside it and renamed over it.
#pragma once

#include <sys/stat.h>

namespace hostscmd {

// Exit statuses.  Every function of the command returns one of these; the
// first non-zero one ends the operation.
enum : int {
    kStatusOk = 0,
    kStatusNoOperation = 1,  // argc below 2
    kStatusUnknownOperation = 2,
    kStatusArgCount = 3,
    kStatusEmptyArg = 4,  // ... or one that would not stay one word of an entry
    kStatusTempCreate = 5,  // the temporary file could not be created
    kStatusTempOpen = 6,  // ... or opened as a stream
    kStatusRename = 7,
    kStatusWrite = 8,  // a write to the temporary file failed
    kStatusHostsOpen = 9,  // the hosts file could not be opened, locked or read
    kStatusStat = 10,
    kStatusChmod = 11,
    kStatusChown = 12,
};

// The whole command: traces its entry and arguments, dispatches the
// operation word and returns the exit status.
int vorqManageHostsFile(int argc, char **argv);

// One operation each: checks the arguments, records the file's status,
// rewrites the file and restores its mode and ownership.
int doUpdate(int argc, char **argv);
int doRemove(int argc, char **argv);

// 3 when argc is not requiredArgCount, 4 when an entry is null or empty or
// when the host name or address holds a blank, a control character or "#"
// (each such entry is traced), else 0.
int checkArgs(int argc, char **argv, int requiredArgCount);

// Reads the file's status (links followed) for its result only: 10 on a
// failure other than absence.  A missing file is not an error (the record
// then holds mode 1 and owner 0:0) and the rewrite, which fails to open
// the file, decides the status.  What the new file gets is always taken
// from the file the rewrite actually read.
int getFileInfo(const char *filename, struct stat *fileInfo);

// Puts the recorded permission bits without the set-id bits (11 on
// failure, ownership then not attempted), then owner and group (12 on
// failure) on the open file fd; filename only names it in the traces.
int setFileInfo(int fd, const char *filename, const struct stat *fileInfo);

// Makes newHostname resolve to newIPAddress: the first entry whose address
// or name matches is kept (or rewritten to the new pair), later ones are
// dropped, and the pair is appended when no entry matched.  Comment lines
// are never compared.  Returns 0, 5, 6, 7, 8 or 9.  The new file gets the
// mode and ownership of the file read before it replaces it; the result of
// that (0, 11 or 12) goes to *fileInfoStatus when the file was replaced.
int updateHostsFile(const char *hostsFilename, const char *newHostname, const char *newIPAddress,
                    int *fileInfoStatus = nullptr);

// Deletes every entry whose second word is hostname (letter case ignored).
// Results as for updateHostsFile.
int removeHostFromHostsFile(const char *hostsFilename, const char *hostname, int *fileInfoStatus = nullptr);

}  // namespace hostscmd
