// Copies of the whole segment: taken from the live buffer under its lock,
// saved to a file and read back, so that show, status and export work on a
// snapshot exactly as on the live buffer, on any machine, without IPC.
//
// File layout (all numbers little-endian):
//   0  "XTRCTL SNAPSHOT\n"  16 bytes
//  16  u32 format version (1)     20  u32 segment size (65880)
//  24  u32 CRC-32 of the segment  28  u32 flags (bit 0: taken under the lock)
//  32  u64 time taken (s)         40  u64 segment creation time (s)
//  48  i32 creator pid            52  u32 processes attached
//  56  the segment, byte for byte
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "xtrctl.h"

namespace xtrctl {
namespace {

constexpr char kMagic[17] = "XTRCTL SNAPSHOT\n";
constexpr uint32_t kVersion = 1;
constexpr size_t kHead = 56;

uint32_t crc32(const unsigned char *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

void put(unsigned char *at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t get(const unsigned char *at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = v << 8 | at[i];
    return v;
}

bool writeAll(int fd, const unsigned char *p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

SegmentCopy liveCopy(TRACE_HDR *h, bool clearGone) {
    SegmentCopy c;
    if (clearGone) c.reader = sampleReader(h);  // before the lock: it takes a moment
    {
        BufferLock lock;
        c.locked = lock.held();
        if (c.locked && clearGone) c.clearedReader = clearGoneReader(h, c.reader);
        std::memcpy(c.hdr.get(), h, sizeof(TRACE_HDR));
        if (!c.locked) lock.report();
    }
    c.takenAt = static_cast<uint64_t>(std::time(nullptr));
    return c;
}

std::string encodeSnapshot(const SegmentCopy &c) {
    std::string out(kHead + sizeof(TRACE_HDR), '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    std::memcpy(p, kMagic, 16);
    put(p + 16, kVersion, 4);
    put(p + 20, sizeof(TRACE_HDR), 4);
    const auto *seg = reinterpret_cast<const unsigned char *>(c.hdr.get());
    put(p + 24, crc32(seg, sizeof(TRACE_HDR)), 4);
    put(p + 28, c.locked ? 1 : 0, 4);
    put(p + 32, c.takenAt, 8);
    put(p + 40, c.createdAt, 8);
    put(p + 48, static_cast<uint32_t>(c.creatorPid), 4);
    put(p + 52, c.attached, 4);
    std::memcpy(p + kHead, seg, sizeof(TRACE_HDR));
    return out;
}

bool decodeSnapshot(std::string_view bytes, SegmentCopy &c, std::string &error) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    if (bytes.size() < 16 || std::memcmp(p, kMagic, 16) != 0) {
        error = "not a trace buffer snapshot";
        return false;
    }
    if (bytes.size() < kHead) {
        error = "the snapshot is cut short";
        return false;
    }
    if (get(p + 16, 4) != kVersion) {
        error = "snapshot format version " + std::to_string(get(p + 16, 4)) + " is not supported";
        return false;
    }
    if (get(p + 20, 4) != sizeof(TRACE_HDR)) {
        error = "the snapshot holds a segment of " + std::to_string(get(p + 20, 4)) + " bytes, not " +
                std::to_string(sizeof(TRACE_HDR));
        return false;
    }
    if (bytes.size() != kHead + sizeof(TRACE_HDR)) {
        error = bytes.size() < kHead + sizeof(TRACE_HDR) ? "the snapshot is cut short"
                                                         : "the snapshot has bytes after its segment";
        return false;
    }
    if (crc32(p + kHead, sizeof(TRACE_HDR)) != get(p + 24, 4)) {
        error = "the snapshot is damaged (its checksum does not match)";
        return false;
    }
    c.locked = (get(p + 28, 4) & 1) != 0;
    c.takenAt = get(p + 32, 8);
    c.createdAt = get(p + 40, 8);
    c.creatorPid = static_cast<int32_t>(get(p + 48, 4));
    c.attached = static_cast<uint32_t>(get(p + 52, 4));
    std::memcpy(c.hdr.get(), p + kHead, sizeof(TRACE_HDR));
    return true;
}

bool saveSnapshot(const std::string &path, const SegmentCopy &c, std::string &error) {
    const std::string data = encodeSnapshot(c);
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    const bool ok = fchmod(fd, 0666 & ~mask) == 0 &&
                    writeAll(fd, reinterpret_cast<const unsigned char *>(data.data()), data.size()) && fsync(fd) == 0;
    const int saved = errno;
    if (close(fd) != 0 || !ok || rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
        unlink(temp.c_str());
        return false;
    }
    if (const int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
        (void)fsync(d);
        close(d);
    }
    return true;
}

bool readSnapshot(const std::string &path, SegmentCopy &c, std::string &error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        error = path + " is not a regular file";
        return false;
    }
    // Read at most one byte more than a snapshot holds: enough to tell a
    // longer file from a snapshot without reading a huge file whole.
    std::string bytes(kHead + sizeof(TRACE_HDR) + 1, '\0');
    size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + have, bytes.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    close(fd);
    bytes.resize(have);
    if (!decodeSnapshot(bytes, c, error)) {
        error = path + ": " + error;
        return false;
    }
    c.file = path;
    return true;
}

}  // namespace xtrctl
