// The safe rewrite of a hosts file.  A complete new version is written to a
// temporary file in the same directory, made durable, given the mode and
// ownership of the file that was read, and renamed over the hosts file in
// one step, so a reader sees either the old or the new content, never a
// torn file.  Lines are streamed one at a time; the file is never held in
// memory.
//
// The directory may be writable by other users while root runs the
// command, so the path is resolved once: the directory is opened, and the
// hosts file, the temporary file and the rename all go through that
// descriptor.  Mode and ownership are read from the descriptor that is read
// and put on the descriptor that is written; nothing is done by path after
// the rename.  Runs on one file are serialised by an advisory lock on it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "kbvdtrac.h"
#include "owners.h"
#include "vorqManageHostsFile.h"

namespace hostscmd {
namespace {

constexpr char kTempTemplate[] = "wynTempEtcHostsXXXXXX";
constexpr size_t kTempSuffix = 6;  // the X's that a fresh name replaces
constexpr int kTempAttempts = 100;  // names tried before giving up
constexpr size_t kTempNameSize = 4096;  // the temporary path and its terminator
constexpr int kLockWaitSeconds = 10;  // how long another run may hold the file
constexpr size_t kStreamBuffer = 64 * 1024;
// The streams' buffers: given explicitly, as a stream left to allocate its
// own keeps the small default size.  One rewrite runs per process.
char hostsStreamBuffer[kStreamBuffer];
char tempStreamBuffer[kStreamBuffer];

// The first two words of a line and what follows them.  Words end at a
// blank, a tab, a NUL or the line end; the line end is the newline and a
// carriage return right before it (or ending a last line without one).
// The rest starts after the single character that ended the second word,
// runs to the line end and is absent when empty.  A line whose first
// non-blank character is "#" is a comment and has no words.
struct Words {
    int count = 0;
    std::string_view address;
    std::string_view hostname;
    std::string_view rest;
    bool hasRest = false;
    bool crlf = false;  // the line end holds a carriage return
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

Words splitLine(const char *line, size_t length) {
    Words w;
    const char *end = line + length;
    if (end > line && end[-1] == '\n') end--;
    if (end > line && end[-1] == '\r') {
        end--;
        w.crlf = true;
    }
    // Words are read as a C string: a NUL byte ends the text.
    if (const void *nul = std::memchr(line, '\0', static_cast<size_t>(end - line))) {
        end = static_cast<const char *>(nul);
    }
    const char *p = line;
    while (p < end && isBlank(*p)) p++;
    if (p < end && *p == '#') return w;
    std::string_view *slots[2] = {&w.address, &w.hostname};
    for (auto *slot : slots) {
        while (p < end && isBlank(*p)) p++;
        if (p == end) return w;
        const char *start = p;
        while (p < end && !isBlank(*p)) p++;
        *slot = std::string_view(start, static_cast<size_t>(p - start));
        w.count++;
        if (p < end) p++;  // the delimiter that ended the word
    }
    if (p > w.hostname.data() + w.hostname.size() && p < end) {
        w.rest = std::string_view(p, static_cast<size_t>(end - p));
        w.hasRest = true;
    }
    return w;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The temporary file's write stream.  Every write is checked; the first
// failure is traced and ends the rewrite with status 8.
class TempWriter {
public:
    TempWriter(FILE *fp, const char *path) : fp_(fp), path_(path) {}

    [[nodiscard]] bool failed() const { return failed_; }
    [[nodiscard]] bool atLineStart() const { return atLineStart_; }

    // Writes the pieces as one line of output.
    void write(std::initializer_list<std::string_view> pieces) {
        if (failed_) return;
        for (std::string_view piece : pieces) {
            if (piece.empty()) continue;
            if (std::fwrite(piece.data(), 1, piece.size(), fp_) != piece.size()) {
                xtr_trace("XREMHSTF: fputs() failed on write to temporary hosts file: %s", path_);
                failed_ = true;
                return;
            }
            atLineStart_ = piece.back() == '\n';
        }
    }

private:
    FILE *fp_;
    const char *path_;
    bool failed_ = false;
    bool atLineStart_ = true;  // nothing written yet, or the last byte was a newline
};

// The update's line rule: the first line that carries the address or the
// name binds the new pair; later ones are dropped.
class UpdateRule {
public:
    UpdateRule(const char *hostname, const char *address) : hostname_(hostname), address_(address) {}

    void line(std::string_view text, TempWriter &out) {
        Words w = splitLine(text.data(), text.size());
        if (w.count < 2) return out.write({text});
        bool a = w.address == address_;
        bool h = equalsIgnoringCase(w.hostname, hostname_);
        if (!a && !h) return out.write({text});
        if (found_) return;  // a later conflicting line is dropped
        found_ = true;
        if (a && h) return out.write({text});
        out.write({address_, " ", hostname_, " ", w.rest, w.crlf ? "\r\n" : "\n"});
    }

    void finish(TempWriter &out) {
        if (found_) return;
        // The new entry starts on a line of its own, even after a last
        // line that has no newline.
        if (!out.atLineStart()) out.write({"\n"});
        out.write({address_, " ", hostname_, "\n"});
    }

private:
    std::string_view hostname_;
    std::string_view address_;
    bool found_ = false;
};

// The removal's line rule: every line whose second word is the name goes.
class RemoveRule {
public:
    explicit RemoveRule(const char *hostname) : hostname_(hostname) {}

    void line(std::string_view text, TempWriter &out) {
        Words w = splitLine(text.data(), text.size());
        if (w.count == 2 && equalsIgnoringCase(w.hostname, hostname_)) return;
        out.write({text});
    }

    void finish(TempWriter &) {}

private:
    std::string_view hostname_;
};

using owners::Fd;
using owners::Stream;

int traceOpenFailure(const char *path) {
    xtr_trace("XREMHSTF: fopen() of hosts file %s failed; errno=%d", path, errno);
    return kStatusHostsOpen;
}

// The directory that holds the hosts file and the file's name in it.
struct Location {
    std::string directory;  // ".", "/" or the path up to its last "/"
    const char *name;  // the rest of the path
};

Location locate(const char *path) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) return {".", path};
    if (slash == path) return {"/", slash + 1};
    return {std::string(path, static_cast<size_t>(slash - path)), slash + 1};
}

// A directory the caller may search but not list is opened as a path:
// everything but the final fsync works through such a descriptor.
int openDirectory(const std::string &directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) fd = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd;
}

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

bool reached(const timespec &deadline) {
    const timespec now = monotonicNow();
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// Takes the exclusive lock of one run of the command on fd, polling until
// the deadline.  The lock is advisory: readers of the file never wait.
bool lockUntil(int fd, const timespec &deadline, const char *path) {
    long pauseNs = 1000000;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            xtr_trace("XREMHSTF: flock() of hosts file %s failed; errno=%d", path, errno);
            return false;
        }
        if (reached(deadline)) {
            xtr_trace("XREMHSTF: lock of hosts file %s not obtained within %d seconds", path, kLockWaitSeconds);
            return false;
        }
        const timespec pause{0, pauseNs};
        nanosleep(&pause, nullptr);
        pauseNs = std::min(pauseNs * 2, 50000000L);
    }
}

