// The safe rewrite of a hosts file.  A complete new version is written to a
// temporary file in the same directory, made durable, given the old file's
// mode and ownership, and renamed over the hosts file in one step, so a
// reader sees either the old or the new content, never a torn file.  Lines
// are streamed one at a time; the file is never held in memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "kbvdtrac.h"
#include "vorqManageHostsFile.h"

namespace hostscmd {
namespace {

constexpr char kTempTemplate[] = "wynTempEtcHostsXXXXXX";
constexpr size_t kTempNameSize = 4096;  // the temporary path and its terminator
constexpr size_t kStreamBuffer = 64 * 1024;
// The streams' buffers: given explicitly, as a stream left to allocate its
// own keeps the small default size.  One rewrite runs per process.
char hostsStreamBuffer[kStreamBuffer];
char tempStreamBuffer[kStreamBuffer];

// The first two words of a line and what follows them.  Words end at a
// blank, a tab, a newline, a NUL or the end of the line.  The rest starts
// after the single character that ended the second word, skips newlines,
// runs to the next newline and is absent when empty.
struct Words {
    int count = 0;
    std::string_view address;
    std::string_view hostname;
    std::string_view rest;
    bool hasRest = false;
};

bool isDelimiter(char c) { return c == ' ' || c == '\t' || c == '\n'; }

Words splitLine(const char *line, size_t length) {
    // Words are read as a C string: a NUL byte ends the text.
    const char *nul = static_cast<const char *>(std::memchr(line, '\0', length));
    const char *end = nul ? nul : line + length;
    const char *p = line;
    Words w;
    std::string_view *slots[2] = {&w.address, &w.hostname};
    for (auto *slot : slots) {
        while (p < end && isDelimiter(*p)) p++;
        if (p == end) return w;
        const char *start = p;
        while (p < end && !isDelimiter(*p)) p++;
        *slot = std::string_view(start, static_cast<size_t>(p - start));
        w.count++;
        if (p < end) p++;  // the delimiter that ended the word
    }
    if (p > w.hostname.data() + w.hostname.size()) {  // the second word ended at a delimiter
        while (p < end && *p == '\n') p++;
        const char *start = p;
        while (p < end && *p != '\n') p++;
        if (p > start) {
            w.rest = std::string_view(start, static_cast<size_t>(p - start));
            w.hasRest = true;
        }
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
        out.write({address_, " ", hostname_, " ", w.rest, "\n"});
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

// Opens the hosts file for reading without blocking on a FIFO, and only if
// it is a regular file.  Fills *st with the status of the file opened.
FILE *openHostsFile(const char *path, struct stat *st) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        xtr_trace("XREMHSTF: fopen() of hosts file %s failed; errno=%d", path, errno);
        return nullptr;
    }
    if (fstat(fd, st) != 0) {
        xtr_trace("XREMHSTF: fopen() of hosts file %s failed; errno=%d", path, errno);
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(st->st_mode)) {
        xtr_trace("XREMHSTF: hosts file %s is not a regular file", path);
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    FILE *fp = nullptr;
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) fp = fdopen(fd, "r");
    if (fp == nullptr) {
        xtr_trace("XREMHSTF: fopen() of hosts file %s failed; errno=%d", path, errno);
        close(fd);
        return nullptr;
    }
    std::setvbuf(fp, hostsStreamBuffer, _IOFBF, kStreamBuffer);
    return fp;
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

// Best effort: makes the rename itself durable.
void syncDirectoryOf(const char *path) {
    const char *slash = std::strrchr(path, '/');
    char dir[kTempNameSize];
    if (slash == nullptr) {
        std::strcpy(dir, ".");
    } else if (slash == path) {
        std::strcpy(dir, "/");
    } else {
        size_t n = static_cast<size_t>(slash - path);
        if (n >= sizeof dir) return;
        std::memcpy(dir, path, n);
        dir[n] = '\0';
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fsync(fd);
    close(fd);
}

// Completes every write to the temporary file and closes it; any failure
// counts as a failed write.  Afterwards *fp is null.
bool finishTempFile(FILE **fp, int fd, const char *tempFilename) {
    bool ok = true;
    if (std::fflush(*fp) != 0) {
        xtr_trace("XREMHSTF: fflush() of temporary hosts file %s failed; errno=%d", tempFilename, errno);
        ok = false;
    } else if (fsync(fd) != 0) {
        xtr_trace("XREMHSTF: fsync() of temporary hosts file %s failed; errno=%d", tempFilename, errno);
        ok = false;
    }
    int closed = std::fclose(*fp);
    *fp = nullptr;
    if (ok && closed != 0) {
        xtr_trace("XREMHSTF: fclose() of temporary hosts file %s failed; errno=%d", tempFilename, errno);
        ok = false;
    }
    return ok;
}

// The steps both operations share; Rule decides what each line becomes.
template <class Rule>
int rewriteHostsFile(const char *hostsFilename, struct stat *fileInfo, Rule &rule) {
    struct stat readStatus{};
    FILE *fpOld = openHostsFile(hostsFilename, &readStatus);
    if (fpOld == nullptr) return kStatusHostsOpen;
    // A file that was missing when its status was recorded but is there now:
    // the file actually read gives the mode and ownership.
    if (fileInfo != nullptr && isMissingFileRecord(*fileInfo)) *fileInfo = readStatus;

    int retval = kStatusOk;
    char tempFilename[kTempNameSize];
    int fdNew = -1;
    FILE *fpNew = nullptr;
    if (!buildTempName(hostsFilename, tempFilename)) {
        xtr_trace("XREMHSTF: mkstemp() for temp file failed; errno=%d", ENAMETOOLONG);
        retval = kStatusTempCreate;
    } else if ((fdNew = mkstemp(tempFilename)) < 0) {
        xtr_trace("XREMHSTF: mkstemp() for temp file failed; errno=%d", errno);
        retval = kStatusTempCreate;
    } else if ((fpNew = fdopen(fdNew, "w")) == nullptr) {
        xtr_trace("XREMHSTF: fdopen() of temp file %s for write access failed; errno=%d", tempFilename, errno);
        retval = kStatusTempOpen;
        close(fdNew);
        std::remove(tempFilename);
    }
    if (retval != kStatusOk) {
        std::fclose(fpOld);
        return retval;
    }
    std::setvbuf(fpNew, tempStreamBuffer, _IOFBF, kStreamBuffer);

    TempWriter out(fpNew, tempFilename);
    char *line = nullptr;
    size_t capacity = 0;
    bool readFailed = false;
    while (!out.failed()) {
        ssize_t n = getline(&line, &capacity, fpOld);
        if (n < 0) {
            if (!std::feof(fpOld)) {
                xtr_trace("XREMHSTF: read of hosts file %s failed; errno=%d", hostsFilename, errno);
                readFailed = true;
            }
            break;
        }
        rule.line(std::string_view(line, static_cast<size_t>(n)), out);
    }
    std::free(line);
    if (!readFailed) rule.finish(out);

    if (readFailed) {
        retval = kStatusHostsOpen;
    } else if (out.failed()) {
        retval = kStatusWrite;
    } else {
        // Readers must never see the new name with the temporary file's
        // mode or owner: the recorded ones go on before the rename.
        if (fileInfo != nullptr && !isMissingFileRecord(*fileInfo)) {
            (void)fchown(fdNew, fileInfo->st_uid, fileInfo->st_gid);
            (void)fchmod(fdNew, fileInfo->st_mode & 07777);
        }
        if (!finishTempFile(&fpNew, fdNew, tempFilename)) {
            retval = kStatusWrite;
        } else if (rename(tempFilename, hostsFilename) != 0) {
            xtr_trace("XREMHSTF: rename() of %s to %s failed; errno=%d", tempFilename, hostsFilename, errno);
            retval = kStatusRename;
        } else {
            syncDirectoryOf(hostsFilename);
            xtr_trace("XREMHSTF: Successfully updated %s", hostsFilename);
            retval = kStatusOk;
        }
    }
    if (fpNew != nullptr) std::fclose(fpNew);
    // Only a temporary file that was not renamed is removed: after the
    // rename its name may already belong to another run's new file.
    if (retval != kStatusOk) std::remove(tempFilename);
    std::fclose(fpOld);
    return retval;
}

}  // namespace

int updateHostsFile(const char *hostsFilename, const char *newHostname, const char *newIPAddress,
                    struct stat *fileInfo) {
    xtr_trace("XREMHSTT: -> updateHostsFile");
    UpdateRule rule(newHostname, newIPAddress);
    int retval = rewriteHostsFile(hostsFilename, fileInfo, rule);
    xtr_trace("XREMHSTF: updateHostsFile exiting with retval=%d", retval);
    xtr_trace("XREMHSTT: <- updateHostsFile");
    return retval;
}

int removeHostFromHostsFile(const char *hostsFilename, const char *hostname, struct stat *fileInfo) {
    xtr_trace("XREMHSTT: -> removeHostFromHostsFile");
    RemoveRule rule(hostname);
    int retval = rewriteHostsFile(hostsFilename, fileInfo, rule);
    xtr_trace("XREMHSTF: removeHostFromHostsFile exiting with retval=%d", retval);
    xtr_trace("XREMHSTT: <- removeHostFromHostsFile");
    return retval;
}

}  // namespace hostscmd
