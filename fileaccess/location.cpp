// Control file and name resolution: loading "kbvddfc.trm" into the name
// table, looking a logical name up in it (with the search along PATH that
// an entry can ask for) and turning a logical name into the path to use.
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "internal.h"

char xdfc_file_req[XDFC_FILE_REQ_SIZE];

namespace {

// 1 once the control file has been loaded; a failed load leaves it 0, so
// the next lookup loads again from the start.
unsigned short armed = 0;

constexpr char kControlFile[] = "kbvddfc.trm";
constexpr std::size_t kDirSize = 1024;  // the control file's directory and path
constexpr std::size_t kMaxCwd = kDirSize - 2;  // room for the "/" and the NUL
constexpr std::size_t kMaxConsolePath = kDirSize - sizeof kControlFile;  // 1012
constexpr std::size_t kMaxEntry = 127;  // the length byte is signed
constexpr char kCtrlZ = 0x1A;

bool endsDirectory(char c) { return c == ' ' || c == '\r' || c == '\n' || c == kCtrlZ; }
bool endsLine(char c) { return c == '\r' || c == '\n'; }

// Appends into a fixed buffer; remembers that something did not fit.
struct Appender {
    char *buf;
    std::size_t cap;  // characters, the NUL not counted
    std::size_t len = 0;
    bool overflow = false;