// Opens the hosts file in its directory for reading, without blocking on a
// FIFO and only if it is a regular file, and locks it against other runs.
// Once locked, the name must still lead to the file locked: otherwise a run
// that held the lock has replaced it meanwhile, and the new file is taken.
// Fills *st with the status of the file that will be read.
Stream openHostsFile(int dirfd, const char *name, const char *path, struct stat *st) {
    timespec deadline = monotonicNow();
    deadline.tv_sec += kLockWaitSeconds;
    for (;;) {
        Fd fd(openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!fd.valid() || fstat(fd.get(), st) != 0) {
            traceOpenFailure(path);
            return nullptr;
        }
        if (!S_ISREG(st->st_mode)) {
            xtr_trace("XREMHSTF: hosts file %s is not a regular file", path);
            return nullptr;
        }
        if (!lockUntil(fd.get(), deadline, path)) return nullptr;
        struct stat named {};
        if (fstatat(dirfd, name, &named, 0) == 0 && named.st_dev == st->st_dev && named.st_ino == st->st_ino) {
            // The status that goes on the new file is taken under the lock.
            const int flags = fcntl(fd.get(), F_GETFL);
            if (fstat(fd.get(), st) != 0 || flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                traceOpenFailure(path);
                return nullptr;
            }
            Stream in(fdopen(fd.get(), "r"));
            if (!in) {
                traceOpenFailure(path);
                return nullptr;
            }
            fd.release();
            std::setvbuf(in.get(), hostsStreamBuffer, _IOFBF, kStreamBuffer);
            return in;
        }
        if (reached(deadline)) {
            xtr_trace("XREMHSTF: lock of hosts file %s not obtained within %d seconds", path, kLockWaitSeconds);
            return nullptr;
        }
    }
}

