// Opening, closing and deleting files by logical name.  The open-flag word
// and the file's existence choose the stream mode; every open is marked
// close-on-exec and a busy file is tried again for up to 30 attempts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "internal.h"

namespace {

constexpr int kBusyAttempts = 30;
constexpr useconds_t kBusyPauseUsec = 1000;

// The stream mode for the flags and the file's existence: a missing file
// is created ("w"); an existing one is emptied ("w") only when, of
// XDFC_DE_CREAT and XDFC_E_OPEN, exactly XDFC_DE_CREAT is set; otherwise
// its contents are kept ("r").  Attribute 0 adds "+".
void chooseMode(bool exists, unsigned int uOpenFlag, unsigned int uFileAttr, char (&mode)[3]) {
    const unsigned int createOrOpen = uOpenFlag & (XDFC_DE_CREAT | XDFC_E_OPEN);
    mode[0] = (!exists || createOrOpen == XDFC_DE_CREAT) ? 'w' : 'r';
    mode[1] = uFileAttr == 0 ? '+' : '\0';
    mode[2] = '\0';
}

}  // namespace

extern "C" KBVDDFC_EXPORT SPRET xdfc_search_file_open(const char *pszFileName, unsigned long /*ulInitialSize*/,
                                                      unsigned int uFileAttr, unsigned int uOpenFlag,
                                                      unsigned int /*uOpenMode*/, FILE **phfileFileHandle,
                                                      unsigned int *puAction, SPRET *pulComprc) {
    xtr_trace("XDFCSFOT: -> xdfc_search_file_open");
    SPRET result = 2;
    char path[kPathSize];
    if (resolveName(pszFileName, path, pulComprc)) {
        struct stat st;
        const bool exists = stat(path, &st) == 0;
        if (!exists && (uOpenFlag & XDFC_DE_CREAT) == 0) {
            xtr_trace("XDFCSFOF: uOpenFlag=0X%X file did not exist and did not specify XDFC_DE_CREAT", uOpenFlag);
            *pulComprc = 2;
        } else if (exists && (uOpenFlag & (XDFC_E_OPEN | XDFC_E_REPLACE)) == 0) {
            xtr_trace("XDFCSFOF: uOpenFlag=0X%X file exists but did not specify XDFC_E_OPEN or XDFC_E_REPLACE",
                      uOpenFlag);
            *pulComprc = EINVAL;
        } else {
            xtr_trace("XDFCSFOF: uOpenFlag=0X%X exists=%d", uOpenFlag, exists ? 1 : 0);
            char mode[3];
            chooseMode(exists, uOpenFlag, uFileAttr, mode);
            xtr_trace("XDFCSFOF: open flags [%s] for file [%s]", mode, path);
            result = xdfc_search_file_open2(pszFileName, mode, phfileFileHandle, pulComprc);
            if (result == 0) *puAction = exists ? 1 : 2;
        }
    }
    xtr_trace("XDFCSFOT: <- xdfc_search_file_open");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_search_file_open2(const char *pszFileName, const char *pszOpenMode, FILE **pFile,
                                                       SPRET *pulComprc) {
    xtr_trace("XDFCSFOT: -> xdfc_search_file_open2");
    *pulComprc = 0;
    SPRET result = 2;
    char path[kPathSize];
    const bool resolved = resolveName(pszFileName, path, pulComprc);
    if (resolved) {
        for (int attempts = 0;;) {
            *pFile = xdfc_hooks.openStream(path, pszOpenMode);
            if (*pFile != nullptr) {
                result = 0;
                *pulComprc = 0;
                const int fd = fileno(*pFile);
                const int flags = fcntl(fd, F_GETFD);
                const int iRc = flags < 0 ? flags : fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
                if (iRc < 0) xtr_trace("XDFCSFOF: Error on fcntl. iRc=%d, errno=%d", iRc, errno);
                break;
            }
            *pulComprc = errno;
            if (errno != EBUSY || ++attempts >= kBusyAttempts) break;
            xdfc_hooks.pause(kBusyPauseUsec);
        }
    }
    xtr_trace("XDFCSFOF: Opening file [%s], rc=%lx, file ptr=%p, errno=%d", path,
              static_cast<unsigned long>(*pulComprc), resolved ? static_cast<void *>(*pFile) : nullptr, errno);
    if (*pulComprc != 0 && *pulComprc != 2) {
        const bool logFile = std::strstr(pszFileName, ".log") != nullptr;
        result = logFile ? 2 : xdfc_hard_err(HardErrorSite::kOpen, *pulComprc, path);
    }
    xtr_trace("XDFCSFOT: <- xdfc_search_file_open2");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_close_file(FILE *fileptr, SPRET *pulComprc) {
    xtr_trace("XDFCCF T: -> xdfc_close_file");
    SPRET result = 0;
    if (fileptr == nullptr) {
        *pulComprc = EBADF;
        result = 2;
    } else {
        *pulComprc = std::fclose(fileptr);
        if (*pulComprc != 0) {
            *pulComprc = errno;
            result = 2;
        }
    }
    xtr_trace("XDFCCF F: filehandle=%p, src=%X, crc=%X", static_cast<void *>(fileptr),
              static_cast<unsigned int>(result), static_cast<unsigned int>(*pulComprc));
    xtr_trace("XDFCCF T: <- xdfc_close_file");
    return result;
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_delete_file(const char *pszFileName, SPRET *pulComprc) {
    xtr_trace("XDFCDF T: -> xdfc_delete_file");
    xtr_trace("XDFCDF F: filename=[%s]", pszFileName);
    SPRET result = 2;
    char path[kPathSize];
    if (resolveName(pszFileName, path, pulComprc)) {
        result = 0;
        *pulComprc = unlink(path);
        if (*pulComprc != 0) {
            *pulComprc = errno;
            result = xdfc_hard_err(HardErrorSite::kDelete, errno, path);
        }
    }
    xtr_trace("XDFCDF F: filename=[%s], src=%X, crc=%X", pszFileName, static_cast<unsigned int>(result),
              static_cast<unsigned int>(*pulComprc));
    xtr_trace("XDFCDF T: <- xdfc_delete_file");
    return result;
}
