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
    kStatusNoOperation = 1,     // argc below 2
    kStatusUnknownOperation = 2,
    kStatusArgCount = 3,
    kStatusEmptyArg = 4,
    kStatusTempCreate = 5,      // the temporary file could not be created
    kStatusTempOpen = 6,        // ... or opened as a stream
    kStatusRename = 7,
    kStatusWrite = 8,           // a write to the temporary file failed
    kStatusHostsOpen = 9,       // the hosts file could not be opened or read
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

// 3 when argc is not requiredArgCount, 4 when an entry is null or empty
// (each such entry is traced), else 0.
int checkArgs(int argc, char **argv, int requiredArgCount);

// Records the file's status (links followed).  A missing file is not an
// error: the record then holds mode 1 and owner 0:0 and the rewrite, which
// fails to open the file, decides the status.  10 on any other failure.
int getFileInfo(const char *filename, struct stat *fileInfo);

// True for the record getFileInfo makes for a missing file.
bool isMissingFileRecord(const struct stat &fileInfo);

// Puts the recorded permission bits (11 on failure), then owner and group
// (12 on failure) on the file.
int setFileInfo(const char *filename, const struct stat *fileInfo);

// Makes newHostname resolve to newIPAddress: the first line whose address
// or name matches is kept (or rewritten to the new pair), later ones are
// dropped, and the pair is appended when no line matched.  Returns 0, 5, 6,
// 7, 8 or 9.  When fileInfo is given, its mode and ownership are put on the
// new file before it replaces the old one; a missing-file record is
// replaced by the status of the file actually read.
int updateHostsFile(const char *hostsFilename, const char *newHostname, const char *newIPAddress,
                    struct stat *fileInfo = nullptr);

// Deletes every line whose second word is hostname (letter case ignored).
// Results and fileInfo as for updateHostsFile.
int removeHostFromHostsFile(const char *hostsFilename, const char *hostname,
                            struct stat *fileInfo = nullptr);

}  // namespace hostscmd