// Builds the temporary path in the hosts file's directory (the current
// directory for a bare name).  False when it cannot fit.
bool buildTempName(const char *hostsFilename, char (&tempFilename)[kTempNameSize]) {
    const char *slash = std::strrchr(hostsFilename, '/');
    size_t dirLength = slash ? static_cast<size_t>(slash - hostsFilename) + 1 : 0;
    if (std::strlen(hostsFilename) >= kTempNameSize || dirLength + sizeof kTempTemplate > kTempNameSize) {
        return false;
    }
    std::memcpy(tempFilename, hostsFilename, dirLength);
    std::memcpy(tempFilename + dirLength, kTempTemplate, sizeof kTempTemplate);
    return true;
}

// The temporary file: created exclusively with mode 0600 under a fresh
// random name in the directory, and removed when its owner goes unless it
// was renamed into place.  Only the file created here is ever removed,
// whatever else may have taken its name meanwhile.
class TempFile {
public:
    // `name` ends in the template's X's and receives the name chosen.
    TempFile(int dirfd, char *name) : dirfd_(dirfd), name_(name) {}
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        struct stat now {};
        if (created_ && !committed_ && fstatat(dirfd_, name_, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == dev_ &&
            now.st_ino == ino_) {
            unlinkat(dirfd_, name_, 0);
        }
    }