    void put(const char *s, std::size_t n) {
        if (len + n > cap) {
            overflow = true;
            return;
        }
        std::memcpy(buf + len, s, n);
        len += n;
    }
    void put(char c) { put(&c, 1); }
};

// The directory text with each "*" replaced by the control file's
// directory.  A "/" right after the "*" is dropped and the character after
// that is taken as it is, so scanning resumes at the second character of
// what followed the "*".
void replaceStars(const char *raw, std::size_t n, const char *ctlDir, Appender &out) {
    std::size_t i = 0;
    while (i < n) {
        if (raw[i] != '*') {
            out.put(raw[i++]);
            continue;
        }
        out.put(ctlDir, std::strlen(ctlDir));
        std::size_t j = i + 1;
        if (j < n && raw[j] == '/') j++;
        if (j < n) out.put(raw[j++]);
        i = j;
    }
}

// Stores one entry at *t; false (500) when it does not fit into the table.
// An entry over 127 bytes cannot be represented and is skipped.
bool storeEntry(const char *pattern, std::size_t plen, const char *raw, std::size_t rawLen, const char *ctlDir,
                std::size_t *t, long fileSize, SPRET *rc) {
    // A NUL byte would cut the pattern short at lookup and make part of it
    // pass for the directory: such an entry is skipped.
    char shown[kMaxEntry + 1];  // the pattern as a trace shows it, cut to 127
    const std::size_t shownLength = plen < kMaxEntry ? plen : kMaxEntry;
    std::memcpy(shown, pattern, shownLength);
    shown[shownLength] = '\0';
    if (std::memchr(pattern, '\0', plen) != nullptr || std::memchr(raw, '\0', rawLen) != nullptr) {
        xtr_trace("XDFCI  F: Skipped filename pattern=[%s], its entry holds a NUL byte", shown);
        return true;
    }
    char dir[kMaxEntry + 1];
    Appender out{dir, plen + 4 <= kMaxEntry ? kMaxEntry - 4 - plen : 0};
    if (plen + 4 > kMaxEntry) out.overflow = true;
    else replaceStars(raw, rawLen, ctlDir, out);
    if (out.overflow) {
        xtr_trace("XDFCI  F: Skipped filename pattern=[%s], its entry is longer than 127 bytes", shown);
        return true;
    }
    const std::size_t total = plen + out.len + 4;
    if (*t + total + 1 > XDFC_FILE_REQ_SIZE) {
        xtr_trace("XDFCI  F: KBVDDFC.TRM is too large, %d", static_cast<int>(fileSize));
        *rc = 500;
        return false;
    }
    char *e = xdfc_file_req + *t;
    e[0] = static_cast<char>(total);
    e[1] = '\0';
    std::memcpy(e + 2, pattern, plen);
    e[2 + plen] = '\0';
    std::memcpy(e + 3 + plen, dir, out.len);
    e[3 + plen + out.len] = '\0';
    *t += total;
    xtr_trace("XDFCI  D: Processed filename pattern=[%s]", e + 2);
    return true;
}

// Parses the control file's bytes into the table.  0 or 500.
SPRET parseControlFile(const char *data, std::size_t size, const char *ctlDir, long fileSize) {
    std::size_t pos = 0;
    std::size_t t = 0;
    while (pos < size) {
        if (data[pos] != '#') {
            std::size_t blank = pos;
            while (blank < size && data[blank] != ' ' && !endsLine(data[blank])) blank++;
            // A line without a blank holds no entry and is skipped.
            if (blank < size && data[blank] == ' ') {
                const std::size_t dirStart = blank + 1;
                std::size_t dirEnd = dirStart;
                while (dirEnd < size && !endsDirectory(data[dirEnd])) dirEnd++;
                SPRET rc = 0;
                if (!storeEntry(data + pos, blank - pos, data + dirStart, dirEnd - dirStart, ctlDir, &t, fileSize, &rc))
                    return rc;
            }
        }
        while (pos < size && !endsLine(data[pos])) pos++;
        while (pos < size && (endsLine(data[pos]) || data[pos] == kCtrlZ)) pos++;
    }
    xdfc_file_req[t] = 0;
    return 0;
}

// A control file steers where a program, perhaps root, reads and writes,
// so it is used only when neither it nor its directory can have been
// changed by another user: both belong to root or the effective user and
// neither is writable by group or others (a sticky directory such as /tmp
// is still written by everyone).  The directory is opened and checked
// first, and the file, opened relative to it without following a link and
// without blocking, is checked on its descriptor: nothing is judged by one
// path and then used by another.
bool ownerIsTrusted(uid_t uid) { return uid == 0 || uid == geteuid(); }
bool othersMayWrite(mode_t mode) { return (mode & (S_IWGRP | S_IWOTH)) != 0; }

const char *directoryDistrust(const struct stat &st) {
    if (!ownerIsTrusted(st.st_uid)) return "its directory belongs to neither root nor the effective user";
    if (othersMayWrite(st.st_mode)) return "its directory is writable by group or others";
    return nullptr;
}

const char *fileDistrust(const struct stat &st) {
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (!ownerIsTrusted(st.st_uid)) return "it belongs to neither root nor the effective user";
    if (othersMayWrite(st.st_mode)) return "it is writable by group or others";
    return nullptr;
}

// How a look into one place ended.
enum class Candidate { kOpen, kFailed, kSkipped };

// Opens name in dir (shown as shownDir in the trace) for reading if it can
// be trusted.  kOpen with *fd set; kFailed with *err the errno of the step
// that failed (an absent file among them); kSkipped, already traced, when
// a file is there but is not to be trusted: the caller then goes on as if
// it were absent.  In a directory that is not trusted nothing is opened.
Candidate openTrusted(const char *dir, const char *name, const char *shownDir, owners::Fd *fd, int *err) {
    const auto failed = [err] {
        *err = errno;
        return Candidate::kFailed;
    };
    owners::Fd dirFd;
    struct stat st;
    if (openStatus(AT_FDCWD, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, &dirFd, &st) != StatusStep::kDone)
        return failed();
    const char *why = directoryDistrust(st);
    if (why != nullptr) {
        if (fstatat(dirFd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return failed();
    } else {
        owners::Fd file;
        const StatusStep step =
            openStatus(dirFd.get(), name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, &file, &st);
        if (step == StatusStep::kOpen && errno == ELOOP) {
            why = "it is a symbolic link";
        } else if (step != StatusStep::kDone) {
            return failed();
        } else if ((why = fileDistrust(st)) == nullptr) {
            *fd = std::move(file);
            return Candidate::kOpen;
        }
    }
    xtr_trace("XDFCI  F: Skipped [%s] in [%s], %s", name, shownDir, why);
    return Candidate::kSkipped;
}

// Opens the control file: in the current directory, else in $CONSOLE_PATH
// or "/console/".  ctlDir receives the directory it was found in.  The
// descriptor, or an invalid one with *rc set.
owners::Fd openControlFile(char (&ctlDir)[kDirSize], SPRET *rc) {
    const bool taken = getcwd(ctlDir, sizeof ctlDir) != nullptr;
    if (!taken || std::strlen(ctlDir) > kMaxCwd) {
        const int err = (taken || errno == ERANGE) ? ENAMETOOLONG : errno;
        xtr_trace("XDFCI  F: Could not take the current directory (rc=%d).", err);
        *rc = err;
        return {};
    }
    std::strcat(ctlDir, "/");
    xtr_trace("XDFCI  F: Looking for kbvddfc.trm in the current directory [%s].", ctlDir);
    owners::Fd fd;
    int err = 0;
    const Candidate here = openTrusted(".", kControlFile, ctlDir, &fd, &err);
    if (here == Candidate::kOpen) {
        xtr_trace("XDFCI  F: Found kbvddfc.trm in the current directory [%s].", ctlDir);
        return fd;
    }
    if (here == Candidate::kFailed)
        xtr_trace("XDFCI  F: Could not open [%s] in the current directory [%s] (rc=%d).", kControlFile, ctlDir, err);

    const char *console = secure_getenv("CONSOLE_PATH");
    if (console == nullptr) console = "/console/";
    if (std::strlen(console) > kMaxConsolePath) {
        xtr_trace("XDFCI  F: CONSOLE_PATH is longer than %d characters.", static_cast<int>(kMaxConsolePath));
        *rc = ENAMETOOLONG;
        return {};
    }
    std::strcpy(ctlDir, console);
    char path[kDirSize];
    std::strcpy(path, console);
    std::strcat(path, kControlFile);
    xtr_trace("XDFCI  F: Will try [%s].", path);
    // The path is the value followed directly by the name, so the file's
    // directory is everything up to its last "/" (the current directory
    // when there is none) and its name what follows.
    char dir[kDirSize] = ".";
    const char *name = path;
    if (const char *slash = std::strrchr(path, '/'); slash != nullptr) {
        const auto n = static_cast<std::size_t>(slash - path) + 1;
        std::memcpy(dir, path, n);
        dir[n] = '\0';
        name = slash + 1;
    }
    switch (openTrusted(dir, name, dir, &fd, &err)) {
        case Candidate::kOpen:
            return fd;
        case Candidate::kFailed:
            xtr_trace("XDFCI  F: Error on Open of [%s].(rc=%d)", path, err);
            *rc = err;
            return {};
        case Candidate::kSkipped:
            *rc = ENOENT;  // as if it were absent
            return {};
    }
    return {};
}

// Reads the open control file whole and parses it.
SPRET loadFrom(owners::Fd fd, const char *ctlDir) {
    struct stat st;
    const int src = fstat(fd.get(), &st);
    if (src != 0) {
        xtr_trace("XDFCI  F: Error on fstat of KBVDDFC.TRM.(rc=%d,errno=%d )", src, errno);
        return errno;
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    const owners::Memory buffer = owners::allocate(size > 0 ? size : 1);
    if (!buffer) {
        xtr_trace("XDFCI  F: Error on malloc.(rc=%d)", errno);
        return errno;
    }
    const ssize_t got = read(fd.get(), buffer.get(), size);
    if (got < 0 || static_cast<std::size_t>(got) != size) {
        if (got >= 0) errno = EIO;  // the file shrank under us
        xtr_trace("XDFCI  F: Error on Read of KBVDDFC.TRM.(rc=%d)", errno);
        return errno;
    }
    if (close(fd.release()) != 0) {
        xtr_trace("XDFCI  F: Error on Close of KBVDDFC.TRM.(rc=%d)", errno);
        return errno;
    }
    return parseControlFile(buffer.get(), size, ctlDir, static_cast<long>(st.st_size));
}

// Looks the name up along PATH, for an entry whose directory holds a ";".
// pszPath holds the entry's directory text on entry and the directory to
// use on return.  0, or ENAMETOOLONG when a candidate does not fit.
SPRET searchAlongPath(const char *name, char *pszPath) {
    const char *list = secure_getenv("PATH");
    if (list != nullptr && *list != '\0') {
        const std::size_t nameLen = std::strlen(name);
        const char *element = list;
        for (;;) {
            const char *end = std::strchr(element, ':');
            if (end == nullptr) end = element + std::strlen(element);
            const std::size_t elen = static_cast<std::size_t>(end - element);
            if (elen + 1 + nameLen >= kPathSize) {
                xtr_trace("XDFCQFLF: PATH element for [%s] makes a path longer than 511 characters", name);
                return ENAMETOOLONG;
            }
            char candidate[kPathSize];
            std::memcpy(candidate, element, elen);
            candidate[elen] = '/';
            std::memcpy(candidate + elen + 1, name, nameLen + 1);
            xtr_trace("XDFCQFLD: searching path [%s] for [%s].", candidate, name);
            if (access(candidate, F_OK) == 0) {
                xtr_trace("XDFCQFLD: file found. szFQName is '%s'", candidate);
                std::strrchr(candidate, '/')[1] = '\0';
                std::strcpy(pszPath, candidate);
                xtr_trace("XDFCQFLF: Final Path is [%s]", pszPath);
                return 0;
            }
            // A colon at the very end adds no element.
            if (*end == '\0' || end[1] == '\0') break;
            element = end + 1;
        }
    }
    xtr_trace("XDFCQFLD: file not found along path. Using first path.");
    *std::strchr(pszPath, ';') = '\0';
    const std::size_t n = std::strlen(pszPath);
    if (n == 0 || pszPath[n - 1] != '/') std::strcat(pszPath, "/");
    xtr_trace("XDFCQFLF: Final Path is [%s]", pszPath);
    return 0;
}

}  // namespace

SPRET xdfc_init() noexcept {
    char ctlDir[kDirSize];
    SPRET rc = 0;
    owners::Fd fd = openControlFile(ctlDir, &rc);
    if (!fd.valid()) return rc;
    return loadFrom(std::move(fd), ctlDir);
}

extern "C" KBVDDFC_EXPORT SPRET xdfc_query_file_location(const char *pszFileName, char *pszPath, SPRET *pulComprc) {
    xtr_trace("XDFCQFLT: -> xdfc_query_file_location");
    xtr_trace("XDFCQFLF: Looking for [%s]", pszFileName);
    SPRET result = 2;
    if (armed == 0) {
        const SPRET rc = xdfc_init();
        if (rc != 0) {
            *pulComprc = rc;
            xtr_trace("XDFCQFLT: <- xdfc_query_file_location");
            return 2;
        }
        armed = 1;
    }
    *pulComprc = 2;
    std::size_t t = 0;
    while (t < XDFC_FILE_REQ_SIZE) {
        const int length = static_cast<signed char>(xdfc_file_req[t]);
        if (length < 4 || t + static_cast<std::size_t>(length) > XDFC_FILE_REQ_SIZE) break;
        const char *pattern = xdfc_file_req + t + 2;
        result = fnmatch(pattern, pszFileName, FNM_NOESCAPE);
        if (result == 0) {
            std::strcpy(pszPath, pattern + std::strlen(pattern) + 1);
            *pulComprc = 0;
            xtr_trace("XDFCQFLF: Path is [%s]", pszPath);
            break;
        }
        t += static_cast<std::size_t>(length);
    }
    if (result == 0 && std::strchr(pszPath, ';') != nullptr) {
        const SPRET rc = searchAlongPath(pszFileName, pszPath);
        if (rc != 0) {
            *pulComprc = rc;
            result = 2;
        }
    }
    xtr_trace("XDFCQFLT: <- xdfc_query_file_location");
    return result;
}

SPRET xdfc_getfilepath(const char *pszFileName, char *pszQFileName) noexcept {
    pszQFileName[0] = '\0';
    if (pszFileName[0] == '!') {
        if (!copyBounded(pszQFileName, kPathSize, pszFileName + 1)) {
            xtr_trace("XDFCQFLF: Path [%s] is longer than 511 characters", pszFileName + 1);
            return ENAMETOOLONG;
        }
        return 0;
    }
    char dir[kPathSize];
    SPRET comprc = 0;
    xdfc_query_file_location(pszFileName, dir, &comprc);
    if (comprc != 0) return comprc;
    const std::size_t d = std::strlen(dir);
    const std::size_t n = std::strlen(pszFileName);
    if (d + n >= kPathSize) {
        xtr_trace("XDFCQFLF: Path for [%s] in [%s] is longer than 511 characters", pszFileName, dir);
        return ENAMETOOLONG;
    }
    std::memcpy(pszQFileName, dir, d);
    std::memcpy(pszQFileName + d, pszFileName, n + 1);
    return 0;
}
