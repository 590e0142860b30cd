// Owners of the platform's resources: a descriptor, a stream, a directory
// stream and a malloc'd block, released when their owner goes, so that no
// return path has to repeat the cleanup.  Releasing never changes errno:
// a caller may trace and report the errno of the step that failed after
// the owners of earlier steps are gone.  Header-only and internal: the
// file-access library and the hosts-file command both use it, and nothing
// of it is exported.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace owners {

// Runs a release call with errno kept as it was.
template <class Release>
void keepingErrno(Release release) {
    const int saved = errno;
    release();
    errno = saved;
}

// A descriptor, closed when its owner goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller, who closes it.
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) keepingErrno([fd = release()] { close(fd); });
    }

private:
    int fd_ = -1;
};

struct StreamCloser {
    void operator()(FILE *fp) const {
        keepingErrno([fp] { std::fclose(fp); });
    }
};
// A stream, closed when its owner goes.  A caller that must know whether
// the close flushed everything closes it itself: std::fclose(s.release()).
using Stream = std::unique_ptr<FILE, StreamCloser>;

struct DirCloser {
    void operator()(DIR *d) const {
        keepingErrno([d] { closedir(d); });
    }
};
// A directory stream, closed when its owner goes.
using Dir = std::unique_ptr<DIR, DirCloser>;

struct MemoryFreer {
    void operator()(void *p) const { std::free(p); }
};
// A block from std::malloc, freed when its owner goes.
using Memory = std::unique_ptr<char, MemoryFreer>;
inline Memory allocate(std::size_t size) { return Memory(static_cast<char *>(std::malloc(size))); }

}  // namespace owners