    // The new file's descriptor, or -1 with errno set.
    int create() {
        static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        char *suffix = name_ + std::strlen(name_) - kTempSuffix;
        for (int attempt = 0; attempt < kTempAttempts; attempt++) {
            unsigned char random[kTempSuffix];
            if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
            for (size_t i = 0; i < kTempSuffix; i++) suffix[i] = kLetters[random[i] % (sizeof kLetters - 1)];
            int fd = openat(dirfd_, name_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno == EEXIST) continue;
            struct stat st {};
            if (fd >= 0 && fstat(fd, &st) == 0) {
                created_ = true;
                dev_ = st.st_dev;
                ino_ = st.st_ino;
            }
            return fd;
        }
        errno = EEXIST;
        return -1;
    }
    void commit() { committed_ = true; }

private:
    int dirfd_;
    char *name_;
    bool created_ = false;
    bool committed_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// Completes every write to the temporary file and closes it; any failure
// counts as a failed write.
bool finishTempFile(Stream out, const char *tempFilename) {
    bool ok = true;
    if (std::fflush(out.get()) != 0) {
        xtr_trace("XREMHSTF: fflush() of temporary hosts file %s failed; errno=%d", tempFilename, errno);
        ok = false;
    } else if (fsync(fileno(out.get())) != 0) {
        xtr_trace("XREMHSTF: fsync() of temporary hosts file %s failed; errno=%d", tempFilename, errno);
        ok = false;
    }
    const int closed = std::fclose(out.release());
    if (ok && closed != 0) {
        xtr_trace("XREMHSTF: fclose() of temporary hosts file %s failed; errno=%d", tempFilename, errno);
        ok = false;
    }
    return ok;
}

// Passes every line of `in` through the rule, then lets it finish.  False
// after a read error, which is traced.
template <class Rule>
bool copyLines(FILE *in, const char *hostsFilename, Rule &rule, TempWriter &out) {
    char *line = nullptr;
    size_t capacity = 0;
    bool readFailed = false;
    while (!out.failed()) {
        const ssize_t n = getline(&line, &capacity, in);
        if (n < 0) {
            if (!std::feof(in)) {
                xtr_trace("XREMHSTF: read of hosts file %s failed; errno=%d", hostsFilename, errno);
                readFailed = true;
            }
            break;
        }
        rule.line(std::string_view(line, static_cast<size_t>(n)), out);
    }
    std::free(line);
    if (!readFailed) rule.finish(out);
    return !readFailed;
}

// The steps both operations share; Rule decides what each line becomes.
// *fileInfoStatus receives what putting the mode and ownership on gave.
template <class Rule>
int rewriteHostsFile(const char *hostsFilename, Rule &rule, int *fileInfoStatus) {
    const Location where = locate(hostsFilename);
    Fd dir(openDirectory(where.directory));
    if (!dir.valid()) return traceOpenFailure(hostsFilename);
    struct stat readStatus {};
    Stream in = openHostsFile(dir.get(), where.name, hostsFilename, &readStatus);
    if (!in) return kStatusHostsOpen;

    char tempFilename[kTempNameSize];
    if (!buildTempName(hostsFilename, tempFilename)) {
        xtr_trace("XREMHSTF: mkstemp() for temp file failed; errno=%d", ENAMETOOLONG);
        return kStatusTempCreate;
    }
    char *tempName = tempFilename + (where.name - hostsFilename);
    TempFile temp(dir.get(), tempName);
    Fd fdNew(temp.create());
    if (!fdNew.valid()) {
        xtr_trace("XREMHSTF: mkstemp() for temp file failed; errno=%d", errno);
        return kStatusTempCreate;
    }
    Stream out(fdopen(fdNew.get(), "w"));
    if (!out) {
        xtr_trace("XREMHSTF: fdopen() of temp file %s for write access failed; errno=%d", tempFilename, errno);
        return kStatusTempOpen;
    }
    fdNew.release();
    std::setvbuf(out.get(), tempStreamBuffer, _IOFBF, kStreamBuffer);

    TempWriter writer(out.get(), tempFilename);
    if (!copyLines(in.get(), hostsFilename, rule, writer)) return kStatusHostsOpen;
    if (writer.failed()) return kStatusWrite;
    // Readers never see the hosts name with the temporary file's mode or
    // owner: those of the file read go on before the rename.
    const int fileInfo = setFileInfo(fileno(out.get()), hostsFilename, &readStatus);
    if (!finishTempFile(std::move(out), tempFilename)) return kStatusWrite;
    if (renameat(dir.get(), tempName, dir.get(), where.name) != 0) {
        xtr_trace("XREMHSTF: rename() of %s to %s failed; errno=%d", tempFilename, hostsFilename, errno);
        return kStatusRename;
    }
    temp.commit();
    (void)fsync(dir.get());  // best effort: makes the rename itself durable
    xtr_trace("XREMHSTF: Successfully updated %s", hostsFilename);
    if (fileInfoStatus != nullptr) *fileInfoStatus = fileInfo;
    return kStatusOk;
}

}  // namespace

int updateHostsFile(const char *hostsFilename, const char *newHostname, const char *newIPAddress, int *fileInfoStatus) {
    xtr_trace("XREMHSTT: -> updateHostsFile");
    UpdateRule rule(newHostname, newIPAddress);
    int retval = rewriteHostsFile(hostsFilename, rule, fileInfoStatus);
    xtr_trace("XREMHSTF: updateHostsFile exiting with retval=%d", retval);
    xtr_trace("XREMHSTT: <- updateHostsFile");
    return retval;
}

int removeHostFromHostsFile(const char *hostsFilename, const char *hostname, int *fileInfoStatus) {
    xtr_trace("XREMHSTT: -> removeHostFromHostsFile");
    RemoveRule rule(hostname);
    int retval = rewriteHostsFile(hostsFilename, rule, fileInfoStatus);
    xtr_trace("XREMHSTF: removeHostFromHostsFile exiting with retval=%d", retval);
    xtr_trace("XREMHSTT: <- removeHostFromHostsFile");
    return retval;
}

}  // namespace hostscmd
